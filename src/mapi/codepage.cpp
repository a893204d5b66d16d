#include "mapi/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace qm::mapi {
namespace {

std::string iconvName(int cp) {
    switch (cp) {
        case 65001:
            return "UTF-8";
        case 65000:
            return "UTF-7";
        case 1200:
            return "UTF-16LE";
        case 1201:
            return "UTF-16BE";
        case 20127:
            return "ASCII";
        case 20866:
            return "KOI8-R";
        case 21866:
            return "KOI8-U";
        case 20932:
        case 51932:
            return "EUC-JP";
        case 50220:
        case 50221:
        case 50222:
            return "ISO-2022-JP";
        case 50225:
            return "ISO-2022-KR";
        case 51936:
            return "GB2312";
        case 51949:
            return "EUC-KR";
        case 52936:
            return "HZ-GB-2312";
        case 54936:
            return "GB18030";
        case 10000:
            return "MACINTOSH";
        default:
            break;
    }
    if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
    return "CP" + std::to_string(cp);
}

constexpr int kDefaultCodePage = 1252;
const iconv_t kNoConverter = iconv_t(-1);

// Appends the UTF-16 of `in` to `out`; false when iconv fails for a reason
// other than the input (the caller then falls back). Each byte iconv rejects
// becomes one U+FFFD and sets `invalid`.
bool convert(iconv_t cd, std::string_view in, std::u16string& out, bool& invalid) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string buf(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    while (true) {
        char* dst = buf.data();
        size_t dstLeft = buf.size();
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        // Taken before anything else runs: growing `out` may allocate, and an
        // allocator may leave errno changed.
        const int err = errno;
        size_t produced = buf.size() - dstLeft;
        for (size_t i = 0; i + 1 < produced; i += 2)
            out.push_back(char16_t(uint8_t(buf[i]) | (uint8_t(buf[i + 1]) << 8)));
        if (r != size_t(-1)) break;
        if (err == E2BIG) continue;
        if (err == EILSEQ || err == EINVAL) {
            out.push_back(u'\uFFFD');
            invalid = true;
            if (srcLeft == 0) break;
            ++src;
            --srcLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (srcLeft == 0) break;
            continue;
        }
        return false;
    }
    return true;
}

std::u16string fromUtf8Checked(std::string_view s, bool& invalid);

std::u16string latin1(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (unsigned char ch : bytes) out.push_back(char16_t(ch));
    return out;
}

}  // namespace

CodePageDecoder::~CodePageDecoder() {
    for (auto& [cp, cd] : open_)
        if (iconv_t(cd) != kNoConverter) iconv_close(iconv_t(cd));
}

void* CodePageDecoder::converter(int codePage) {
    for (auto& [cp, cd] : open_)
        if (cp == codePage) return cd;
    iconv_t cd = iconv_open("UTF-16LE", iconvName(codePage).c_str());
    open_.emplace_back(codePage, cd);
    return cd;
}

CodePageDecoder::Result CodePageDecoder::decode(std::string_view bytes, int codePage) {
    Result r;
    if (codePage == 65001) {
        r.text = fromUtf8Checked(bytes, r.invalidBytes);
        return r;
    }
    iconv_t cd = iconv_t(converter(codePage));
    if (cd != kNoConverter && convert(cd, bytes, r.text, r.invalidBytes)) return r;
    r.unknownCodePage = cd == kNoConverter;
    r.text.clear();
    r.invalidBytes = false;
    cd = codePage == kDefaultCodePage ? kNoConverter : iconv_t(converter(kDefaultCodePage));
    if (cd == kNoConverter || !convert(cd, bytes, r.text, r.invalidBytes)) {
        r.text = latin1(bytes);
        r.invalidBytes = false;
    }
    return r;
}

std::u16string decodeCodePage(std::string_view bytes, int codePage) {
    CodePageDecoder decoder;
    return decoder.decode(bytes, codePage).text;
}

