#include "outlook/automation_error.h"

#include <cstdio>

namespace qm::outlook {

std::string FormatErrorNumber(int32_t number) {
    if (number >= 0 && number < 65536) return std::to_string(number);
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(number));
    return buf;
}

AutomationError::AutomationError(int32_t number, std::string description)
    : qm::Error("Error " + FormatErrorNumber(number) + ": " + description),
      number_(number),
      description_(std::move(description)) {}

}  // namespace qm::outlook
