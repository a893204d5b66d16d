// The PST format's CRC-32 ([MS-PST] 5.3) is the one in mapi/crc32.h.
#pragma once

#include "mapi/crc32.h"

namespace qm::pst::ndb {

using mapi::crc32;
using mapi::crc32ByTables;

}  // namespace qm::pst::ndb