std::optional<int> codePageForLocale(uint32_t lcid) {
    uint32_t lang = lcid & 0x3FF;
    switch (lang) {
        case 0x05:
        case 0x0E:
        case 0x15:
        case 0x18:
        case 0x1B:
        case 0x1C:
        case 0x24:
            return 1250;
        case 0x1A:  // Croatian/Bosnian Latin use 1250, the Cyrillic sublanguages 1251
            return (lcid == 0x0C1A || lcid == 0x1C1A || lcid == 0x201A) ? 1251 : 1250;
        case 0x02:
        case 0x19:
        case 0x22:
        case 0x23:
        case 0x2F:
        case 0x3F:
        case 0x40:
        case 0x44:
        case 0x50:
            return 1251;
        case 0x08:
            return 1253;
        case 0x1F:
        case 0x2C:
        case 0x43:
            return 1254;
        case 0x0D:
            return 1255;
        case 0x01:
        case 0x20:
        case 0x29:
            return 1256;
        case 0x25:
        case 0x26:
        case 0x27:
            return 1257;
        case 0x2A:
            return 1258;
        case 0x1E:
            return 874;
        case 0x11:
            return 932;
        case 0x12:
            return 949;
        case 0x04:
            return (lcid == 0x0804 || lcid == 0x1004) ? 936 : 950;
        case 0x03:
        case 0x06:
        case 0x07:
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0F:
        case 0x10:
        case 0x13:
        case 0x14:
        case 0x16:
        case 0x1D:
        case 0x2D:
        case 0x36:
        case 0x38:
        case 0x3E:
        case 0x41:
        case 0x56:
        case 0x62:
        case 0x6E:
            return 1252;
        default:
            return std::nullopt;
    }
}

std::optional<int> codePageForCharset(std::string_view charset) {
    std::string name;
    for (char c : charset) name += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    struct Alias {
        const char* name;
        int codePage;
    };
    // The names mail software writes in Content-Type, with the code page
    // Windows decodes each with ([MS-OXCMAIL] leaves the list to the client).
    static constexpr Alias kAliases[] = {
        {"utf-8", 65001},       {"utf8", 65001},         {"utf-7", 65000},
        {"us-ascii", 20127},    {"ascii", 20127},        {"koi8-r", 20866},
        {"koi8-u", 21866},      {"shift_jis", 932},      {"shift-jis", 932},
        {"sjis", 932},          {"x-sjis", 932},         {"ms932", 932},
        {"iso-2022-jp", 50220}, {"euc-jp", 51932},       {"gb2312", 936},
        {"gbk", 936},           {"x-gbk", 936},          {"gb18030", 54936},
        {"hz-gb-2312", 52936},  {"big5", 950},           {"big5-hkscs", 950},
        {"euc-kr", 949},        {"ks_c_5601-1987", 949}, {"iso-2022-kr", 50225},
        {"tis-620", 874},       {"macintosh", 10000},    {"utf-16", 1200},
        {"utf-16le", 1200},     {"utf-16be", 1201},
    };
    for (const Alias& a : kAliases)
        if (name == a.name) return a.codePage;
    auto numberAfter = [&name](std::string_view prefix) -> std::optional<int> {
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            return std::nullopt;
        int n = 0;
        for (size_t i = prefix.size(); i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9' || n > 100000) return std::nullopt;
            n = n * 10 + (name[i] - '0');
        }
        return n;
    };
    if (auto n = numberAfter("iso-8859-"); n && *n >= 1 && *n <= 16) return 28590 + *n;
    if (auto n = numberAfter("iso8859-"); n && *n >= 1 && *n <= 16) return 28590 + *n;
    for (std::string_view p : {"windows-", "cp", "x-cp"}) {
        if (auto n = numberAfter(p); n && *n >= 1250 && *n <= 1258) return *n;
        if (auto n = numberAfter(p);
            n && (*n == 874 || *n == 932 || *n == 936 || *n == 949 || *n == 950)) {
            return *n;
        }
    }
    return std::nullopt;
}

std::u16string utf16FromLE(std::span<const uint8_t> b) {
    std::u16string s;
    s.reserve(b.size() / 2);
    for (size_t i = 0; i + 1 < b.size(); i += 2) s.push_back(char16_t(b[i] | (b[i + 1] << 8)));
    return s;
}

Bytes utf16ToLE(std::u16string_view s) {
    Bytes b;
    b.reserve(s.size() * 2);
    for (char16_t c : s) {
        b.push_back(uint8_t(c));
        b.push_back(uint8_t(c >> 8));
    }
    return b;
}

std::string toUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string fromUtf8(std::string_view s) {
    bool invalid = false;
    return fromUtf8Checked(s, invalid);
}

namespace {

std::u16string fromUtf8Checked(std::string_view s, bool& invalid) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = uint8_t(s[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            out.push_back(u'\uFFFD');
            invalid = true;
            ++i;
            continue;
        }
        if (i + len > s.size()) {
            out.push_back(u'\uFFFD');
            invalid = true;
            ++i;
            continue;
        }
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            unsigned char cc = uint8_t(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        bool overlong =
            (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        if (!ok || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            invalid = true;
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += len;
    }
    return out;
}

}  // namespace

}  // namespace qm::mapi
