// Random identifiers the store makes: the store's record key (the provider
// UID inside every entry id), version-history GUIDs and missing search keys.
#pragma once

#include <array>
#include <cstdint>

#include "mapi/bytes.h"

namespace qm::pst::store {

// 16 bytes from the system's random source, shaped as a version-4 GUID.
std::array<uint8_t, 16> randomGuid();
Bytes randomGuidBytes();

}  // namespace qm::pst::store
