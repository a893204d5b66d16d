#include "mapi/message.h"

#include "mapi/codepage.h"
#include "mapi/tags.h"

namespace qm::mapi {

Attachment Attachment::clone() const {
    Attachment a;
    a.props = props;
    if (embedded) a.embedded = std::make_unique<Message>(embedded->clone());
    return a;
}

int32_t Attachment::method() const {
    return props.int32(tag::AttachMethod).value_or(ATTACH_NO_ATTACHMENT);
}

Message Message::clone() const {
    Message m;
    m.props = props;
    m.recipients = recipients;
    m.warnings = warnings;
    m.attachments.reserve(attachments.size());
    for (const auto& a : attachments) m.attachments.push_back(a.clone());
    return m;
}

namespace {

constexpr PropTag kTransportHeaders = makeTag(0x007D, PT_UNICODE);
constexpr PropTag kTransportHeaders8 = makeTag(0x007D, PT_STRING8);

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != lower(prefix[i])) return false;
    return true;
}

// The charset parameter of the top-level Content-Type field of RFC 5322
// headers ("" when there is none). Headers are ASCII: 8-bit bytes in them
// only ever fail to match.
std::string contentTypeCharset(std::string_view headers) {
    std::string field;
    bool inContentType = false;
    size_t at = 0;
    while (at < headers.size()) {
        size_t end = headers.find('\n', at);
        if (end == std::string_view::npos) end = headers.size();
        std::string_view line = headers.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;  // the end of the header block
        const bool continuation = line[0] == ' ' || line[0] == '\t';
        if (inContentType && continuation) {
            field += line;
            continue;
        }
        if (inContentType) break;
        if (!continuation && startsWithNoCase(line, "content-type:")) {
            inContentType = true;
            field = line.substr(13);
        }
    }
    // Parameters: ; name=value or ; name="value".
    size_t p = 0;
    while ((p = field.find(';', p)) != std::string::npos) {
        ++p;
        while (p < field.size() && (field[p] == ' ' || field[p] == '\t')) ++p;
        if (!startsWithNoCase(std::string_view(field).substr(p), "charset")) continue;
        size_t q = p + 7;
        while (q < field.size() && (field[q] == ' ' || field[q] == '\t')) ++q;
        if (q >= field.size() || field[q] != '=') continue;
        ++q;
        while (q < field.size() && (field[q] == ' ' || field[q] == '\t')) ++q;
        std::string value;
        if (q < field.size() && field[q] == '"') {
            for (++q; q < field.size() && field[q] != '"'; ++q) value += field[q];
        } else {
            for (; q < field.size() && field[q] != ';' && field[q] != ' ' && field[q] != '\t';
                 ++q) {
                value += field[q];
            }
        }
        return value;
    }
    return {};
}

}  // namespace

std::optional<int> Message::declaredCodePage() const {
    if (auto cp = props.int32(tag::MessageCodepage); cp && *cp > 0) return *cp;
    if (auto lcid = props.int32(tag::MessageLocaleId)) {
        if (auto cp = codePageForLocale(uint32_t(*lcid))) return *cp;
    }
    std::string headers;
    if (const Property* p = props.find(kTransportHeaders)) {
        headers = toUtf8(utf16FromLE(p->bytes()));
    } else if (const Property* p8 = props.find(kTransportHeaders8)) {
        const Bytes b = p8->bytes();
        headers.assign(b.begin(), b.end());
    }
    if (!headers.empty()) {
        if (auto cp = codePageForCharset(contentTypeCharset(headers))) return *cp;
    }
    return std::nullopt;
}

int Message::stringCodePage(int fallback) const {
    return declaredCodePage().value_or(fallback);
}

}  // namespace qm::mapi
