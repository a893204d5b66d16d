// The number under which a failure is reported to the user: the window shows
// a failed command as "number:description" (qm::NumberedError carries both).
#pragma once

#include <exception>

#include "mapi/error.h"

namespace qm::shell {

// Its own number for a NumberedError, otherwise the closest run-time error
// (out of memory, path access for an I/O failure, invalid call for anything
// else).
int ErrorNumberOf(const std::exception& e);

}  // namespace qm::shell
