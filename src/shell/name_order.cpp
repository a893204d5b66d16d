#include "shell/name_order.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

namespace qm::shell {
namespace {

// Undecodable bytes sort after every code point (U+10FFFF is the last).
constexpr char32_t kRawByteBase = 0x110000;

char32_t Upper(char32_t c) {
    if (c >= U'a' && c <= U'z') return c - 0x20;
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : c - 0x20;  // U+00F7 is the division sign
    if (c == 0xFF) return 0x178;
    if (c <= 0x17F) {
        // Latin Extended-A pairs letters upper then lower; where the pairing
        // starts on an odd code point the lower one is even.
        if (c == 0x131) return U'I';
        if (c == 0x17F) return U'S';
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x138 || c == 0x149) return c;  // no upper case
        if (oddUpper) return (c % 2 == 0) ? c - 1 : c;
        return (c % 2 == 1) ? c - 1 : c;
    }
    if (c == 0x3C2) return 0x3A3;  // final sigma
    if (c >= 0x3B1 && c <= 0x3CB) return c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

// The code point starting at s[i] and its length, or 0 for a byte that does
// not start a valid, shortest-form UTF-8 sequence.
size_t Decode(const std::string& s, size_t i, char32_t& out) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = b(i);
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    size_t len;
    char32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    const char32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    out = cp;
    return len;
}

std::u32string Key(const std::string& name) {
    std::u32string key;
    key.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        char32_t cp;
        if (const size_t n = Decode(name, i, cp); n != 0) {
            key.push_back(Upper(cp));
            i += n;
        } else {
            key.push_back(kRawByteBase + static_cast<unsigned char>(name[i]));
            ++i;
        }
    }
    return key;
}

}  // namespace

bool NameOrderLess(const std::string& a, const std::string& b) {
    const std::u32string ka = Key(a), kb = Key(b);
    if (ka != kb) return ka < kb;
    return a < b;
}

void SortByName(std::vector<std::string>& names) {
    std::vector<std::u32string> keys;
    keys.reserve(names.size());
    for (const std::string& n : names) keys.push_back(Key(n));
    std::vector<size_t> order(names.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        if (keys[x] != keys[y]) return keys[x] < keys[y];
        return names[x] < names[y];
    });
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    for (size_t i : order) sorted.push_back(std::move(names[i]));
    names.swap(sorted);
}

}  // namespace qm::shell
