// 8-bit strings: decoding PT_STRING8 bytes with a Windows code page, and the
// UTF-16/UTF-8 conversions the program needs. Code-page tables come from
// iconv, not from us.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mapi/bytes.h"

namespace qm::mapi {

// Decodes `bytes` in Windows code page `codePage` (1252, 932, 65001, ...).
// Bytes the code page cannot map become U+FFFD; an unknown code page falls
// back to 1252.
std::u16string decodeCodePage(std::string_view bytes, int codePage);

// The ANSI code page Windows uses for a locale id, or nullopt when unknown.
std::optional<int> codePageForLocale(uint32_t lcid);

std::u16string utf16FromLE(std::span<const uint8_t> bytes);  // odd byte dropped
Bytes utf16ToLE(std::u16string_view s);
std::string toUtf8(std::u16string_view s);      // lone surrogates become U+FFFD
std::u16string fromUtf8(std::string_view s);    // invalid bytes become U+FFFD

}  // namespace qm::mapi
