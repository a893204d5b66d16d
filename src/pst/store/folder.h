// What the store keeps about each folder while it is open: enough to write
// the folder's PC and its row in the parent's hierarchy table again when
// its counts change, and to find children by name. Messages are not kept.
//
// The folder PC ([MS-PST] 2.4.4.1.1) and the hierarchy row carry the same
// values: DisplayName, ContentCount, ContentUnreadCount, Subfolders, and for
// folders the conversion makes, ContainerClass and PstHiddenCount/Unread 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapi/property.h"
#include "pst/ndb/format.h"

namespace qm::pst::store {

struct Folder {
    ndb::Nid nid = 0;
    ndb::Nid parent = 0;
    std::u16string name;
    std::string nameUtf8;
    std::u16string folded;                   // name in the case folding sibling names compare in
    std::u16string containerClass;           // empty: the folder has none (standard folders)
    bool writeHiddenCounts = false;          // PidTagPstHiddenCount/Unread (folders we add)
    std::vector<mapi::Property> extraProps;  // e.g. the Deleted Items comment
    int32_t contentCount = 0;
    int32_t unreadCount = 0;
    std::vector<ndb::Nid> children;
    uint32_t rowVersion = 0;  // PidTagLtpRowVer of this folder's hierarchy row
    bool pcDirty = false;     // the PC must be written again
    bool rowDirty = false;    // the row in the parent's hierarchy table too

    bool hasSubfolders() const { return !children.empty(); }
    // The folder PC's properties.
    std::vector<mapi::Property> pcProperties() const;
    // The cells of this folder's row in its parent's hierarchy table.
    std::vector<mapi::Property> hierarchyCells() const;
};

// Case folding for sibling names: the simple lower-case mappings of the
// Latin, Greek, Cyrillic and Armenian blocks and the full-width forms, which
// is how names differing only in case collide in Outlook.
std::u16string foldCase(std::u16string_view name);

}  // namespace qm::pst::store
