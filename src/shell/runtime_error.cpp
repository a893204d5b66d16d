#include "shell/runtime_error.h"

#include <new>

namespace qm::shell {

int ErrorNumberOf(const std::exception& e) {
    if (auto* r = dynamic_cast<const NumberedError*>(&e)) return r->number();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return kErrOutOfMemory;
    if (dynamic_cast<const qm::IoError*>(&e)) return kErrPathAccess;
    return kErrInvalidCall;
}

}  // namespace qm::shell
