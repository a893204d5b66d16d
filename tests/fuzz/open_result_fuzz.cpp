// libFuzzer target over the Open dialog's result text: any text parses
// without a crash, and paths the dialog could return survive a round trip
// through the text (built, then parsed back to the same paths).
//
// Input: the first byte picks the separator ('/' or '\'); the rest is
// either taken as a result text, or split at '\n' into one folder and the
// names chosen in it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/open_result.h"
#include "shell/runtime_error.h"

namespace {

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t end = s.find('\n', start);
        out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

// Paths in one folder as the dialog returns them: absolute, the names
// non-empty and without NUL or separator.
std::vector<std::string> dialogPaths(const std::string& body, char sep) {
    std::vector<std::string> lines = splitLines(body);
    std::string folder = lines.front();
    for (char& c : folder) {
        if (c == '\0') c = '_';
    }
    if (folder.empty() || folder.front() != sep) folder.insert(folder.begin(), sep);
    while (folder.size() > 1 && folder.back() == sep) folder.pop_back();
    std::vector<std::string> paths;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string name = lines[i];
        bool usable = !name.empty();
        for (char c : name) usable = usable && c != '\0' && c != sep && c != '/' && c != '\\';
        if (!usable) continue;
        paths.push_back(folder == std::string(1, sep) ? folder + name : folder + sep + name);
    }
    return paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char sep = (data[0] & 1) ? '\\' : '/';
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

    for (const std::string& p : qm::app::ParseOpenResult(body, sep)) {
        if (p.size() > body.size() * 2 + 2) std::abort();  // a path can only come from the text
    }

    const std::vector<std::string> paths = dialogPaths(body, sep);
    if (paths.empty()) return 0;
    // A folder containing the other separator is fine; one whose text holds
    // this separator in a name is not a dialog result and is refused.
    std::string text;
    try {
        text = qm::app::BuildOpenResult(paths, 1 << 20, sep);
    } catch (const qm::NumberedError&) {
        return 0;
    }
    if (qm::app::ParseOpenResult(text, sep) != paths) std::abort();
    return 0;
}
