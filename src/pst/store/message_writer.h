// Writes one mapi::Message as a message object ([MS-PST] 2.4.5): the
// message PC as the node's data and, as its subnodes,
//   0x692            the recipient table (always, even without recipients):
//                    the template's columns plus every recipient property;
//                    row ids 0, 1, 2, ... in the message's order
//   0x671            the attachment table (only with attachments): the
//                    template's columns plus every attachment property but
//                    the data and the rendering; row id = attachment NID
//   0x8025, 0x8045.. one attachment PC each (type 0x05, index 0x401 + i),
//                    whose own subnodes hold its big values and, for an
//                    embedded message, that message (a NORMAL_MESSAGE NID
//                    from the store's counter, as Outlook does) written the
//                    same way, to any depth
//   0x..1F           LTP subnodes of the PC's values over 3580 bytes
// Attachment data is streamed from Property::stream; nothing is held
// whole. Sizes (see docs/pst-format.md):
//   PidTagMessageSize = bytes of the data streams of the message node and of
//                       all its subnodes, recursively (blocks' cb, without
//                       trailers, padding or XBLOCK/SLBLOCK structure);
//   PidTagAttachSize  = sum of the value sizes of the attachment's
//                       properties, an embedded message counting its
//                       PidTagMessageSize;
//   PtypObject ulSize = the embedded message's PidTagMessageSize, or the
//                       OLE storage's length.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "mapi/message.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/store/name_to_id_map.h"

namespace qm::pst::store {

// A node (or subnode) written: what its NBTENTRY or SLENTRY points at.
struct WrittenObject {
    ndb::Nid nid = 0;
    ndb::Bid bidData = 0;
    ndb::Bid bidSub = 0;
    uint64_t size = 0;  // data bytes of the node and all its subnodes
};

class MessageWriter {
  public:
    // `nextRowVersion` hands out PidTagLtpRowVer values for the rows this
    // writer makes (recipients, attachments).
    MessageWriter(ndb::NodeDatabaseWriter& ndb, NameToIdMap& names,
                  std::function<uint32_t()> nextRowVersion);

    struct Result {
        WrittenObject node;
        // The message's properties as stored (store ids, computed values),
        // for the folder's contents-table row.
        std::vector<mapi::Property> props;
    };

    // Writes `message` under `nid` (which the caller then names in the NBT
    // or in a parent's subnode tree). `now` is the FILETIME used for
    // PidTagCreationTime / PidTagLastModificationTime when the message has none.
    // Throws qm::Error (named-property or size limits) before anything is
    // referenced: whatever was written is garbage the next commit frees.
    // The message's property values (its recipients', attachments' and
    // embedded messages' too) are moved out as they are written.
    // REQUIRES: no 8-bit strings (Store::addMessage decodes them first).
    Result write(ndb::Nid nid, mapi::Message& message, uint64_t now);

  private:
    WrittenObject writeRecipients(mapi::Message& message);
    WrittenObject writeAttachment(ndb::Nid nid, mapi::Attachment& attachment, uint64_t now,
                                  std::vector<mapi::Property>& row);
    WrittenObject writeTable(
        ndb::Nid nid, std::vector<mapi::PropTag> columns,
        const std::vector<std::pair<uint32_t, std::vector<mapi::Property>>>& rows);
    uint64_t subnodeBytes(const std::vector<ndb::SubnodeEntry>& entries) const;

    ndb::NodeDatabaseWriter& ndb_;
    NameToIdMap& names_;
    std::function<uint32_t()> nextRowVersion_;
    int depth_ = 0;
};

}  // namespace qm::pst::store
