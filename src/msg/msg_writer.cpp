#include "msg/msg_writer.h"

#include "mapi/tags.h"
#include "msg/compound_file_reader.h"
#include "msg/msg_format.h"
#include "msg/nameid.h"

namespace qm::msg {

using namespace mapi;

namespace {

class Writer {
  public:
    explicit Writer(CompoundFileWriter& cfw) : cfw_(cfw) {}

    void write(const Message& m) {
        collectNames(m);
        uint32_t ns = cfw_.addStorage(CompoundFileWriter::kRoot, layout::kNameIdStorage);
        names_.write(cfw_, ns);
        writeMessage(m, CompoundFileWriter::kRoot, true);
    }

  private:
    // Assigns named ids up front so the map is complete before it is written.
    void collectNames(const Message& m) {
        auto bag = [&](const PropertyBag& b) {
            for (const auto& p : b)
                if (p.named) names_.idFor(*p.named);
        };
        bag(m.props);
        for (const auto& r : m.recipients) bag(r.props);
        for (const auto& a : m.attachments) {
            bag(a.props);
            if (a.embedded) collectNames(*a.embedded);
        }
    }

    void writeMessage(const Message& m, uint32_t storage, bool top) {
        Bytes header(top ? layout::kTopHeaderSize : layout::kEmbeddedHeaderSize, 0);
        uint32_t recips = uint32_t(m.recipients.size());
        uint32_t attachs = uint32_t(m.attachments.size());
        storeLE32(&header[8], recips);    // next recipient id
        storeLE32(&header[12], attachs);  // next attachment id
        storeLE32(&header[16], recips);
        storeLE32(&header[20], attachs);
        Bytes props = writeBag(m.props, storage, std::move(header), nullptr);
        cfw_.addStream(storage, layout::kPropertiesStream, std::move(props));
        for (uint32_t i = 0; i < recips; ++i) {
            uint32_t s = cfw_.addStorage(storage, layout::numberedName(layout::kRecipPrefix, i));
            Bytes p =
                writeBag(m.recipients[i].props, s, Bytes(layout::kChildHeaderSize, 0), nullptr);
            cfw_.addStream(s, layout::kPropertiesStream, std::move(p));
        }
        for (uint32_t i = 0; i < attachs; ++i) {
            const Attachment& a = m.attachments[i];
            uint32_t s = cfw_.addStorage(storage, layout::numberedName(layout::kAttachPrefix, i));
            Bytes p = writeBag(a.props, s, Bytes(layout::kChildHeaderSize, 0), a.embedded.get());
            cfw_.addStream(s, layout::kPropertiesStream, std::move(p));
        }
    }

    static void entry(Bytes& props, uint32_t tag, uint32_t flags, const uint8_t* value, size_t n) {
        appendLE32(props, tag);
        appendLE32(props, flags);
        uint8_t v[8] = {};
        std::memcpy(v, value, std::min<size_t>(n, 8));
        props.insert(props.end(), v, v + 8);
    }
    static void sizeEntry(Bytes& props, uint32_t tag, uint32_t flags, uint64_t size) {
        uint8_t v[8] = {};
        storeLE32(v, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(size));
        entry(props, tag, flags, v, 8);
    }

