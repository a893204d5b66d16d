#include "shell/name_order.h"

#include <algorithm>
#include <cstdint>

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

// The next unit of `name` from `i` for comparing: an upper-cased code point,
// or an undecodable byte placed after every code point.
char32_t NextUnit(const std::string& name, size_t& i) {
    char32_t cp;
    if (const size_t n = Decode(name, i, cp); n != 0) {
        i += n;
        return Upper(cp);
    }
    return kRawByteBase + static_cast<unsigned char>(name[i++]);
}

}  // namespace

bool NameOrderLess(const std::string& a, const std::string& b) {
    // Decoded as compared, so sorting a large folder needs no copy of it.
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const char32_t x = NextUnit(a, i), y = NextUnit(b, j);
        if (x != y) return x < y;
    }
    if (i < a.size() || j < b.size()) return j < b.size();
    return a < b;
}

void SortByName(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), NameOrderLess);
}

}  // namespace qm::shell
