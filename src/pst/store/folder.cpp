#include "pst/store/folder.h"

#include "mapi/codepage.h"
#include "mapi/tags.h"

namespace qm::pst::store {
namespace {

constexpr mapi::PropTag kPstHiddenCount = mapi::makeTag(0x6635, mapi::PT_LONG);
constexpr mapi::PropTag kPstHiddenUnread = mapi::makeTag(0x6636, mapi::PT_LONG);

char16_t foldOne(char16_t c) {
    auto in = [c](char16_t lo, char16_t hi) { return c >= lo && c <= hi; };
    auto evenUpper = [c] { return char16_t((c % 2 == 0) ? c + 1 : c); };
    auto oddUpper = [c] { return char16_t((c % 2 == 1) ? c + 1 : c); };
    if (in(u'A', u'Z')) return char16_t(c + 0x20);
    if (c < 0xC0) return c;
    if (in(0x00C0, 0x00DE) && c != 0x00D7) return char16_t(c + 0x20);
    if (in(0x0100, 0x0137) || in(0x014A, 0x0177)) return evenUpper();
    if (in(0x0139, 0x0148) || in(0x0179, 0x017E)) return oddUpper();
    if (c == 0x0178) return 0x00FF;
    if (in(0x0391, 0x03A9) && c != 0x03A2) return char16_t(c + 0x20);
    if (c == 0x0386) return 0x03AC;
    if (in(0x0388, 0x038A)) return char16_t(c + 0x25);
    if (c == 0x038C) return 0x03CC;
    if (in(0x038E, 0x038F)) return char16_t(c + 0x3F);
    if (in(0x0400, 0x040F)) return char16_t(c + 0x50);
    if (in(0x0410, 0x042F)) return char16_t(c + 0x20);
    if (in(0x0460, 0x0481) || in(0x048A, 0x04BF) || in(0x04D0, 0x04FF)) return evenUpper();
    if (in(0x0531, 0x0556)) return char16_t(c + 0x30);
    if (in(0xFF21, 0xFF3A)) return char16_t(c + 0x20);
    return c;
}

}  // namespace

std::u16string foldCase(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out) c = foldOne(c);
    return out;
}

std::vector<mapi::Property> Folder::pcProperties() const {
    std::vector<mapi::Property> props;
    props.push_back(mapi::Property::unicode(mapi::tag::DisplayName, name));
    for (const auto& p : extraProps) props.push_back(p);
    props.push_back(mapi::Property::int32(mapi::tag::ContentCount, contentCount));
    props.push_back(mapi::Property::int32(mapi::tag::ContentUnreadCount, unreadCount));
    props.push_back(mapi::Property::boolean(mapi::tag::Subfolders, hasSubfolders()));
    if (!containerClass.empty()) {
        props.push_back(mapi::Property::unicode(mapi::tag::ContainerClass, containerClass));
    }
    if (writeHiddenCounts) {
        props.push_back(mapi::Property::int32(kPstHiddenCount, 0));
        props.push_back(mapi::Property::int32(kPstHiddenUnread, 0));
    }
    return props;
}

std::vector<mapi::Property> Folder::hierarchyCells() const {
    std::vector<mapi::Property> cells;
    cells.push_back(mapi::Property::unicode(mapi::tag::DisplayName, name));
    cells.push_back(mapi::Property::int32(mapi::tag::ContentCount, contentCount));
    cells.push_back(mapi::Property::int32(mapi::tag::ContentUnreadCount, unreadCount));
    cells.push_back(mapi::Property::boolean(mapi::tag::Subfolders, hasSubfolders()));
    if (!containerClass.empty()) {
        cells.push_back(mapi::Property::unicode(mapi::tag::ContainerClass, containerClass));
    }
    if (writeHiddenCounts) {
        cells.push_back(mapi::Property::int32(kPstHiddenCount, 0));
        cells.push_back(mapi::Property::int32(kPstHiddenUnread, 0));
    }
    cells.push_back(mapi::Property::int32(ndb::kPidTagLtpRowVer, int32_t(rowVersion)));
    return cells;
}

}  // namespace qm::pst::store
