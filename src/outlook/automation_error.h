// Failures of the automation surface. Each carries a number, as a late-bound
// call reports it (an HRESULT as a signed 32-bit value, or a Basic run-time
// error number), and a description that says what failed and where.
#pragma once

#include <cstdint>
#include <string>

#include "mapi/error.h"

namespace qm::outlook {

class AutomationError : public qm::Error {
  public:
    AutomationError(int32_t number, std::string description);

    int32_t number() const { return number_; }
    const std::string& description() const { return description_; }

  private:
    int32_t number_;
    std::string description_;
};

// HRESULTs from MAPI ([MS-OXCDATA] 2.4) and COM, as the signed values a
// caller sees.
inline constexpr int32_t kMapiCallFailed = int32_t(0x80004005);      // MAPI_E_CALL_FAILED / E_FAIL
inline constexpr int32_t kMapiNoSupport = int32_t(0x80040102);       // MAPI_E_NO_SUPPORT
inline constexpr int32_t kMapiNotFound = int32_t(0x8004010F);        // MAPI_E_NOT_FOUND
inline constexpr int32_t kMapiCorruptData = int32_t(0x8004011B);     // MAPI_E_CORRUPT_DATA
inline constexpr int32_t kMapiCollision = int32_t(0x80040604);       // MAPI_E_COLLISION
inline constexpr int32_t kMapiNotInitialized = int32_t(0x80040605);  // MAPI_E_NOT_INITIALIZED
inline constexpr int32_t kMapiInvalidParameter = int32_t(0x80070057);  // MAPI_E_INVALID_PARAMETER
inline constexpr int32_t kMapiNoAccess = int32_t(0x80070005);          // MAPI_E_NO_ACCESS
// Basic's "Object variable or With block variable not set": a member used on
// an object reference that is empty.
inline constexpr int32_t kErrNoObject = 91;

// "0x8004010F" for HRESULTs, plain decimal for small run-time error numbers.
std::string FormatErrorNumber(int32_t number);

}  // namespace qm::outlook
