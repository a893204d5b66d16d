// Shared by the store tests: comparing a message we wrote with the one our
// reader reads back, the sizes the store computes, and zlib's CRC.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <set>

#include "mapi/codepage.h"
#include "mapi/message.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "pst/ndb/crc.h"
#include "pst/pst_test.h"
#include "pst/read/node_database.h"
#include "support/validators.h"

namespace qm::pst::storetest {

using namespace qm::pst::testing;

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

// The CRC-32 zlib and Python's zlib.crc32 compute (inverted in and out),
// built from the PST's uninverted one.
inline uint32_t zlibCrc(const ByteSource& source) {
    uint32_t crc = 0xFFFFFFFF;
    Bytes buf(1 << 16);
    for (uint64_t off = 0; off < source.size(); off += buf.size()) {
        const size_t n = size_t(std::min<uint64_t>(buf.size(), source.size() - off));
        source.read(off, std::span<uint8_t>(buf.data(), n));
        crc = ndb::crc32(buf.data(), n, crc);
    }
    return crc ^ 0xFFFFFFFF;
}

// Every independent reader reads the whole store (tests/support/validators.h).
inline void expectOtherReadersRead(const fs::path& path, const std::string& readpstTypes = {},
                                   bool holdsMultipleGuid = false) {
    qm::testing::validators::Options options;
    options.readpstTypes = readpstTypes;
    options.holdsMultipleGuid = holdsMultipleGuid;
    qm::testing::validators::expectAllRead(path, options);
}

// The checkout (for the reader scripts beside these tests): the
// environment's, or the build's own.
inline fs::path sourceDir() {
    const char* dir = std::getenv("QM_SOURCE_DIR");
    return dir ? fs::path(dir) : fs::path(QM_STORE_TEST_SOURCE_DIR);
}

// Single-quoted for /bin/sh.
inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct CommandResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

inline CommandResult run(const std::string& command) {
    CommandResult r;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) r.output.append(buf, n);
    const int status = ::pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace qm::pst::storetest
