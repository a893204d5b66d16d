#include "msg/msg_format.h"

namespace qm::msg::layout {

std::u16string hex8(uint32_t v) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string s(8, u'0');
    for (int i = 7; i >= 0; --i, v >>= 4) s[size_t(i)] = digits[v & 0xF];
    return s;
}

std::u16string substgName(uint32_t tag) {
    return std::u16string(kSubstgPrefix) + hex8(tag);
}

std::u16string substgName(uint32_t tag, uint32_t index) {
    return substgName(tag) + u"-" + hex8(index);
}

std::u16string numberedName(std::u16string_view prefix, uint32_t index) {
    return std::u16string(prefix) + hex8(index);
}

}  // namespace qm::msg::layout
