#include "pst/store/property_rules.h"

#include <cstdio>
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
constexpr uint16_t kSubject = 0x0037;
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

std::vector<mapi::Property> storeProperties(const mapi::PropertyBag& bag, ObjectKind kind,
                                            NameToIdMap& names) {
    std::vector<mapi::Property> out;
    out.reserve(bag.size());
    std::unordered_map<mapi::PropTag, size_t> namedAt;  // store tag -> index in `out`
    for (const mapi::Property& p : bag) {
        if (p.type() == mapi::PT_NULL || p.type() == mapi::PT_UNSPECIFIED) continue;
        if (p.id() >= ndb::kFirstNamedPropId) {
            if (!p.named) {
                throw Error("named property " + tagText(p.tag) +
                            " has no name (property set and LID or string), so it cannot be "
                            "given a store id");
            }
            mapi::Property q = p;
            q.tag = mapi::makeTag(names.idFor(*p.named), p.type());
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
        out.push_back(p);
    }
    return out;
}

void encodeSubject(const mapi::PropertyBag& bag, std::vector<mapi::Property>& props) {
    const mapi::Property* prefix = bag.findId(kSubjectPrefix);
    if (!prefix) return;
    for (mapi::Property& s : props) {
        if (s.id() != kSubject || s.stream) continue;
        if (s.type() == mapi::PT_UNICODE && prefix->type() == mapi::PT_UNICODE) {
            const std::u16string subject = mapi::utf16FromLE(s.value);
            const std::u16string pre = mapi::utf16FromLE(prefix->value);
            // The length is one 16-bit unit; a prefix that long is not a prefix.
            if (pre.size() >= 0xFFFF || subject.compare(0, pre.size(), pre) != 0) return;
            if (!subject.empty() && subject[0] == u'\x01') return;  // already marked
            std::u16string marked;
            marked.push_back(u'\x01');
            marked.push_back(char16_t(pre.size() + 1));
            marked += subject;
            s.value = mapi::utf16ToLE(marked);
        } else if (s.type() == mapi::PT_STRING8 && prefix->type() == mapi::PT_STRING8) {
            const Bytes& subject = s.value;
            const Bytes& pre = prefix->value;
            if (pre.size() >= 0xFF || subject.size() < pre.size() ||
                !std::equal(pre.begin(), pre.end(), subject.begin())) {
                return;
            }
            if (!subject.empty() && subject[0] == 0x01) return;
            Bytes marked{0x01, uint8_t(pre.size() + 1)};
            marked.insert(marked.end(), subject.begin(), subject.end());
            s.value = std::move(marked);
        }
        return;
    }
}

uint64_t valueSize(const mapi::Property& p) {
    const uint16_t type = p.type();
    if (const size_t fixed = mapi::fixedSize(type); fixed != 0) {
        if (mapi::isMultiValued(type)) return p.byteSize();
        return fixed;
    }
    return p.byteSize();
}

std::vector<mapi::Property> rowCells(const std::vector<mapi::Property>& props, int codePage,
                                     const std::function<bool(mapi::PropTag)>& keep) {
    std::vector<mapi::Property> cells;
    if (!keep) {
        cells = props;
    } else {
        for (const mapi::Property& p : props) {
            if (keep(p.tag)) cells.push_back(p);
        }
    }
    for (const mapi::Property& p : props) {
        if (p.type() != mapi::PT_STRING8 || p.stream) continue;
        const mapi::PropTag twin = mapi::makeTag(p.id(), mapi::PT_UNICODE);
        if (keep && !keep(twin)) continue;
        if (findTag(props, twin)) continue;
        const std::string_view bytes(reinterpret_cast<const char*>(p.value.data()), p.value.size());
        cells.push_back(mapi::Property::unicode(twin, mapi::decodeCodePage(bytes, codePage)));
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
