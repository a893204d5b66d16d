// The directory tree CompoundFileWriter builds, and what it refuses. Its
// files round-trip in MsgRoundTrip (streams either side of every boundary,
// OLE storages byte for byte) and python3-olefile reads them in MsgCrossCheck.
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "msg/cfb_format.h"
#include "msg/compound_file_reader.h"
#include "msg/compound_file_writer.h"

using namespace qm;
using namespace qm::msg;

namespace {

std::u16string name(const char* prefix, size_t i) {
    return mapi::fromUtf8(prefix + std::to_string(i));
}

std::shared_ptr<CompoundFileReader> openBytes(const Bytes& file) {
    return CompoundFileReader::open(std::make_shared<MemorySource>(file), "test.cfb");
}

// Checks one subtree from the file's own bytes: search order by (length,
// upper case), no red node under a red one, equal black height on every
// path (returned). Counts the nodes.
int checkTree(const CompoundFileReader& r, const Bytes& f, uint32_t id, const std::u16string* lo,
              const std::u16string* hi, bool parentRed, size_t& count) {
    if (id == cfb::NOSTREAM) return 1;
    const uint8_t* e = &f.at(size_t(r.entryOffset(id)));
    const std::u16string& n = r.entry(id).name;
    ++count;
    EXPECT_TRUE(!lo || compareCfbNames(*lo, n) < 0);
    EXPECT_TRUE(!hi || compareCfbNames(*hi, n) > 0);
    const bool red = e[cfb::dir::kColor] == cfb::kRed;
    EXPECT_FALSE(parentRed && red) << "red node with a red parent";
    const int left = checkTree(r, f, loadLE32(e + cfb::dir::kLeft), lo, &n, red, count);
    const int right = checkTree(r, f, loadLE32(e + cfb::dir::kRight), &n, hi, red, count);
    EXPECT_EQ(left, right) << "black heights differ under " << mapi::toUtf8(n);
    return left + (red ? 0 : 1);
}

TEST(CfbWriter, ChildrenFormValidRedBlackTrees) {
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 15u, 16u, 17u, 40u, 300u}) {
        SCOPED_TRACE(n);
        CompoundFileWriter w;
        // Mixed lengths and cases exercise the length-first, case-blind order.
        for (size_t i = 0; i < n; ++i)
            w.addStream(0, name(i % 3 ? "Name" : "n", i * 7919 % 1000), Bytes{uint8_t(i)});
        const Bytes f = w.toBytes();
        auto r = openBytes(f);
        const uint32_t root = loadLE32(&f[size_t(r->entryOffset(0)) + cfb::dir::kChild]);
        EXPECT_EQ(f[size_t(r->entryOffset(root)) + cfb::dir::kColor], cfb::kBlack);
        size_t count = 0;
        checkTree(*r, f, root, nullptr, nullptr, false, count);
        EXPECT_EQ(count, n);
        EXPECT_EQ(r->children(0).size(), n);
    }
}

TEST(CfbWriter, RejectsIllegalNamesAndDuplicates) {
    CompoundFileWriter w;
    for (std::u16string bad : {u"a/b", u"", u"0123456789012345678901234567890123"})
        EXPECT_THROW(w.addStream(0, bad, Bytes{}), std::invalid_argument);
    w.addStream(0, u"Same", Bytes{});
    EXPECT_THROW(w.addStream(0, u"SAME", Bytes{}), std::invalid_argument);
    EXPECT_THROW(CompoundFileWriter(1024), std::invalid_argument);
    // Version 3 caps a stream at 2 GiB; the check comes before any byte is made.
    CompoundFileWriter big(512);
    big.addStream(0, u"huge", std::make_shared<PatternSource>(0x80000001ull, 1));
    EXPECT_THROW(big.toBytes(), std::length_error);
}

}  // namespace
