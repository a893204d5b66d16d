#include "msg/msg_reader.h"

#include <algorithm>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/cfb_format.h"
#include "msg/msg_format.h"
#include "msg/nameid.h"
#include "msg/rtf_header.h"

namespace qm::msg {

using namespace mapi;

namespace {

std::string hexTag(uint32_t tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

bool startsWith(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t a = s[i], b = prefix[i];
        if (a >= u'a' && a <= u'z') a = char16_t(a - 32);
        if (b >= u'a' && b <= u'z') b = char16_t(b - 32);
        if (a != b) return false;
    }
    return true;
}

std::optional<uint32_t> parseHex8(std::u16string_view s) {
    if (s.size() != 8) return std::nullopt;
    uint32_t v = 0;
    for (char16_t c : s) {
        v <<= 4;
        if (c >= u'0' && c <= u'9')
            v |= uint32_t(c - u'0');
        else if (c >= u'A' && c <= u'F')
            v |= uint32_t(c - u'A' + 10);
        else if (c >= u'a' && c <= u'f')
            v |= uint32_t(c - u'a' + 10);
        else
            return std::nullopt;
    }
    return v;
}

// Whether any code unit is a surrogate (high byte 0xD8-0xDF). Branch-free so
// the compiler can vectorise it: bodies are long, and almost never hold one.
bool anySurrogate(const uint8_t* p, size_t units) {
    uint8_t any = 0;
    for (size_t i = 0; i < units; ++i) any |= uint8_t((p[2 * i + 1] & 0xF8) == 0xD8);
    return any != 0;
}

// PT_UNICODE bytes as the model keeps them: whole code units, no trailing
// NULs, lone surrogates replaced.

void tidyUnicode(Bytes& b) {
    if (b.size() % 2) b.pop_back();
    while (b.size() >= 2 && b[b.size() - 1] == 0 && b[b.size() - 2] == 0) b.resize(b.size() - 2);
    size_t n = b.size() / 2;
    if (!anySurrogate(b.data(), n)) return;
    for (size_t i = 0; i < n; ++i) {
        uint16_t c = loadLE16(&b[2 * i]);
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < n) {
                uint16_t d = loadLE16(&b[2 * i + 2]);
                if (d >= 0xDC00 && d <= 0xDFFF) {
                    ++i;
                    continue;
                }
            }
            storeLE16(&b[2 * i], 0xFFFD);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            storeLE16(&b[2 * i], 0xFFFD);
        }
    }
}

void tidyString8(Bytes& b) {
    while (!b.empty() && b.back() == 0) b.pop_back();
}

bool isStreamType(uint16_t type) {
    switch (type) {
        case PT_STRING8:
        case PT_UNICODE:
        case PT_BINARY:
        case PT_CLSID:
        case PT_SVREID:
        case PT_SRESTRICT:
        case PT_ACTIONS:
            return true;
        default:
            return false;
    }
}

// Child entries of one storage, each name looked at once: value streams
// (__substg1.0_TTTTTTTT and __substg1.0_TTTTTTTT-NNNNNNNN) by tag and
// index, other names in a list. Names compare ignoring ASCII case; the first
// of two equal names wins.
class Children {
  public:
    Children(const CompoundFileReader& cfb, uint32_t storage) {
        const auto ids = cfb.children(storage);
        singles_.reserve(ids.size());
        for (uint32_t id : ids) {
            const std::u16string_view name = cfb.entry(id).name();
            uint32_t tag = 0, index = 0;
            switch (parseValueName(name, tag, index)) {
                case Kind::Single:
                    singles_.push_back({tag, id});
                    break;
                case Kind::Indexed:
                    indexed_.push_back({uint64_t(tag) << 32 | index, id});
                    break;
                case Kind::Other:
                    others_.push_back({name, id});
                    break;
            }
        }
        std::stable_sort(singles_.begin(), singles_.end(), byKey);
        std::stable_sort(indexed_.begin(), indexed_.end(), byKey);
    }
    // The value stream of `tag`.
    std::optional<uint32_t> value(uint32_t tag) const { return lookup(singles_, tag); }
    // Value stream `index` of a multi-valued `tag`.
    std::optional<uint32_t> value(uint32_t tag, uint32_t index) const {
        return lookup(indexed_, uint64_t(tag) << 32 | index);
    }
    std::optional<uint32_t> find(std::u16string_view name) const {
        uint32_t tag = 0, index = 0;
        switch (parseValueName(name, tag, index)) {
            case Kind::Single:
                return value(tag);
            case Kind::Indexed:
                return value(tag, index);
            case Kind::Other:
                break;
        }
        // Few such names per storage: a scan beats hashing.
        for (const auto& [other, id] : others_)
            if (sameIgnoringAsciiCase(other, name)) return id;
        return std::nullopt;
    }

