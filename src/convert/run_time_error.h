// Numbered run-time errors of the conversion's own helpers (the string list,
// the folder part of a path, the relative folder). They travel up to the run,
// whose trapped mode shows them in the detailed text of its error box.
#pragma once

#include <string>

#include "mapi/error.h"

namespace qm::convert {

class RunTimeError : public qm::Error {
  public:
    RunTimeError(int number, std::string description);

    int number() const { return number_; }
    const std::string& description() const { return description_; }

  private:
    int number_;
    std::string description_;
};

// The numbers Basic gave these failures; users and old logs know them.
inline constexpr int kErrInvalidCall = 5;
inline constexpr int kErrSubscript = 9;

}  // namespace qm::convert
