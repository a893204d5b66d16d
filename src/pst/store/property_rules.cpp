#include "pst/store/property_rules.h"

#include <cstdio>
#include <optional>
#include <string>
#include <unordered_map>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/ndb/format.h"

namespace qm::pst::store {
namespace {

// Property ids ([MS-OXPROPS]) the PST format owns on every object.
constexpr uint16_t kEntryId = 0x0FFF;
constexpr uint16_t kParentEntryId = 0x0E09;
constexpr uint16_t kStoreEntryId = 0x0FFB;
constexpr uint16_t kStoreRecordKey = 0x0FFA;
constexpr uint16_t kRecordKey = 0x0FF9;
constexpr uint16_t kObjectType = 0x0FFE;
constexpr uint16_t kInstanceKey = 0x0FF6;
constexpr uint16_t kAccess = 0x0FF4;
constexpr uint16_t kAccessLevel = 0x0FF7;
constexpr uint16_t kMappingSignature = 0x0FF8;
constexpr uint16_t kStoreSupportMask = 0x340D;
constexpr uint16_t kStoreState = 0x340E;
constexpr uint16_t kMessageSize = 0x0E08;
constexpr uint16_t kHasAttachments = 0x0E1B;
constexpr uint16_t kNormalizedSubject = 0x0E1D;
constexpr uint16_t kSubjectPrefix = 0x003D;
constexpr uint16_t kMessageRecipients = 0x0E12;
constexpr uint16_t kMessageAttachments = 0x0E13;
constexpr uint16_t kAttachSize = 0x0E20;
constexpr uint16_t kAttachNumber = 0x0E21;
constexpr uint16_t kRowid = 0x3000;
constexpr uint16_t kLtpRowId = 0x67F2;
constexpr uint16_t kLtpRowVer = 0x67F3;
constexpr uint16_t kLtpParentNid = 0x67F1;

std::string tagText(mapi::PropTag tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

}  // namespace

bool isStoreOwned(mapi::PropTag tag, ObjectKind kind) {
    const uint16_t id = mapi::propId(tag);
    switch (id) {
        // Calculated on reading ([MS-PST] 2.5), or the table's own columns.
        case kParentEntryId:
        case kStoreEntryId:
        case kStoreRecordKey:
        case kInstanceKey:
        case kAccess:
        case kAccessLevel:
        case kMappingSignature:
        case kStoreSupportMask:
        case kStoreState:
        case kMessageRecipients:
        case kMessageAttachments:
        case kLtpRowId:
        case kLtpRowVer:
        case kLtpParentNid:
        case kRowid:
            return true;
        // A recipient's entry id, record key and object type are data of the
        // recipient row (they name the address-book entry), not of the store.
        case kEntryId:
        case kRecordKey:
        case kObjectType:
            return kind != ObjectKind::Recipient;
        case kMessageSize:
        case kHasAttachments:
        case kNormalizedSubject:
        case kSubjectPrefix:
            return kind == ObjectKind::Message;
        case kAttachSize:
        case kAttachNumber:
            return kind == ObjectKind::Attachment;
        default:
            return false;
    }
}

std::vector<mapi::Property> storeProperties(mapi::PropertyBag& bag, ObjectKind kind,
                                            NameToIdMap& names) {
    std::vector<mapi::Property> out;
    out.reserve(bag.size());
    std::unordered_map<mapi::PropTag, size_t> namedAt;  // store tag -> index in `out`
    for (mapi::Property& p : bag) {
        if (p.type() == mapi::PT_NULL || p.type() == mapi::PT_UNSPECIFIED) continue;
        if (p.id() >= ndb::kFirstNamedPropId) {
            if (!p.named) {
                throw Error("named property " + tagText(p.tag) +
                            " has no name (property set and LID or string), so it cannot be "
                            "given a store id");
            }
            mapi::Property q = std::move(p);
            q.tag = mapi::makeTag(names.idFor(*q.named), q.type());
            // Two input properties with different local ids may name the same
            // key: the last one wins, as in a property bag.
            if (auto it = namedAt.find(q.tag); it != namedAt.end()) {
                out[it->second] = std::move(q);
            } else {
                namedAt.emplace(q.tag, out.size());
                out.push_back(std::move(q));
            }
            continue;
        }
        if (isStoreOwned(p.tag, kind)) continue;
        out.push_back(std::move(p));
    }
    return out;
}

std::u16string derivedSubjectPrefix(std::u16string_view subject) {
    // Only ASCII letters among the ASCII characters: digits, blanks and
    // punctuation end the search. Letters of other scripts count ("ОТВ: ").
    auto prefixChar = [](char16_t c) {
        if (c < 0x80) return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
        return c != u'\u00A0' && c != u'\u3000' && c != u'\uFF1A';  // blanks, full-width colon
    };
    constexpr size_t kMaxPrefixChars = 3;
    for (size_t n = 1; n <= kMaxPrefixChars && n < subject.size(); ++n) {
        if (!prefixChar(subject[n - 1])) return {};
        if (subject[n] == u':') {
            if (n + 1 < subject.size() && subject[n + 1] == u' ')
                return std::u16string(subject.substr(0, n + 2));
            return {};
        }
    }
    return {};
}

void encodeSubject(const mapi::PropertyBag& bag, std::vector<mapi::Property>& props) {
    mapi::Property* s = nullptr;
    for (mapi::Property& p : props)
        if (p.tag == mapi::tag::Subject && !p.stream) s = &p;
    if (!s || s->value.empty()) return;
    const std::u16string subject = mapi::utf16FromLE(s->value);
    if (subject.empty() || subject[0] == u'\x01') return;  // nothing to split, or marked

    auto given = [&bag](uint16_t id) -> std::optional<std::u16string> {
        const mapi::Property* p = bag.find(mapi::makeTag(id, mapi::PT_UNICODE));
        if (!p || p->stream) return std::nullopt;
        return mapi::utf16FromLE(p->value);
    };
    std::u16string prefix;
    const auto pre = given(kSubjectPrefix);
    const auto normalized = given(kNormalizedSubject);
    if (pre && subject.compare(0, pre->size(), *pre) == 0) {
        prefix = *pre;
    } else if (normalized && normalized->size() <= subject.size() &&
               subject.compare(subject.size() - normalized->size(), normalized->size(),
                               *normalized) == 0) {
        prefix = subject.substr(0, subject.size() - normalized->size());
    } else {
        prefix = derivedSubjectPrefix(subject);
    }
    // The length is one 16-bit unit: a longer "prefix" cannot be marked.
    if (prefix.size() + 1 >= 0xFFFF) prefix.clear();
    std::u16string marked;
    marked.reserve(subject.size() + 2);
    marked.push_back(u'\x01');
    marked.push_back(char16_t(prefix.size() + 1));
    marked += subject;
    s->value = mapi::utf16ToLE(marked);
}

uint64_t valueSize(const mapi::Property& p) {
    const uint16_t type = p.type();
    if (const size_t fixed = mapi::fixedSize(type); fixed != 0) {
        if (mapi::isMultiValued(type)) return p.byteSize();
        return fixed;
    }
    return p.byteSize();
}

std::vector<mapi::Property> rowCells(const std::vector<mapi::Property>& props,
                                     const std::function<bool(mapi::PropTag)>& keep) {
    if (!keep) return props;
    std::vector<mapi::Property> cells;
    for (const mapi::Property& p : props) {
        if (keep(p.tag)) cells.push_back(p);
    }
    return cells;
}

const mapi::Property* findTag(const std::vector<mapi::Property>& props, mapi::PropTag tag) {
    for (const auto& p : props) {
        if (p.tag == tag) return &p;
    }
    return nullptr;
}

void setTag(std::vector<mapi::Property>& props, mapi::Property p) {
    for (auto& q : props) {
        if (q.tag == p.tag) {
            q = std::move(p);
            return;
        }
    }
    props.push_back(std::move(p));
}

}  // namespace qm::pst::store
