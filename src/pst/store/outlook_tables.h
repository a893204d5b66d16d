// The column sets of the tables Outlook writes into a new store, read from
// an empty store Outlook made (see docs/pst-format.md). The templates
// (0x60D-0x610, 0x671, 0x692) are what every new folder, message and
// attachment table starts from; the others belong to one node each.
#pragma once

#include <vector>

#include "mapi/property.h"

namespace qm::pst::store::columns {

using Tags = std::vector<mapi::PropTag>;

// Templates ([MS-PST] 2.4.4.4.1, 2.4.4.5.1, 2.4.4.6.1, 2.4.8.6.2.1,
// 2.4.6.1.2, 2.4.5.3.1), with the columns Outlook adds to them.
const Tags& hierarchyTemplate();       // 0x60D, 13 columns
const Tags& contentsTemplate();        // 0x60E, 28 columns
const Tags& assocContentsTemplate();   // 0x60F, 15 columns
const Tags& searchContentsTemplate();  // 0x610 and 0x2230, 19 columns
const Tags& attachmentTemplate();      // 0x671, 6 columns
const Tags& recipientTemplate();       // 0x692, 14 columns

// Tables of one node each.
const Tags& receiveFolderTable();        // 0x62B
const Tags& outgoingQueueTable();        // 0x64C
const Tags& table6B6();                  // 0x6B6 (undocumented)
const Tags& table6D7();                  // 0x6D7 (undocumented)
const Tags& table6F8();                  // 0x6F8 (undocumented)
const Tags& rootAssocContents();         // 0x12F
const Tags& ipmSubtreeHierarchy();       // 0x802D
const Tags& ipmSubtreeContents();        // 0x802E, named columns use the default name map
const Tags& searchRootHierarchy();       // 0x804D
const Tags& commonViewsAssocContents();  // 0x808F

}  // namespace qm::pst::store::columns
