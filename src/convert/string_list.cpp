// Quicksort with a middle pivot copied out of the list, both scans stopping on
// equal elements. Only the smaller side is sorted by a recursive call; the
// larger side is handled by the loop, which keeps the depth logarithmic. The
// sides are disjoint, so the order of sorting them does not change the result.
#include "convert/string_list.h"

#include <utility>

#include "mapi/error.h"

namespace qm::convert {
namespace {

// Decodes one code point starting at s[i]; advances i. Invalid bytes decode as
// themselves in the range U+DC80..U+DCFF, which keeps the order total.
char32_t nextCodePoint(const std::string& s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    auto cont = [&](size_t k) -> int {
        if (i + k >= s.size()) return -1;
        const auto b = static_cast<unsigned char>(s[i + k]);
        return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
    };
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    if (b0 >= 0xC2 && b0 < 0xE0 && cont(1) >= 0) {
        char32_t cp = (char32_t(b0 & 0x1F) << 6) | char32_t(cont(1));
        i += 2;
        return cp;
    }
    if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) >= 0 && cont(2) >= 0) {
        char32_t cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(cont(1)) << 6) | char32_t(cont(2));
        if (cp >= 0x800) {
            i += 3;
            return cp;
        }
    }
    if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) >= 0 && cont(2) >= 0 && cont(3) >= 0) {
        char32_t cp = (char32_t(b0 & 0x07) << 18) | (char32_t(cont(1)) << 12) |
                      (char32_t(cont(2)) << 6) | char32_t(cont(3));
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            i += 4;
            return cp;
        }
    }
    i += 1;
    return 0xDC00 + b0;
}

// The first UTF-16 code unit of a code point decides the order of two
// different code points: supplementary characters (high surrogates
// D800..DBFF) sort between U+D7FF and U+E000.
uint32_t utf16OrderKey(char32_t cp) {
    if (cp < 0xD800) return cp;
    if (cp < 0x10000) return cp + 0x110000;  // D800..FFFF above every surrogate pair
    return 0xD800 + (cp - 0x10000);          // keeps supplementary order among themselves
}

const std::string& at(const StringList& list, int64_t index) {
    if (index < 0 || static_cast<uint64_t>(index) >= list.size()) {
        throw NumberedError(kErrSubscript, "Subscript out of range: index " +
                                               std::to_string(index) + " of a list of " +
                                               std::to_string(list.size()));
    }
    return list[static_cast<size_t>(index)];
}

std::string& at(StringList& list, int64_t index) {
    return const_cast<std::string&>(at(static_cast<const StringList&>(list), index));
}

// (lo + hi) / 2, rounded to nearest with ties to even: 1 -> 0, 3 -> 2, 5 -> 2,
// -1 -> 0.
int64_t middleIndex(int64_t lo, int64_t hi) {
    const int64_t s = lo + hi;
    int64_t half = s >= 0 ? s / 2 : -((-s + 1) / 2);  // floor(s / 2)
    if (s % 2 != 0 && half % 2 != 0) ++half;          // a tie goes to the even neighbour
    return half;
}

}  // namespace

bool BinaryLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        // Equal bytes start equal code points in valid UTF-8; decode only
        // where they differ.
        if (a[i] == b[j]) {
            ++i;
            ++j;
            continue;
        }
        // Back up to the start of the code point that holds the difference.
        auto isCont = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
        while (i > 0 && (isCont(a[i]) || isCont(b[j])) &&
               (static_cast<unsigned char>(a[i - 1]) & 0x80) != 0) {
            --i;
            --j;
        }
        return utf16OrderKey(nextCodePoint(a, i)) < utf16OrderKey(nextCodePoint(b, j));
    }
    return a.size() - i < b.size() - j;
}

void SortStringRange(StringList& list, int64_t lo, int64_t hi) {
    for (;;) {
        const std::string pivot = at(list, middleIndex(lo, hi));
        int64_t i = lo;
        int64_t j = hi;
        for (;;) {
            while (BinaryLess(at(list, i), pivot) && i < hi) ++i;
            while (BinaryLess(pivot, at(list, j)) && j > lo) --j;
            if (i > j) break;
            std::swap(at(list, i), at(list, j));
            ++i;
            --j;
            if (i > j) break;
        }
        const bool left = lo < j;
        const bool right = i < hi;
        if (left && right) {
            if (j - lo < hi - i) {
                SortStringRange(list, lo, j);
                lo = i;
            } else {
                SortStringRange(list, i, hi);
                hi = j;
            }
        } else if (left) {
            hi = j;
        } else if (right) {
            lo = i;
        } else {
            return;
        }
    }
}

void RemoveDuplicateStrings(StringList& list) {
    const int64_t n = static_cast<int64_t>(list.size()) - 1;
    int64_t d = 1;
    for (int64_t i = 0; i <= n;) {
        if (i + d > n) break;
        if (list[size_t(i)].empty()) {
            ++i;
            continue;
        }
        if (list[size_t(i + d)] == list[size_t(i)]) {
            list[size_t(i + d)].clear();
            ++d;
            continue;
        }
        d = 1;
        ++i;
    }
    size_t k = 0;
    for (auto& s : list) {
        if (!s.empty()) {
            if (&list[k] != &s) list[k] = std::move(s);
            ++k;
        }
    }
    list.resize(k);
}

}  // namespace qm::convert
