// Names of well-known properties ([MS-OXPROPS]) for display.
#pragma once

#include <cstdint>
#include <string>

namespace qm::mapi {

// "PidTagSubject" for 0x0037, or "" when the id is not in our table.
const char* propertyName(uint16_t id);

}  // namespace qm::mapi