  private:
    enum class Kind { Single, Indexed, Other };
    using Entry = std::pair<uint64_t, uint32_t>;

    static bool byKey(const Entry& a, const Entry& b) { return a.first < b.first; }
    static std::optional<uint32_t> lookup(const std::vector<Entry>& v, uint64_t key) {
        auto it = std::lower_bound(v.begin(), v.end(), Entry{key, 0}, byKey);
        if (it == v.end() || it->first != key) return std::nullopt;
        return it->second;
    }
    static char16_t upperChar(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }
    static bool parseHex8(std::u16string_view s, uint32_t& v) {
        v = 0;
        for (char16_t c : s) {
            const char16_t u = upperChar(c);
            if (u >= u'0' && u <= u'9')
                v = v << 4 | uint32_t(u - u'0');
            else if (u >= u'A' && u <= u'F')
                v = v << 4 | uint32_t(u - u'A' + 10);
            else
                return false;
        }
        return true;
    }
    static Kind parseValueName(std::u16string_view name, uint32_t& tag, uint32_t& index) {
        const std::u16string_view prefix = layout::kSubstgPrefix;
        const size_t p = prefix.size();
        if (name.size() != p + 8 && name.size() != p + 17) return Kind::Other;
        // Writers spell the prefix exactly so; other spellings match too.
        if (name.substr(0, p) != prefix)
            for (size_t i = 0; i < p; ++i)
                if (upperChar(name[i]) != upperChar(prefix[i])) return Kind::Other;
        if (!parseHex8(name.substr(p, 8), tag)) return Kind::Other;
        if (name.size() == p + 8) return Kind::Single;
        if (name[p + 8] != u'-' || !parseHex8(name.substr(p + 9, 8), index)) return Kind::Other;
        return Kind::Indexed;
    }
    static bool sameIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (upperChar(a[i]) != upperChar(b[i])) return false;
        return true;
    }
    std::vector<Entry> singles_, indexed_;
    // The names lie in the compound file reader's entries, which outlive this.
    std::vector<std::pair<std::u16string_view, uint32_t>> others_;
};

class Reader {
  public:
    Reader(std::shared_ptr<CompoundFileReader> cfb, const MsgReadOptions& options)
        : cfb_(std::move(cfb)), options_(options) {}

    Message read() {
        for (const auto& w : cfb_->warnings()) warn(w);
        if (auto ns = cfb_->find(CompoundFileReader::kRoot, layout::kNameIdStorage);
            ns && cfb_->entry(*ns).isStorage()) {
            try {
                names_ = NameIdMap::read(*cfb_, *ns);
            } catch (const FormatError& e) {
                warn("named-property map unreadable (" + defect(e) +
                     "): named properties are dropped");
            }
        }
        Message m;
        try {
            m = readMessage(CompoundFileReader::kRoot, layout::kTopHeaderSize, 0, "message");
        } catch (const FormatError& e) {
            // The damage that made the property stream unreachable is the reason.
            if (cfb_->warnings().empty()) throw;
            throw FormatError(e.file(), e.structure(), e.offset(),
                              e.reason() + "; the file is damaged: " + cfb_->warnings().front());
        }
        if (unnamed_) {
            warn(std::to_string(unnamed_) +
                 " named properties dropped: __nameid_version1.0 does not name them");
        }
        m.warnings = std::move(warnings_);
        return m;
    }

  private:
    [[noreturn]] void fail(const std::string& structure, int64_t offset, const std::string& what) {
        throw FormatError(cfb_->name(), structure, offset, what);
    }

