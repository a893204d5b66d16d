#include "convert/export_names.h"

#include <array>
#include <vector>

#include "mapi/codepage.h"

namespace qm::convert {

namespace {

// One character as UTF-16 units (a surrogate pair or a single unit).
using Char = std::u16string;

std::vector<Char> characters(std::string_view utf8) {
    const std::u16string s = mapi::fromUtf8(utf8);
    std::vector<Char> out;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool pair = s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() &&
                          s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
        out.push_back(s.substr(i, pair ? 2 : 1));
        if (pair) ++i;
    }
    return out;
}

bool isSpace(const Char& c) {
    return c == u" ";
}

// Forbidden by Windows in any name; '/' also by every POSIX system.
bool isReserved(char16_t c) {
    return std::u16string_view(u"/\\:*?\"<>|").find(c) != std::u16string_view::npos;
}

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

void trimEnd(std::vector<Char>& chars) {
    while (!chars.empty() && (isSpace(chars.back()) || chars.back() == u".")) chars.pop_back();
}

std::string upperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    }
    return out;
}

// Windows opens a device, not a file, for these names, with any extension.
bool isDeviceName(const std::string& name) {
    std::string stem = upperAscii(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
    for (auto d : kPlain) {
        if (stem == d) return true;
    }
    return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

std::string join(const std::vector<Char>& chars) {
    std::u16string s;
    for (const Char& c : chars) s += c;
    return mapi::toUtf8(s);
}

// Cuts whole characters off the end until both limits hold.
void cut(std::vector<Char>& chars, size_t maxChars, size_t maxBytes) {
    if (chars.size() > maxChars) chars.resize(maxChars);
    size_t bytes = join(chars).size();
    while (!chars.empty() && bytes > maxBytes) {
        bytes -= mapi::toUtf8(chars.back()).size();
        chars.pop_back();
    }
}

}  // namespace

std::string safeName(std::string_view text, std::string_view fallback, size_t maxChars,
                     size_t maxBytes) {
    std::vector<Char> chars;
    for (Char c : characters(text)) {
        if (c.size() == 1 && isControl(c[0])) c = u" ";
        if (c.size() == 1 && isReserved(c[0])) c = u"_";
        if (isSpace(c) && (chars.empty() || isSpace(chars.back()))) continue;
        chars.push_back(std::move(c));
    }
    while (!chars.empty() && (isSpace(chars.front()) || chars.front() == u".")) {
        chars.erase(chars.begin());
    }
    trimEnd(chars);
    std::string name = join(chars);
    if (!name.empty() && isDeviceName(name)) chars.insert(chars.begin(), u"_");
    cut(chars, maxChars, maxBytes);
    trimEnd(chars);
    name = join(chars);
    return name.empty() ? std::string(fallback) : name;
}

std::string candidateName(const std::string& stem, std::string_view extension, unsigned n) {
    const std::string suffix =
        (n <= 1 ? "" : " (" + std::to_string(n) + ")") + std::string(extension);
    std::vector<Char> chars = characters(stem);
    const size_t reserved = suffix.size();  // ASCII: characters and bytes alike
    cut(chars, kMaxNameChars - reserved, kMaxNameBytes - reserved);
    trimEnd(chars);
    return join(chars) + suffix;
}

std::string clashKey(std::string_view name) {
    return upperAscii(name);
}

}  // namespace qm::convert
