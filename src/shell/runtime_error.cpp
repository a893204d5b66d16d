#include "shell/runtime_error.h"

#include <new>

namespace qm::shell {

RuntimeError::RuntimeError(int number, std::string description)
    : Error(description), number_(number), description_(std::move(description)) {}

int ErrorNumberOf(const std::exception& e) {
    if (auto* r = dynamic_cast<const RuntimeError*>(&e)) return r->number();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return kErrOutOfMemory;
    if (dynamic_cast<const qm::IoError*>(&e)) return kErrPathAccess;
    return kErrInvalidCall;
}

}  // namespace qm::shell