    // The defect without the file name: warnings travel with the file's path.
    static std::string defect(const FormatError& e) {
        std::string out = e.structure();
        if (e.offset() >= 0) out += " at offset " + std::to_string(e.offset());
        return out + ": " + e.reason();
    }

    // "`where` dropped: reason", without saying `where` twice.
    void dropped(const std::string& where, const FormatError& e) {
        std::string why = defect(e);
        if (why.compare(0, where.size() + 2, where + ": ") == 0) why.erase(0, where.size() + 2);
        warn(where + " dropped: " + why);
    }

    void warn(std::string text) {
        ++damage_;
        // Bounded: a file can break every one of its thousands of entries.
        if (warnings_.size() < kMaxWarnings) {
            warnings_.push_back(std::move(text));
        } else if (warnings_.size() == kMaxWarnings) {
            warnings_.push_back("further damage is not listed");
        }
    }

    struct ObjectEntry {
        uint32_t tag;
        uint32_t flags;
    };

    Bytes streamBytes(uint32_t id) { return cfb_->readStream(id); }

    // Reads the property stream of `storage` into `bag`; PT_OBJECT entries
    // are returned for the caller to interpret.
    std::vector<ObjectEntry> readProperties(const Children& kids, size_t headerSize,
                                            PropertyBag& bag, const std::string& where) {
        std::vector<ObjectEntry> objects;
        auto propsId = kids.find(layout::kPropertiesStream);
        if (!propsId || !cfb_->entry(*propsId).isStream()) {
            fail(where, -1, "has no __properties_version1.0 stream");
        }
        std::string cut;
        Bytes props = cfb_->readStreamSalvaged(*propsId, &cut);
        if (cfb_->entry(*propsId).size > cfb_->fileSize()) {
            // A size that cannot be true says nothing of whether the stream
            // lives in the mini stream: keep the reading that looks like
            // property entries.
            std::string miniCut;
            Bytes mini = cfb_->readStreamSalvaged(*propsId, &miniCut, true);
            if (plausibleEntries(mini, headerSize) > plausibleEntries(props, headerSize)) {
                props = std::move(mini);
                cut = std::move(miniCut);
            }
        }
        if (!cut.empty()) {
            warn(where + ": property stream damaged (" + cut + "); " +
                 std::to_string(props.size() < headerSize
                                    ? 0
                                    : (props.size() - headerSize) / layout::kEntrySize) +
                 " entries read, the rest are lost");
        }
        if (props.size() < headerSize) {
            fail(where + " property stream", -1,
                 "is " + std::to_string(props.size()) + " bytes, shorter than its " +
                     std::to_string(headerSize) + "-byte header");
        }
        // A trailing partial entry is ignored.
        size_t count = (props.size() - headerSize) / layout::kEntrySize;
        if (count > layout::kMaxEntriesPerStream) {
            fail(where + " property stream", -1,
                 std::to_string(count) + " entries exceed the limit of " +
                     std::to_string(layout::kMaxEntriesPerStream));
        }
        // PropertyBag::set looks for an equal key first: quadratic over a
        // message's few hundred properties. Unnamed tags that appear once in
        // the stream (all of them, but in a damaged file) cannot be in the
        // bag yet, so they are appended.
        bool appendUnnamed = false;
        if (bag.empty()) {
            std::vector<uint32_t> tags;
            tags.reserve(count);
            for (size_t i = 0; i < count; ++i) {
                const uint32_t tag = loadLE32(&props[headerSize + i * layout::kEntrySize]);
                if (tag != 0 && propId(tag) < 0x8000) tags.push_back(tag);
            }
            std::sort(tags.begin(), tags.end());
            appendUnnamed = std::adjacent_find(tags.begin(), tags.end()) == tags.end();
        }
        bag.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* e = &props[headerSize + i * layout::kEntrySize];
            uint32_t tag = loadLE32(e);
            uint32_t flags = loadLE32(e + 4);
            // Zero padding, as a property stream cut short by damage ends in.
            if (tag == 0) continue;
            uint16_t type = propType(tag);
            // No store can hold a type MAPI does not define, nor a value of
            // type Unspecified or Null: damage, in every file seen.
            if (!isKnownType(type)) {
                warn(where + " property " + hexTag(tag) + " dropped: unknown property type");
                continue;
            }
            if (type == PT_UNSPECIFIED || type == PT_NULL) {
                warn(where + " property " + hexTag(tag) + " dropped: its type holds no value");
                continue;
            }
            Property p;
            p.tag = tag;
            p.flags = flags;
            if (type == PT_OBJECT) {
                objects.push_back({tag, flags});
                continue;
            }
            if (propId(tag) >= 0x8000) {
                p.named = names_.lookup(propId(tag));
                if (!p.named) {
                    ++unnamed_;
                    continue;
                }
            }
            try {
                if (!readValue(kids, e, p, where)) continue;
            } catch (const FormatError& err) {
                dropped(where + " property " + hexTag(tag), err);
                continue;
            }
            if (appendUnnamed && !p.named)
                bag.append(std::move(p));
            else
                bag.set(std::move(p));
        }
        return objects;
    }

    static size_t plausibleEntries(const Bytes& props, size_t headerSize) {
        size_t n = 0;
        for (size_t at = headerSize; at + layout::kEntrySize <= props.size();
             at += layout::kEntrySize) {
            uint32_t tag = loadLE32(&props[at]);
            uint16_t type = propType(tag);
            n += tag != 0 && isKnownType(type) && type != PT_UNSPECIFIED && type != PT_NULL &&
                 loadLE32(&props[at + 4]) <= 7;
        }
        return n;
    }

    // The value of one property entry `e` into p; false when it has none.
    bool readValue(const Children& kids, const uint8_t* e, Property& p, const std::string& where) {
        uint32_t tag = p.tag;
        uint16_t type = propType(tag);
        if (isMultiValued(type)) {
            // Named here, not per property: formatting it cost more than
            // reading most values.
            if (!readMultiValued(kids, p, where + " property " + hexTag(tag))) return false;
        } else if (size_t fs = fixedSize(type); fs && type != PT_CLSID) {
            p.value.assign(e + 8, e + 8 + fs);
            if (type == PT_BOOLEAN) p.value[0] = p.value[0] ? 1 : 0;
        } else if (isStreamType(type)) {
            auto sid = kids.value(tag);
            if (!sid || !cfb_->entry(*sid).isStream()) {
                warn(where + " property " + hexTag(tag) + " dropped: its value stream is missing");
                return false;
            }
            const CfbEntry& se = cfb_->entry(*sid);
            if (type != PT_UNICODE && type != PT_STRING8 && options_.streamLargeValues &&
                se.size >= layout::kStreamThreshold) {
                p.stream = cfb_->streamSource(*sid);
            } else {
                p.value = streamBytes(*sid);
                if (type == PT_UNICODE) tidyUnicode(p.value);
                if (type == PT_STRING8) tidyString8(p.value);
                if (type == PT_CLSID && p.value.size() != 16) {
                    fail(where + " property " + hexTag(tag), -1,
                         "GUID stream is " + std::to_string(p.value.size()) + " bytes, not 16");
                }
            }
        }
        return true;
    }

    bool readMultiValued(const Children& kids, Property& p, const std::string& what) {
        uint16_t type = p.type();
        uint16_t base = baseType(type);
        auto sid = kids.value(p.tag);
        if (!sid || !cfb_->entry(*sid).isStream()) {
            warn(what + " dropped: its value stream is missing");
            return false;
        }
        Bytes data = streamBytes(*sid);
        if (size_t fs = fixedSize(base)) {
            if (data.size() % fs != 0) {
                fail(what, -1,
                     "stream of " + std::to_string(data.size()) +
                         " bytes is not a whole number of " + std::to_string(fs) + "-byte values");
            }
            if (data.size() / fs > layout::kMaxMultiValues) {
                fail(what, -1, "more than " + std::to_string(layout::kMaxMultiValues) + " values");
            }
            p.value = std::move(data);
            return true;
        }
        // Variable-size: a length stream, then one stream per value.
        size_t lengthEntry = base == PT_BINARY ? 8 : 4;
        size_t count = data.size() / lengthEntry;
        if (count > layout::kMaxMultiValues) {
            fail(what, -1, "more than " + std::to_string(layout::kMaxMultiValues) + " values");
        }
        p.items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            auto vid = kids.value(p.tag, i);
            if (!vid || !cfb_->entry(*vid).isStream()) {
                fail(what, -1,
                     "declares " + std::to_string(count) + " values but value stream " +
                         std::to_string(i) + " is missing");
            }
            Bytes v = streamBytes(*vid);
            if (base == PT_UNICODE) tidyUnicode(v);
            if (base == PT_STRING8) tidyString8(v);
            p.items.push_back(std::move(v));
        }
        return true;
    }

    // Enumerates the numbered child storages named `prefix`#NNNNNNNN, in order.
    std::vector<uint32_t> numbered(uint32_t storage, std::u16string_view prefix, size_t cap,
                                   const std::string& where, const char* kind) {
        std::vector<std::pair<uint32_t, uint32_t>> found;
        for (uint32_t id : cfb_->children(storage)) {
            const CfbEntry& e = cfb_->entry(id);
            if (!startsWith(e.name(), prefix)) continue;
            auto index = parseHex8(e.name().substr(prefix.size()));
            if (!index || !e.isStorage()) {
                warn(where + ": " + kind + " entry \"" + toUtf8(e.name()) +
                     "\" is not a storage with an 8-digit hex number; dropped");
                continue;
            }
            if (found.size() == cap) {
                warn(where + ": more than " + std::to_string(cap) + " " + kind +
                     " storages; the rest are dropped");
                break;
            }
            found.push_back({*index, id});
        }
        std::sort(found.begin(), found.end());
        std::vector<uint32_t> out;
        out.reserve(found.size());
        for (auto& f : found) out.push_back(f.second);
        return out;
    }

    Message readMessage(uint32_t storage, size_t headerSize, int depth, const std::string& where) {
        if (depth > layout::kMaxEmbedDepth) {
            fail(where, -1,
                 "embedded messages nest deeper than " + std::to_string(layout::kMaxEmbedDepth));
        }
        Message m;
        Children kids(*cfb_, storage);
        auto objects = readProperties(kids, headerSize, m.props, where);
        keepObjects(kids, objects, m.props, where);
        checkRtf(m.props, where);
        auto recips =
            numbered(storage, layout::kRecipPrefix, layout::kMaxRecipients, where, "recipient");
        m.recipients.reserve(recips.size());
        for (size_t i = 0; i < recips.size(); ++i) {
            Recipient r;
            std::string rw = where + " recipient " + std::to_string(i);
            try {
                Children rk(*cfb_, recips[i]);
                auto objs = readProperties(rk, layout::kChildHeaderSize, r.props, rw);
                keepObjects(rk, objs, r.props, rw);
            } catch (const FormatError& e) {
                dropped(rw, e);
                continue;
            }
            m.recipients.push_back(std::move(r));
        }
        auto attachs =
            numbered(storage, layout::kAttachPrefix, layout::kMaxAttachments, where, "attachment");
        m.attachments.reserve(attachs.size());
        for (size_t i = 0; i < attachs.size(); ++i) {
            std::string aw = where + " attachment " + std::to_string(i);
            size_t damageBefore = damage_;
            try {
                Attachment a = readAttachment(attachs[i], depth, aw);
                // Damage that left nothing to attach leaves no attachment.
                if (damage_ != damageBefore && !a.embedded &&
                    !a.props.find(tag::AttachDataBinary) && !a.props.find(tag::AttachDataObject)) {
                    auto name = a.props.string(0x3707);        // PidTagAttachLongFilename
                    if (!name) name = a.props.string(0x3001);  // PidTagDisplayName
                    warn(aw + (name ? " (\"" + *name + "\")" : std::string()) +
                         " dropped: none of its content could be read");
                    continue;
                }
                m.attachments.push_back(std::move(a));
            } catch (const FormatError& e) {
                dropped(aw, e);
            }
        }
        return m;
    }

    void checkRtf(PropertyBag& bag, const std::string& where) {
        Property* rtf = bag.find(tag::RtfCompressed);
        if (!rtf) return;
        if (rtf->stream) {
            // Too large to hold for a repair (megabytes of RTF); only checked.
            Bytes header(kRtfHeaderSize);
            if (rtf->stream->size() < header.size()) return;
            rtf->stream->read(0, header);
            if (loadLE32(header.data()) + uint64_t(4) != rtf->stream->size()) {
                warn(where + ": PidTagRtfCompressed header's COMPSIZE disagrees with its " +
                     std::to_string(rtf->stream->size()) + " bytes; kept as is");
            }
            return;
        }
        std::string note = repairRtfHeader(rtf->value);
        if (!note.empty()) warn(where + ": " + note);
    }

    // PT_OBJECT values other than an attachment's data: the storage, kept
    // whole as a standalone compound file.
    void keepObjects(const Children& kids, const std::vector<ObjectEntry>& objects,
                     PropertyBag& bag, const std::string& where) {
        for (const auto& o : objects) {
            auto sid = kids.value(o.tag);
            if (!sid || !cfb_->entry(*sid).isStorage()) {
                warn(where + " property " + hexTag(o.tag) +
                     " dropped: no storage holds the object");
                continue;
            }
            try {
                keepStorage(*sid, o.tag, o.flags, bag, where);
            } catch (const FormatError& e) {
                dropped(where + " property " + hexTag(o.tag), e);
            }
        }
    }

    void keepStorage(uint32_t storage, uint32_t tag, uint32_t flags, PropertyBag& bag,
                     const std::string& where) {
        Property p;
        p.tag = tag;
        p.flags = flags;
        try {
            p.value = extractStorage(*cfb_, storage, cfb_->sectorSize());
        } catch (const std::length_error&) {
            fail(where + " property " + hexTag(tag), -1, "object storage too large to copy");
        }
        cfb_->charge(p.value.size(), where + " object storage");
        if (propId(tag) >= 0x8000) {
            p.named = names_.lookup(propId(tag));
            if (!p.named) {
                ++unnamed_;
                return;
            }
        }
        bag.set(std::move(p));
    }

    Attachment readAttachment(uint32_t storage, int depth, const std::string& where) {
        Attachment a;
        Children kids(*cfb_, storage);
        auto objects = readProperties(kids, layout::kChildHeaderSize, a.props, where);
        std::optional<int32_t> method = a.props.int32(tag::AttachMethod);
        uint32_t objectFlags = 0x6;
        std::vector<ObjectEntry> others;
        for (const auto& o : objects) {
            if (o.tag == tag::AttachDataObject)
                objectFlags = o.flags;
            else
                others.push_back(o);
        }
        keepObjects(kids, others, a.props, where);
        auto obj = kids.value(tag::AttachDataObject);
        if (!obj || !cfb_->entry(*obj).isStorage()) return a;
        Children objKids(*cfb_, *obj);
        auto props = objKids.find(layout::kPropertiesStream);
        bool hasMessageProps =
            props && cfb_->entry(*props).isStream() &&
            cfb_->entry(*props).size >= layout::kEmbeddedHeaderSize &&
            (cfb_->entry(*props).size - layout::kEmbeddedHeaderSize) % layout::kEntrySize == 0;
        bool embedded = false;
        if (method == ATTACH_EMBEDDED_MSG) {
            if (!props) fail(where, -1, "embedded message has no __properties_version1.0");
            embedded = true;
        } else if (method != ATTACH_OLE) {
            // Method missing or unexpected: go by what the storage holds.
            embedded = hasMessageProps;
        }
        if (embedded) {
            a.embedded = std::make_unique<Message>(readMessage(
                *obj, layout::kEmbeddedHeaderSize, depth + 1, where + " embedded message"));
        } else {
            keepStorage(*obj, tag::AttachDataObject, objectFlags, a.props, where);
        }
        return a;
    }

    static constexpr size_t kMaxWarnings = 200;

    std::shared_ptr<CompoundFileReader> cfb_;
    MsgReadOptions options_;
    NameIdMap names_;
    std::vector<std::string> warnings_;
    size_t unnamed_ = 0;
    size_t damage_ = 0;  // warnings issued, listed or not
};

}  // namespace

mapi::Message readMessage(std::shared_ptr<CompoundFileReader> cfb, const MsgReadOptions& options) {
    return Reader(std::move(cfb), options).read();
}

}  // namespace qm::msg
