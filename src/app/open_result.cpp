#include "app/open_result.h"

#include "app/dialogs.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

std::vector<std::string> Split(const std::string& text, char at) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(at, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

std::vector<std::string> ParseOpenResult(std::string text, char separator) {
    if (text.empty()) return {};
    if (text.back() != '\0') text.push_back('\0');
    // parts 0..k; the last, after the final NUL, is empty and never used.
    const std::vector<std::string> parts = Split(text, '\0');
    const size_t k = parts.size() - 1;
    std::string prefix;
    if (k >= 2) {
        prefix = parts[0];
        if (prefix.empty() || prefix.back() != separator) prefix.push_back(separator);
    }
    std::vector<std::string> paths;
    for (size_t i = 0; i < k; ++i) {
        if (!prefix.empty() && i == 0) continue;  // the folder itself
        paths.push_back(prefix + parts[i]);
    }
    return paths;
}

int64_t OpenResultRoom(const std::string& text, bool severalFiles) {
    return static_cast<int64_t>(text.size()) + (severalFiles ? 2 : 1);
}

std::string BuildOpenResult(const std::vector<std::string>& paths, int32_t maxFileSize,
                            char separator) {
    if (paths.empty()) return {};
    std::string text;
    if (paths.size() == 1) {
        text = paths.front();
    } else {
        const std::string& first = paths.front();
        const size_t cut = first.rfind(separator);
        if (cut == std::string::npos) {
            throw NumberedError(kErrInvalidCall,
                                "The Open dialog returned a name without a folder: " + first);
        }
        // A root ("/" or "C:\") keeps its separator; any other folder is given
        // without one, as the Windows dialog gives them.
        std::string folder = first.substr(0, cut);
        if (folder.empty() || folder.back() == ':') folder.push_back(separator);
        text = folder;
        for (const std::string& p : paths) {
            const size_t c = p.rfind(separator);
            if (c != cut || p.compare(0, cut, first, 0, cut) != 0) {
                throw NumberedError(kErrInvalidCall,
                                    "The Open dialog returned files from more than one "
                                    "folder: " +
                                        first + ", " + p);
            }
            text.push_back('\0');
            text += p.substr(c + 1);
        }
    }
    if (OpenResultRoom(text, paths.size() > 1) > maxFileSize) {
        throw NumberedError(kErrFileNameBufferTooSmall,
                            "The FileName buffer is too small to store the selected file "
                            "name(s)");
    }
    return text;
}

std::string QtNameFilter(const std::string& filter) {
    const std::vector<std::string> parts = Split(filter, '|');
    std::string out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        const std::string& description = parts[i];
        std::string patterns = parts[i + 1];
        for (char& c : patterns) {
            if (c == ';') c = ' ';  // Windows separates patterns with ';', Qt with spaces
        }
        if (!out.empty()) out += ";;";
        // Qt takes the patterns from the parentheses of an entry; a
        // description that already shows them is used as it is.
        if (description.find("(" + patterns + ")") != std::string::npos) {
            out += description;
        } else {
            out += description + " (" + patterns + ")";
        }
    }
    return out;
}

}  // namespace qm::app
