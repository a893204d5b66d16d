// 8-bit strings: decoding PT_STRING8 bytes with a Windows code page, and the
// UTF-16/UTF-8 conversions the program needs. Code-page tables come from
// iconv, not from us; we only map Windows code-page numbers, locale ids and
// MIME charset names to them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/bytes.h"

namespace qm::mapi {

// Decodes with iconv and keeps the converters it opens until it is
// destroyed: opening one costs about as much as decoding a short string, and
// a message decodes dozens of strings in one or two code pages. Owned by
// whoever decodes (one message at a time); not for use from two threads.
class CodePageDecoder {
  public:
    CodePageDecoder() = default;
    ~CodePageDecoder();
    CodePageDecoder(const CodePageDecoder&) = delete;
    CodePageDecoder& operator=(const CodePageDecoder&) = delete;

    struct Result {
        std::u16string text;
        bool invalidBytes = false;     // some bytes did not map and became U+FFFD
        bool unknownCodePage = false;  // no converter for it: decoded as 1252
    };
    Result decode(std::string_view bytes, int codePage);

  private:
    void* converter(int codePage);  // an iconv_t, or (void*)-1 when there is none

    std::vector<std::pair<int, void*>> open_;
};

// Decodes `bytes` in Windows code page `codePage` (1252, 932, 65001, ...).
// Bytes the code page cannot map become U+FFFD; an unknown code page falls
// back to 1252. Opens its converter per call: for a few strings at a time.
std::u16string decodeCodePage(std::string_view bytes, int codePage);

// The ANSI code page Windows uses for a locale id, or nullopt when unknown.
std::optional<int> codePageForLocale(uint32_t lcid);

// The Windows code page of a MIME charset name ("utf-8", "windows-1251",
// "iso-8859-2", "Shift_JIS", case-insensitive), or nullopt when unknown.
std::optional<int> codePageForCharset(std::string_view charset);

std::u16string utf16FromLE(std::span<const uint8_t> bytes);  // odd byte dropped
Bytes utf16ToLE(std::u16string_view s);
std::string toUtf8(std::u16string_view s);    // lone surrogates become U+FFFD
std::u16string fromUtf8(std::string_view s);  // invalid bytes become U+FFFD

}  // namespace qm::mapi
