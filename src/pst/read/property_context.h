// A property context, read ([MS-PST] 2.3.3): a heap whose BTH maps 2-byte
// property ids to (type, value-or-HNID); values decoded into mapi form.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mapi/error.h"
#include "mapi/property.h"
#include "pst/read/bth.h"
#include "pst/read/ltp_node.h"
#include "pst/read/name_map.h"

namespace qm::pst::read {

class PropertyContext {
  public:
    struct Entry {
        uint16_t id = 0;
        uint16_t type = 0;
        uint32_t value = 0;  // inline value or HNID
    };

    // Values above this many bytes stay in the file (Property::stream).
    static constexpr uint64_t kStreamThreshold = 1 << 20;

    PropertyContext(const PropertyContext&) = delete;
    PropertyContext& operator=(const PropertyContext&) = delete;

    // Throws qm::FormatError when the node is not a PC.
    PropertyContext(std::shared_ptr<const NodeDatabase> db, Bid bidData, Bid bidSub,
                    std::string where);

    const std::vector<Entry>& entries() const { return entries_; }
    const LtpNode& node() const { return node_; }
    const Bth& bth() const { return bth_; }

    // Every property, named ones resolved through `names` when given (ids
    // of 0x8000 and above without a name keep only their tag). Throws
    // qm::FormatError naming the property whose value is malformed.
    mapi::PropertyBag properties(const NameMap* names = nullptr) const;
    mapi::Property property(const Entry& e) const;

    // For PT_OBJECT values: the subnode and the size the PC records.
    struct ObjectRef {
        Nid nid = 0;
        uint32_t size = 0;
    };
    ObjectRef objectRef(const Entry& e) const;

  private:
    LtpNode node_;
    Bth bth_;
    std::vector<Entry> entries_;
};

// Decodes a stored value of `type` into a Property (MV arrays split into
// items; fixed sizes checked). `where` names the value in errors.
mapi::Property decodeValue(mapi::PropTag tag, Bytes bytes, const std::string& file,
                           const std::string& where);
// decodeValue with `where()` made only when the value is bad: naming every
// property and cell up front was a sixth of checking a large store.
template <typename Where>
mapi::Property decodeValueAt(mapi::PropTag tag, Bytes bytes, const std::string& file,
                             const Where& where) {
    try {
        return decodeValue(tag, std::move(bytes), file, std::string());
    } catch (const FormatError& err) {
        throw FormatError(file, where(), err.offset(), err.reason());
    }
}

// "0x0037001F" for messages.
std::string tagName(mapi::PropTag tag);

}  // namespace qm::pst::read
