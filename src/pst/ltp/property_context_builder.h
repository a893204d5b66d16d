// Property context ([MS-PST] 2.3.3): a heap (bClientSig 0xBC) whose user
// root is a BTH keyed by property id (cbKey 2) with 6-byte records
// {wPropType, dwValueHnid}.
//
// Value placement:
//   fixed size <= 4 bytes (Int16, Int32, Float32, ErrorCode, Boolean)
//                           in dwValueHnid itself, zero-padded;
//   fixed size 8 or 16 (Int64, Float64, Currency, AppTime, Time, Guid)
//                           a heap allocation;
//   variable size (strings without terminator, binary, every multi-valued
//   type, PT_OBJECT contents)
//                           a heap allocation when <= 3580 bytes, otherwise
//                           an LTP subnode (nidType 0x1F) holding the value
//                           as a data tree, streamed from Property::stream;
//   PT_OBJECT               a heap allocation {nid, ulSize} naming a subnode
//                           that holds the object (the compound file of an
//                           OLE attachment, or a subnode the caller wrote,
//                           see setObject()).
// Multi-valued variable-size values: ulCount, rgulDataOffsets[ulCount],
// then the items; fixed-size ones: the elements packed.
// A zero-length variable value is a zero-length heap allocation. Outlook
// itself writes dwValueHnid 0 (an empty display name, comment or
// PidTagAttachEncoding in its files), but HID 0 names no allocation
// ([MS-PST] 2.3.1.1) and the outlook-pst library reads an empty attachment
// stored so as having no data; a zero-length allocation reads as empty
// everywhere.
//
// Heap order, as in Outlook's PCs: the BTH header at HID 0x20, the BTH root
// at 0x40 (with its lower levels, if any, next), then the values in
// property id order.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "mapi/property.h"
#include "pst/ltp/heap_builder.h"

namespace qm::pst::ltp {

// A node (or subnode) as the builders leave it: the caller writes
// `subnodes` (plus any of its own) with writeSubnodeTree() and points the
// NBT or SLBLOCK entry at (bidData, that tree).
struct BuiltNode {
    Bid bidData = 0;
    std::vector<ndb::SubnodeEntry> subnodes;  // sorted by nid
};

// LTP subnode NIDs handed out to one node's big values and row matrices.
// Shared by the builders of one node so their subnodes never collide.
class SubnodeIds {
  public:
    explicit SubnodeIds(uint32_t firstIndex = 1) : next_(firstIndex) {}
    Nid next(uint8_t type = ndb::NID_TYPE_LTP) { return ndb::makeNid(type, next_++); }

  private:
    uint32_t next_;
};

// The bytes a property value has inside a PC or a table cell (the layouts
// above). PT_OBJECT yields the object's bytes. Reads `stream` when set.
Bytes encodePropertyValue(const mapi::Property& prop);
// Size of that encoding without reading a stream.
uint64_t encodedPropertySize(const mapi::Property& prop);

class PropertyContextBuilder {
  public:
    explicit PropertyContextBuilder(ndb::NodeDatabaseWriter& ndb, SubnodeIds* ids = nullptr);

    // Adds or replaces the property with this tag's id. The tag must be
    // final (named properties already mapped to this store's ids).
    // REQUIRES: a type a PC can hold (not PT_UNSPECIFIED/PT_NULL).
    // Taken by value: a caller done with its property moves it in, and its
    // value (a body, an attachment's data) is not copied again.
    void set(mapi::Property prop);
    // A PT_OBJECT value naming a subnode the caller writes (an embedded
    // message): stored as {nid, size}; the subnode is not added here.
    void setObject(mapi::PropTag tag, Nid subnode, uint32_t size);
    size_t size() const {
        order();
        return props_.size();
    }
    // Every property set, in id order, moved out (object references as
    // PT_OBJECT without a value); the builder is empty afterwards.
    std::vector<mapi::Property> takeProperties();

    // Writes the heap and the value subnodes. May be called again after
    // more set()s (a folder whose counts changed); each call writes anew.
    // REQUIRES: the result is referenced before the next commit.
    BuiltNode build();

    // The value of an inline PT_LONG that depends on the PC's own size
    // (PidTagMessageSize). It is asked for once the layout is final, with the
    // bytes the heap's blocks will hold and the value subnodes already
    // written, and it replaces the property's value before anything of the
    // heap is written: an inline value cannot change the size it measures.
    using SizeDependent =
        std::function<int32_t(uint64_t heapBytes, const std::vector<ndb::SubnodeEntry>& subnodes)>;
    // REQUIRES: `sizeTag` set, with type PT_LONG.
    BuiltNode build(mapi::PropTag sizeTag, const SizeDependent& value);

  private:
    struct Pending {
        mapi::Property prop;
        bool objectRef = false;  // setObject(): {objectNid, objectSize}
        Nid objectNid = 0;
        uint32_t objectSize = 0;
    };
    ndb::NodeDatabaseWriter& ndb_;
    SubnodeIds ownIds_;
    SubnodeIds* ids_;
    void order() const;
    mutable std::vector<Pending> props_;  // sorted by id, one per id, when sorted_
    mutable bool sorted_ = true;
};

}  // namespace qm::pst::ltp