    Bytes writeBag(const PropertyBag& bag, uint32_t storage, Bytes props, const Message* embedded) {
        for (const Property& p : bag) {
            uint16_t type = p.type();
            uint32_t tag = p.named ? makeTag(names_.idFor(*p.named), type) : p.tag;
            if (embedded && p.id() == propId(tag::AttachDataObject) && type == PT_OBJECT) continue;
            if (type == PT_OBJECT) {
                uint32_t s = cfw_.addStorage(storage, layout::substgName(tag));
                graft(p.bytes(), s);
                // Readers that copy the storage out (msgconvert) need real
                // times on it; the object's own times are the natural ones.
                cfw_.setTimes(s, uint64_t(bag.int64(tag::CreationTime).value_or(0)),
                              uint64_t(bag.int64(tag::LastModificationTime).value_or(0)));
                sizeEntry(props, tag, p.flags, layout::kObjectSize);
            } else if (isMultiValued(type)) {
                writeMultiValued(p, tag, storage, props);
            } else if (size_t fs = fixedSize(type); fs && type != PT_CLSID) {
                entry(props, tag, p.flags, p.value.data(), p.value.size());
            } else if (!isKnownType(type) || type == PT_UNSPECIFIED || type == PT_NULL) {
                if (p.value.size() <= 8) {
                    entry(props, tag, p.flags, p.value.data(), p.value.size());
                } else {
                    cfw_.addStream(storage, layout::substgName(tag), p.value);
                    sizeEntry(props, tag, p.flags, p.value.size());
                }
            } else {
                uint64_t size = p.byteSize();
                if (p.stream)
                    cfw_.addStream(storage, layout::substgName(tag), p.stream);
                else
                    cfw_.addStream(storage, layout::substgName(tag), p.value);
                uint64_t extra = type == PT_UNICODE ? 2 : type == PT_STRING8 ? 1 : 0;
                sizeEntry(props, tag, p.flags, size + extra);
            }
        }
        if (embedded) {
            uint32_t s = cfw_.addStorage(storage, layout::substgName(tag::AttachDataObject));
            writeMessage(*embedded, s, false);
            sizeEntry(props, tag::AttachDataObject, 0x6, layout::kObjectSize);
        }
        return props;
    }

    void writeMultiValued(const Property& p, uint32_t tag, uint32_t storage, Bytes& props) {
        uint16_t base = baseType(p.type());
        if (fixedSize(base)) {
            Bytes v = p.bytes();
            uint64_t n = v.size();
            cfw_.addStream(storage, layout::substgName(tag), std::move(v));
            sizeEntry(props, tag, p.flags, n);
            return;
        }
        Bytes lengths;
        for (uint32_t i = 0; i < p.items.size(); ++i) {
            Bytes v = p.items[i];
            if (base == PT_UNICODE) v.insert(v.end(), {0, 0});
            if (base == PT_STRING8) v.push_back(0);
            appendLE32(lengths, uint32_t(v.size()));
            if (base == PT_BINARY) appendLE32(lengths, 0);
            cfw_.addStream(storage, layout::substgName(tag, i), std::move(v));
        }
        uint64_t n = lengths.size();
        cfw_.addStream(storage, layout::substgName(tag), std::move(lengths));
        sizeEntry(props, tag, p.flags, n);
    }

    // Copies the tree of a standalone compound file under `storage`.
    void graft(const Bytes& compoundFile, uint32_t storage) {
        auto src = std::make_shared<MemorySource>(compoundFile);
        auto cfb = CompoundFileReader::open(src, "PT_OBJECT value");
        cfw_.setClsid(storage, cfb->entry(CompoundFileReader::kRoot).clsid);
        std::vector<std::pair<uint32_t, uint32_t>> work{{CompoundFileReader::kRoot, storage}};
        while (!work.empty()) {
            const uint32_t from = work.back().first, to = work.back().second;
            work.pop_back();
            for (uint32_t child : cfb->children(from)) {
                const CfbEntry& e = cfb->entry(child);
                if (e.isStream()) {
                    cfw_.addStream(to, e.name(), cfb->readStream(child));
                } else {
                    uint32_t sub = cfw_.addStorage(to, e.name());
                    cfw_.setClsid(sub, e.clsid);
                    cfw_.setStateBits(sub, e.stateBits);
                    cfw_.setTimes(sub, e.created, e.modified);
                    work.push_back({child, sub});
                }
            }
        }
    }

    CompoundFileWriter& cfw_;
    NameIdBuilder names_;
};

}  // namespace

void layOutMessage(const mapi::Message& message, CompoundFileWriter& cfw) {
    Writer(cfw).write(message);
}

}  // namespace qm::msg
