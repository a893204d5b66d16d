#include "convert/folder_path.h"

#include "mapi/error.h"

namespace qm::convert {

std::string GetFolderPath(const std::string& path) {
    if (path.empty()) {
        throw NumberedError(kErrSubscript, "Subscript out of range: an empty path has no folder");
    }
    const size_t last = path.rfind('\\');
    return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

}  // namespace qm::convert
