// Comparing a message we wrote with the one our reader reads back (the
// store tests and tests/robust): the properties the store owns or adds are
// left out on both sides, the source's 8-bit strings are decoded, and the
// subject's prefix marker is undone.
#pragma once

#include <set>

#include "mapi/message.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "pst/read/node_database.h"

namespace qm::pst::storetest {

// Property ids the store owns ([MS-PST] 2.5 and docs/pst-format.md): never
// copied from the source, so left out of the comparison on both sides (the
// list is written here, apart from the store's own, so a change there shows).
inline const std::set<uint16_t> kOwnedEverywhere = {0x0E09, 0x0FFB, 0x0FFA, 0x0FF6, 0x0FF4,
                                                    0x0FF7, 0x0FF8, 0x340D, 0x340E, 0x3000,
                                                    0x67F1, 0x67F2, 0x67F3};
inline const std::set<uint16_t> kOwnedByMessages = {0x0FFF, 0x0FF9, 0x0FFE, 0x0E08,
                                                    0x0E1B, 0x0E1D, 0x003D};
inline const std::set<uint16_t> kOwnedByAttachments = {0x0FFF, 0x0FF9, 0x0FFE, 0x0E20, 0x0E21};
// Added by the store only when the source lacks them.
inline const std::set<uint16_t> kDefaultsOfMessages = {0x300B, 0x3007, 0x3008, 0x001A, 0x0E07};
inline const std::set<uint16_t> kDefaultsOfAttachments = {0x3705, 0x370B};

inline void eraseIds(mapi::PropertyBag& bag, const std::set<uint16_t>& ids,
                     const mapi::PropertyBag* unlessIn = nullptr) {
    std::vector<mapi::PropTag> gone;
    for (const auto& p : bag)
        if (!p.named && ids.count(p.id()) && !(unlessIn && unlessIn->findId(p.id())))
            gone.push_back(p.tag);
    for (auto t : gone) bag.erase(t);
}

// Brings the source and the read-back message to what must be equal: the
// PST keeps no property flags, the source's 8-bit strings read back decoded
// by the same rule, the subject reads back with its prefix marker.
inline void normalize(mapi::Message& expected, mapi::Message& actual) {
    auto resetFlags = [](mapi::PropertyBag& bag) {
        for (auto& p : bag) p.flags = mapi::Property{}.flags;
    };
    resetFlags(expected.props);
    for (auto& r : expected.recipients) resetFlags(r.props);
    for (auto& a : expected.attachments) resetFlags(a.props);
    mapi::decodeString8(expected);
    if (auto* s = actual.props.find(mapi::tag::Subject);
        s && s->value.size() >= 4 && s->value[0] == 1 && s->value[1] == 0) {
        s->value.erase(s->value.begin(), s->value.begin() + 4);
    }
    eraseIds(expected.props, kOwnedEverywhere);
    eraseIds(expected.props, kOwnedByMessages);
    eraseIds(actual.props, kOwnedByMessages);
    eraseIds(actual.props, kDefaultsOfMessages, &expected.props);
    for (auto& r : expected.recipients) eraseIds(r.props, kOwnedEverywhere);
    for (auto& r : actual.recipients) eraseIds(r.props, kOwnedEverywhere);
    for (size_t i = 0; i < expected.attachments.size() && i < actual.attachments.size(); ++i) {
        auto& e = expected.attachments[i];
        auto& a = actual.attachments[i];
        eraseIds(e.props, kOwnedEverywhere);
        eraseIds(e.props, kOwnedByAttachments);
        eraseIds(a.props, kOwnedByAttachments);
        eraseIds(a.props, kDefaultsOfAttachments, &e.props);
        if (a.embedded) a.props.erase(mapi::makeTag(0x3701, mapi::PT_OBJECT));
        if (e.embedded && a.embedded) normalize(*e.embedded, *a.embedded);
    }
}

// Bytes of a node's data streams and of all its subnodes, recursively: the
// figure PidTagMessageSize holds.
inline uint64_t nodeBytes(const read::NodeDatabase& db, ndb::Bid bidData, ndb::Bid bidSub) {
    uint64_t total = bidData ? db.streamSize(bidData) : 0;
    for (const auto& s : db.readSubnodes(bidSub)) total += nodeBytes(db, s.bidData, s.bidSub);
    return total;
}

// The flags the conversion gives every message: read, and has-attachment
// exactly when it has attachments (embedded messages too).
inline mapi::Message withTrueFlags(mapi::Message m) {
    const int32_t old = m.props.int32(mapi::tag::MessageFlags).value_or(mapi::MSGFLAG_READ);
    const int32_t flags =
        (old & ~mapi::MSGFLAG_HASATTACH) | (m.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH);
    m.props.set(mapi::Property::int32(mapi::tag::MessageFlags, flags));
    for (auto& a : m.attachments)
        if (a.embedded) *a.embedded = withTrueFlags(std::move(*a.embedded));
    return m;
}

}  // namespace qm::pst::storetest
