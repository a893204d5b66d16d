// Numbered run-time errors. The window reports a failed command as
// "number:description", so errors that travel up to a command carry the number
// the user would look up (6 overflow, 9 subscript out of range, 91 no object,
// 380 invalid property value, 457 duplicate key, 20476 dialog buffer too small).
#pragma once

#include <exception>
#include <string>

#include "mapi/error.h"

namespace qm::shell {

class RuntimeError : public qm::Error {
  public:
    RuntimeError(int number, std::string description);

    int number() const { return number_; }
    const std::string& description() const { return description_; }

  private:
    int number_;
    std::string description_;
};

// Numbers the run-time errors share with the window's message boxes.
inline constexpr int kErrOverflow = 6;
inline constexpr int kErrOutOfMemory = 7;
inline constexpr int kErrSubscript = 9;
inline constexpr int kErrPathAccess = 75;
inline constexpr int kErrNoObject = 91;
inline constexpr int kErrInvalidValue = 380;
inline constexpr int kErrDuplicateKey = 457;
inline constexpr int kErrInvalidCall = 5;

// The number under which an exception is reported to the user: its own for a
// RuntimeError, otherwise the closest run-time error (out of memory, path
// access for an I/O failure, invalid call for anything else).
int ErrorNumberOf(const std::exception& e);

}  // namespace qm::shell
