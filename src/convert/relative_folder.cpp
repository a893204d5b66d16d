#include "convert/relative_folder.h"

#include <vector>

#include "convert/folder_path.h"
#include "mapi/error.h"

namespace qm::convert {
namespace {

constexpr const char* kReplacementChar = "\xEF\xBF\xBD";     // U+FFFD
constexpr const char* kFullwidthBackslash = "\xEF\xBC\xBC";  // U+FF3C

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t validSequence(const std::string& s, size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (k == 1 ? (b < lo || b > hi) : (b & 0xC0) != 0x80) return 0;
    }
    return len;
}

}  // namespace

bool IsPosixPath(const std::string& path) {
    return !path.empty() && path[0] == '/';
}

std::string TrimSpaces(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string StoreFolderName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        const size_t len = validSequence(name, i);
        if (len == 0) {
            out += kReplacementChar;
            ++i;
        } else if (name[i] == '\\') {
            out += kFullwidthBackslash;
            ++i;
        } else {
            out.append(name, i, len);
            i += len;
        }
    }
    return out;
}

std::string GetRelativeFolderWindows(const std::string& path) {
    const std::string trimmed = TrimSpaces(path);
    // The second piece of a split at every colon: between the first and the
    // second colon, or to the end.
    const size_t colon = trimmed.find(':');
    if (colon == std::string::npos) {
        throw NumberedError(
            kErrSubscript, "Subscript out of range: no drive letter and colon in \"" + path + "\"");
    }
    const size_t next = trimmed.find(':', colon + 1);
    std::string afterDrive = TrimSpaces(trimmed.substr(
        colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1));
    if (!afterDrive.empty()) afterDrive.erase(0, 1);  // the backslash after the drive colon
    std::string folder = GetFolderPath(afterDrive);
    if (folder.empty()) {
        throw NumberedError(kErrInvalidCall, "Invalid procedure call: \"" + path +
                                                 "\" lies directly in a drive's root folder");
    }
    folder.pop_back();
    return folder;
}

std::string GetRelativeFolderPosix(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    parts.pop_back();  // the file name
    std::vector<std::string> folders;
    for (auto& part : parts) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!folders.empty()) folders.pop_back();
            continue;
        }
        folders.push_back(StoreFolderName(part));
    }
    if (folders.empty()) {
        throw NumberedError(kErrInvalidCall, "Invalid procedure call: \"" + StoreFolderName(path) +
                                                 "\" lies directly in the root folder \"/\"");
    }
    std::string out = folders[0];
    for (size_t k = 1; k < folders.size(); ++k) out += "\\" + folders[k];
    return out;
}

std::string GetRelativeFolder(const std::string& path) {
    return IsPosixPath(path) ? GetRelativeFolderPosix(path) : GetRelativeFolderWindows(path);
}

std::string SourcePathForImport(const std::string& path) {
    return IsPosixPath(path) ? path : TrimSpaces(path);
}

}  // namespace qm::convert
