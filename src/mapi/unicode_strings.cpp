#include "mapi/unicode_strings.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "mapi/codepage.h"
#include "mapi/propnames.h"
#include "mapi/tags.h"

namespace qm::mapi {
namespace {

constexpr uint16_t kBodyId = 0x1000;

bool isString8(uint16_t type) {
    return type == PT_STRING8 || type == PT_MV_STRING8;
}

bool bagHoldsString8(const PropertyBag& bag) {
    for (const Property& p : bag)
        if (isString8(p.type())) return true;
    return false;
}

std::string describe(const Property& p) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "0x%08X", p.tag);
    if (p.named) return "named property " + p.named->str() + " (" + tag + ")";
    const std::string name = propertyName(p.id());
    return name.empty() ? std::string("property ") + tag : name + " (" + tag + ")";
}

std::string within(const std::string& what, const std::string& where) {
    return where.empty() ? what : what + " of " + where;
}

class Decoding {
  public:
    explicit Decoding(std::vector<std::string>& warnings) : warnings_(warnings) {}

    void message(Message& m, int inheritedCodePage, const std::string& where) {
        const int codePage = m.stringCodePage(inheritedCodePage);
        std::optional<int> bodyCodePage;
        if (auto cp = m.props.int32(tag::InternetCodepage); cp && *cp > 0 && *cp != 65001)
            bodyCodePage = *cp;
        bag(m.props, codePage, bodyCodePage, where);
        for (size_t i = 0; i < m.recipients.size(); ++i) {
            bag(m.recipients[i].props, codePage, std::nullopt,
                within("recipient " + std::to_string(i), where));
        }
        for (size_t i = 0; i < m.attachments.size(); ++i) {
            Attachment& a = m.attachments[i];
            const std::string at = within("attachment " + std::to_string(i), where);
            bag(a.props, codePage, std::nullopt, at);
            if (a.embedded) message(*a.embedded, codePage, "the message embedded in " + at);
        }
    }

  private:
    void bag(PropertyBag& props, int codePage, std::optional<int> bodyCodePage,
             const std::string& where) {
        if (!bagHoldsString8(props)) return;
        std::vector<bool> drop;
        drop.reserve(props.size());
        for (Property& p : props) {
            drop.push_back(false);
            if (!isString8(p.type())) continue;
            const bool multi = p.type() == PT_MV_STRING8;
            const uint16_t unicodeType = multi ? PT_MV_UNICODE : PT_UNICODE;
            const bool twin = p.named ? props.findNamed(*p.named, unicodeType) != nullptr
                                      : props.find(makeTag(p.id(), unicodeType)) != nullptr;
            if (twin) {
                drop.back() = true;
                continue;
            }
            const int cp =
                (!p.named && p.id() == kBodyId && bodyCodePage) ? *bodyCodePage : codePage;
            bool invalid = false;
            if (multi) {
                for (Bytes& item : p.items) item = decode(item, cp, invalid);
            } else {
                p.value = decode(p.bytes(), cp, invalid);
                p.stream.reset();
            }
            if (invalid) {
                warnings_.push_back(within(describe(p), where) +
                                    " holds bytes that are not text in code page " +
                                    std::to_string(cp) + "; they read as U+FFFD");
            }
            p.tag = makeTag(p.id(), unicodeType);
        }
        if (std::find(drop.begin(), drop.end(), true) == drop.end()) return;
        PropertyBag kept;
        kept.reserve(props.size());
        size_t i = 0;
        for (Property& p : props)
            if (!drop[i++]) kept.set(std::move(p));
        props = std::move(kept);
    }

    Bytes decode(const Bytes& bytes, int codePage, bool& invalid) {
        CodePageDecoder::Result r = decoder_.decode(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), codePage);
        if (r.unknownCodePage && unknownReported_.insert(codePage).second) {
            warnings_.push_back("code page " + std::to_string(codePage) +
                                " is unknown here; its 8-bit strings were decoded as 1252");
        }
        invalid = invalid || r.invalidBytes;
        return utf16ToLE(r.text);
    }

    CodePageDecoder decoder_;
    std::vector<std::string>& warnings_;
    std::set<int> unknownReported_;
};

}  // namespace

std::vector<std::string> decodeString8(Message& message, int fallbackCodePage) {
    std::vector<std::string> warnings;
    if (!holdsString8(message)) return warnings;
    Decoding(warnings).message(message, fallbackCodePage, "");
    return warnings;
}

bool holdsString8(const Message& message) {
    if (bagHoldsString8(message.props)) return true;
    for (const Recipient& r : message.recipients)
        if (bagHoldsString8(r.props)) return true;
    for (const Attachment& a : message.attachments) {
        if (bagHoldsString8(a.props)) return true;
        if (a.embedded && holdsString8(*a.embedded)) return true;
    }
    return false;
}

}  // namespace qm::mapi
