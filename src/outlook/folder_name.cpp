#include "outlook/folder_name.h"

#include "mapi/codepage.h"

namespace qm::outlook {

char32_t FoldCase(char32_t c) {
    if (c >= U'A' && c <= U'Z') return c + 0x20;
    if (c < 0x80) return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 0x20;                         // Latin-1, not the multiplication sign
    if (c >= 0x100 && c <= 0x137) return c | 1;  // pairs: even upper, odd lower
    if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;  // pairs: odd upper, even lower
    if (c >= 0x14A && c <= 0x177) return c | 1;
    if (c == 0x178) return 0xFF;
    if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;  // Greek capitals
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;                // Cyrillic basic
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;                // Cyrillic extensions
    if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;              // fullwidth Latin
    return c;
}

bool FolderNamesEqual(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const std::u16string wa = mapi::fromUtf8(a);
    const std::u16string wb = mapi::fromUtf8(b);
    if (wa.size() != wb.size()) return false;
    for (size_t i = 0; i < wa.size(); ++i) {
        if (FoldCase(wa[i]) != FoldCase(wb[i])) return false;
    }
    return true;
}

}  // namespace qm::outlook
