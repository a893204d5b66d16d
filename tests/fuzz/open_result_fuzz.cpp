// libFuzzer target over the Open dialog's result text: any text parses, and
// paths the dialog could return come back the same through the text. The
// first byte picks the separator; the rest is a result text, and also, split
// at '\n', one folder and the names chosen in it.
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/open_result.h"
#include "shell/runtime_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char sep = (data[0] & 1) ? '\\' : '/';
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    for (const std::string& p : qm::app::ParseOpenResult(body, sep))
        if (p.size() > body.size() * 2 + 2) std::abort();  // a path can only come from the text

    // Absolute, the names non-empty and without NUL or a separator.
    std::istringstream lines(body);
    std::string folder, name;
    std::getline(lines, folder);
    for (char& c : folder) c = c == '\0' ? '_' : c;
    if (folder.empty() || folder.front() != sep) folder.insert(folder.begin(), sep);
    while (folder.size() > 1 && folder.back() == sep) folder.pop_back();
    std::vector<std::string> paths;
    while (std::getline(lines, name))
        if (!name.empty() && name.find_first_of(std::string("/\\\0", 3) + sep) == name.npos)
            paths.push_back(folder.size() == 1 ? folder + name : folder + sep + name);
    if (paths.empty()) return 0;
    std::string text;
    try {  // refused when no dialog would return it
        text = qm::app::BuildOpenResult(paths, 1 << 20, sep);
    } catch (const qm::NumberedError&) {
        return 0;
    }
    if (qm::app::ParseOpenResult(text, sep) != paths) std::abort();
    return 0;
}
