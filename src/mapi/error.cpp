#include "mapi/error.h"

#include <cstring>
#include <sstream>

namespace qm {
namespace {

std::string describe(const std::string& file, const std::string& structure, int64_t offset,
                     const std::string& what) {
    std::ostringstream s;
    s << (file.empty() ? std::string("<memory>") : file) << ": " << structure;
    if (offset >= 0) s << " at offset 0x" << std::hex << offset << std::dec;
    s << ": " << what;
    return s.str();
}

}  // namespace

FormatError::FormatError(std::string file, std::string structure, int64_t offset, std::string what)
    : Error(describe(file, structure, offset, what)),
      file_(std::move(file)),
      structure_(std::move(structure)),
      offset_(offset),
      reason_(std::move(what)) {}

FormatError FormatError::withFile(std::string file) const {
    return FormatError(std::move(file), structure_, offset_, reason_);
}

IoError::IoError(std::string path, std::string operation, int errnum)
    : Error(path + ": " + operation + " failed: " + std::strerror(errnum)),
      path_(std::move(path)),
      errnum_(errnum) {}

}  // namespace qm
