#include "pst/read/file_bytes.h"

#include <cstdio>

#include "mapi/error.h"
#include "pst/read/problems.h"

namespace qm::pst::read {

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::shared_ptr<FileBytes> FileBytes::open(const std::filesystem::path& path) {
    return std::shared_ptr<FileBytes>(new FileBytes(path));
}

Bytes FileBytes::read(uint64_t offset, size_t length) const {
    Bytes b(length);
    read(offset, b);
    return b;
}

}  // namespace qm::pst::read
