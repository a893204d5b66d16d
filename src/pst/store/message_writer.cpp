#include "pst/store/message_writer.h"

#include <algorithm>
#include <set>
#include <string>

#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/ltp/bth_builder.h"
#include "pst/ltp/heap_builder.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/store/outlook_tables.h"
#include "pst/store/property_rules.h"
#include "pst/store/random_id.h"

namespace qm::pst::store {
namespace {

using mapi::Property;
using mapi::PropTag;
namespace tag = mapi::tag;

constexpr PropTag kSearchKey = mapi::makeTag(0x300B, mapi::PT_BINARY);
constexpr PropTag kAttachDataObject = mapi::makeTag(0x3701, mapi::PT_OBJECT);
constexpr uint16_t kAttachData = 0x3701;
constexpr uint16_t kAttachRendering = 0x3709;
// The first attachment subnode Outlook uses (index 0x401, type 0x05).
constexpr uint32_t kFirstAttachmentIndex = 0x401;
// Embedded messages nest; a deeper chain than this is a damaged or hostile
// source, not mail.
constexpr int kMaxEmbeddingDepth = 64;
constexpr int32_t kNotRendered = -1;  // PidTagRenderingPosition 0xFFFFFFFF

bool hasId(const std::vector<Property>& props, uint16_t id) {
    return std::any_of(props.begin(), props.end(),
                       [id](const Property& p) { return p.id() == id; });
}

int32_t clampSize(uint64_t size) {
    // PidTagMessageSize / PidTagAttachSize are 32-bit; a PST stream is < 4 GiB.
    return size > 0x7FFFFFFF ? int32_t(0x7FFFFFFF) : int32_t(size);
}

std::vector<PropTag> unionColumns(const std::vector<PropTag>& base,
                                  const std::vector<std::vector<Property>>& rows) {
    std::set<PropTag> seen(base.begin(), base.end());
    std::vector<PropTag> cols = base;
    for (const auto& row : rows) {
        for (const Property& p : row) {
            if (seen.insert(p.tag).second) cols.push_back(p.tag);
        }
    }
    return cols;
}

}  // namespace

MessageWriter::MessageWriter(ndb::NodeDatabaseWriter& ndb, NameToIdMap& names,
                             std::function<uint32_t()> nextRowVersion)
    : ndb_(ndb), names_(names), nextRowVersion_(std::move(nextRowVersion)) {}

uint64_t MessageWriter::subnodeBytes(const std::vector<ndb::SubnodeEntry>& entries) const {
    uint64_t total = 0;
    for (const auto& e : entries) {
        if (e.bidData) total += ndb_.dataSize(e.bidData);
        if (e.bidSub) total += subnodeBytes(ndb_.readSubnodeTree(e.bidSub));
    }
    return total;
}

WrittenObject MessageWriter::writeTable(
    ndb::Nid nid, std::vector<PropTag> columns,
    const std::vector<std::pair<uint32_t, std::vector<Property>>>& rows) {
    ltp::TableContextBuilder table(ndb_, std::move(columns));
    for (const auto& [rowId, cells] : rows) table.addRow(rowId, cells);
    const ltp::BuiltNode built = table.flush();
    WrittenObject out;
    out.nid = nid;
    out.bidData = built.bidData;
    out.bidSub = ndb_.writeSubnodeTree(built.subnodes);
    out.size = (built.bidData ? ndb_.dataSize(built.bidData) : 0) + subnodeBytes(built.subnodes);
    return out;
}

WrittenObject MessageWriter::writeRecipients(mapi::Message& message) {
    std::vector<std::vector<Property>> cells;
    cells.reserve(message.recipients.size());
    for (mapi::Recipient& r : message.recipients) {
        // The row is the recipient itself (there is no recipient PC).
        cells.push_back(storeProperties(r.props, ObjectKind::Recipient, names_));
        cells.back().push_back(Property::int32(ndb::kPidTagLtpRowVer, int32_t(nextRowVersion_())));
    }
    std::vector<PropTag> columns = unionColumns(columns::recipientTemplate(), cells);
    std::vector<std::pair<uint32_t, std::vector<Property>>> rows;
    rows.reserve(cells.size());
    for (uint32_t i = 0; i < cells.size(); ++i) rows.emplace_back(i, std::move(cells[i]));
    return writeTable(ndb::NID_RECIPIENT_TABLE, std::move(columns), rows);
}

WrittenObject MessageWriter::writeAttachment(ndb::Nid nid, mapi::Attachment& attachment,
                                             uint64_t now, std::vector<Property>& row) {
    std::vector<Property> props = storeProperties(attachment.props, ObjectKind::Attachment, names_);
    if (attachment.embedded) {
        // The embedded message is the object; a stray data property would
        // give the attachment two values for the same id.
        std::erase_if(props, [](const Property& p) { return p.id() == kAttachData; });
    }
    if (!hasId(props, mapi::propId(tag::AttachMethod))) {
        int32_t method = mapi::ATTACH_NO_ATTACHMENT;
        if (attachment.embedded) {
            method = mapi::ATTACH_EMBEDDED_MSG;
        } else if (findTag(props, kAttachDataObject)) {
            method = mapi::ATTACH_OLE;
        } else if (hasId(props, kAttachData)) {
            method = mapi::ATTACH_BY_VALUE;
        }
        props.push_back(Property::int32(tag::AttachMethod, method));
    }
    if (!hasId(props, mapi::propId(tag::RenderingPosition))) {
        props.push_back(Property::int32(tag::RenderingPosition, kNotRendered));
    }

    std::vector<ndb::SubnodeEntry> subnodes;
    uint64_t objectSize = 0;
    ndb::Nid embeddedNid = 0;
    if (attachment.embedded) {
        if (depth_ >= kMaxEmbeddingDepth) {
            throw Error("embedded messages nest more than " + std::to_string(kMaxEmbeddingDepth) +
                        " deep");
        }
        embeddedNid = ndb_.allocateNid(ndb::NID_TYPE_NORMAL_MESSAGE);
        ++depth_;
        Result inner;
        try {
            inner = write(embeddedNid, *attachment.embedded, now);
        } catch (...) {
            --depth_;
            throw;
        }
        --depth_;
        subnodes.push_back({embeddedNid, inner.node.bidData, inner.node.bidSub});
        objectSize = inner.node.size;
    }

    // PidTagAttachSize counts itself (4 bytes), as Outlook's figures show.
    uint64_t attachSize = sizeof(int32_t) + objectSize;
    for (const Property& p : props) attachSize += valueSize(p);
    props.push_back(Property::int32(tag::AttachSize, clampSize(attachSize)));

    // The row: everything but the data itself (Outlook's attachment tables
    // carry neither the data nor the rendering metafile). Taken before the
    // properties move into the PC.
    for (const Property& p : props) {
        if (p.id() == kAttachData || p.id() == kAttachRendering || p.type() == mapi::PT_OBJECT) {
            continue;
        }
        row.push_back(p);
    }
    row.push_back(Property::int32(ndb::kPidTagLtpRowVer, int32_t(nextRowVersion_())));

    ltp::SubnodeIds ids;
    ltp::PropertyContextBuilder pc(ndb_, &ids);
    for (Property& p : props) pc.set(std::move(p));
    if (attachment.embedded) pc.setObject(kAttachDataObject, embeddedNid, uint32_t(objectSize));
    const ltp::BuiltNode built = pc.build();

    WrittenObject out;
    out.nid = nid;
    out.bidData = built.bidData;
    out.size = ndb_.dataSize(built.bidData) + subnodeBytes(built.subnodes) + objectSize;
    subnodes.insert(subnodes.end(), built.subnodes.begin(), built.subnodes.end());
    std::sort(subnodes.begin(), subnodes.end(),
              [](const auto& a, const auto& b) { return a.nid < b.nid; });
    out.bidSub = ndb_.writeSubnodeTree(subnodes);
    return out;
}

MessageWriter::Result MessageWriter::write(ndb::Nid nid, mapi::Message& message, uint64_t now) {
    std::vector<Property> props = storeProperties(message.props, ObjectKind::Message, names_);
    encodeSubject(message.props, props);
    // Properties every message object must have ([MS-PST] 2.4.5.1.1): the
    // store supplies them when the source has none.
    if (!hasId(props, mapi::propId(tag::MessageClass))) {
        props.push_back(Property::utf8(tag::MessageClass, "IPM.Note"));
    }
    if (!hasId(props, mapi::propId(tag::MessageFlags))) {
        props.push_back(Property::int32(tag::MessageFlags, 0));
    }
    // mfHasAttach must agree with the attachment table the store writes
    // ([MS-PST] 2.6.3.3.5); files from other software do not always keep it
    // so for embedded messages. Every other bit is the caller's.
    for (Property& p : props) {
        if (p.tag != tag::MessageFlags || p.value.size() != 4) continue;
        uint32_t flags = loadLE32(p.value.data());
        if (message.attachments.empty())
            flags &= ~uint32_t(mapi::MSGFLAG_HASATTACH);
        else
            flags |= uint32_t(mapi::MSGFLAG_HASATTACH);
        storeLE32(p.value.data(), flags);
    }
    if (!hasId(props, mapi::propId(kSearchKey))) {
        props.push_back(Property::binary(kSearchKey, randomGuidBytes()));
    }
    if (!hasId(props, mapi::propId(tag::CreationTime))) {
        props.push_back(Property::time(tag::CreationTime, now));
    }
    if (!hasId(props, mapi::propId(tag::LastModificationTime))) {
        props.push_back(Property::time(tag::LastModificationTime, now));
    }

    std::vector<ndb::SubnodeEntry> subnodes;
    uint64_t size = 0;
    auto adopt = [&](const WrittenObject& w) {
        subnodes.push_back({w.nid, w.bidData, w.bidSub});
        size += w.size;
    };

    adopt(writeRecipients(message));

    if (!message.attachments.empty()) {
        std::vector<std::pair<uint32_t, std::vector<Property>>> rows;
        std::vector<std::vector<Property>> rowCellsOnly;
        for (size_t i = 0; i < message.attachments.size(); ++i) {
            const ndb::Nid attNid =
                ndb::makeNid(ndb::NID_TYPE_ATTACHMENT, kFirstAttachmentIndex + uint32_t(i));
            std::vector<Property> row;
            adopt(writeAttachment(attNid, message.attachments[i], now, row));
            rows.emplace_back(attNid, row);
            rowCellsOnly.push_back(std::move(row));
        }
        adopt(writeTable(ndb::NID_ATTACHMENT_TABLE,
                         unionColumns(columns::attachmentTemplate(), rowCellsOnly), rows));
    }

    // PidTagMessageSize counts the PC itself; as an inline Int32 its value
    // cannot change the heap's size, so it is filled in once the layout is
    // final and the PC is written once.
    ltp::SubnodeIds ids;
    ltp::PropertyContextBuilder pc(ndb_, &ids);
    for (Property& p : props) pc.set(std::move(p));
    pc.set(Property::int32(tag::MessageSize, 0));
    int32_t messageSize = 0;
    const ltp::BuiltNode built =
        pc.build(tag::MessageSize,
                 [&](uint64_t heapBytes, const std::vector<ndb::SubnodeEntry>& pcSubnodes) {
                     size += heapBytes + subnodeBytes(pcSubnodes);
                     messageSize = clampSize(size);
                     return messageSize;
                 });

    Result result;
    result.node.nid = nid;
    result.node.bidData = built.bidData;
    result.node.size = size;
    subnodes.insert(subnodes.end(), built.subnodes.begin(), built.subnodes.end());
    std::sort(subnodes.begin(), subnodes.end(),
              [](const auto& a, const auto& b) { return a.nid < b.nid; });
    result.node.bidSub = ndb_.writeSubnodeTree(subnodes);

    // The properties come back from the PC for the contents table's row.
    result.props = pc.takeProperties();
    for (Property& p : result.props)
        if (p.tag == tag::MessageSize) p = Property::int32(tag::MessageSize, messageSize);
    return result;
}

}  // namespace qm::pst::store
