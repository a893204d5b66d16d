// Property contexts with every property type, inline, heap and subnode
// values, multi-valued layouts and objects, read back by the reader.
#include <gtest/gtest.h>

#include "ltp_test_util.h"
#include "pst/read/property_context.h"

namespace qm::pst::ltp {
namespace {

using mapi::makeTag;
using mapi::Property;
using testing::pattern;
using testing::Scratch;

Property raw(uint16_t id, uint16_t type, Bytes v) {
    return Property::raw(makeTag(id, type), std::move(v));
}
Property mv(uint16_t id, uint16_t type, std::vector<Bytes> items) {
    Property p;
    p.tag = makeTag(id, type);
    p.items = std::move(items);
    return p;
}

std::vector<Property> everyType() {
    std::vector<Property> ps;
    ps.push_back(Property::int16(makeTag(0x6001, mapi::PT_SHORT), -2));
    ps.push_back(Property::int32(makeTag(0x6002, mapi::PT_LONG), 0x12345678));
    ps.push_back(raw(0x6003, mapi::PT_FLOAT, {0, 0, 0x80, 0x3F}));
    ps.push_back(Property::float64(makeTag(0x6004, mapi::PT_DOUBLE), 3.25));
    ps.push_back(raw(0x6005, mapi::PT_CURRENCY, pattern(8, 5)));
    ps.push_back(raw(0x6006, mapi::PT_APPTIME, pattern(8, 6)));
    ps.push_back(raw(0x6007, mapi::PT_ERROR, {0x0F, 0x01, 0x04, 0x80}));
    ps.push_back(Property::boolean(makeTag(0x6008, mapi::PT_BOOLEAN), true));
    ps.push_back(Property::int64(makeTag(0x6009, mapi::PT_LONGLONG), -5));
    ps.push_back(Property::string8(makeTag(0x600A, mapi::PT_STRING8), "eight bit"));
    ps.push_back(Property::utf8(makeTag(0x600B, mapi::PT_UNICODE), "Grüße"));
    ps.push_back(Property::time(makeTag(0x600C, mapi::PT_SYSTIME), 0x01CAC625D9699F36ull));
    ps.push_back(raw(0x600D, mapi::PT_CLSID, pattern(16, 13)));
    ps.push_back(Property::binary(makeTag(0x600E, mapi::PT_BINARY), pattern(100, 14)));
    ps.push_back(Property::utf8(makeTag(0x600F, mapi::PT_UNICODE), ""));
    ps.push_back(Property::binary(makeTag(0x6010, mapi::PT_BINARY), {}));
    // Values above 3580 bytes go to subnodes; one arrives as a stream.
    ps.push_back(Property::binary(makeTag(0x6011, mapi::PT_BINARY), pattern(3581, 17)));
    ps.push_back(Property::binary(makeTag(0x6012, mapi::PT_BINARY), pattern(3580, 18)));
    std::u16string longText(30000, u'x');
    ps.push_back(Property::unicode(makeTag(0x6013, mapi::PT_UNICODE), longText));
    Property streamed;
    streamed.tag = makeTag(0x6014, mapi::PT_BINARY);
    streamed.stream = std::make_shared<PatternSource>(300000, 20);
    ps.push_back(streamed);
    ps.push_back(raw(0x6015, mapi::PT_MV_SHORT, {1, 0, 2, 0, 3, 0}));
    ps.push_back(raw(0x6016, mapi::PT_MV_LONG, pattern(40, 22)));
    ps.push_back(raw(0x6017, mapi::PT_MV_DOUBLE, pattern(24, 23)));
    ps.push_back(raw(0x6018, mapi::PT_MV_LONGLONG, pattern(16, 24)));
    ps.push_back(raw(0x6019, mapi::PT_MV_SYSTIME, pattern(32, 25)));
    ps.push_back(raw(0x601A, mapi::PT_MV_CLSID, pattern(48, 26)));
    ps.push_back(mv(0x601B, mapi::PT_MV_UNICODE, {{'a', 0, 'b', 0}, {}, {'c', 0}}));
    ps.push_back(mv(0x601C, mapi::PT_MV_STRING8, {{'x'}, {'y', 'z'}}));
    ps.push_back(
        mv(0x601D, mapi::PT_MV_BINARY, {pattern(10, 1), {}, pattern(3000, 2), pattern(2000, 3)}));
    ps.push_back(raw(0x601E, mapi::PT_MV_CURRENCY, pattern(8, 30)));
    return ps;
}

TEST(LtpPc, EveryTypeRoundTripsThroughTheReader) {
    Scratch s;
    PropertyContextBuilder pc(*s.w);
    auto props = everyType();
    for (const auto& p : props) pc.set(p);
    // An object held in a subnode the PC writes, and one the caller wrote.
    Property ole;
    ole.tag = makeTag(0x3701, mapi::PT_OBJECT);
    ole.value = pattern(20000, 40);
    pc.set(ole);
    Bid embedded = s.w->writeData(pattern(500, 41));
    pc.setObject(makeTag(0x3702, mapi::PT_OBJECT), 0x8025, 500);
    pc.set(Property::int32(makeTag(0x6002, mapi::PT_LONG), 7));  // replaces
    EXPECT_TRUE(pc.erase(0x6001));
    EXPECT_FALSE(pc.erase(0x6001));
    BuiltNode n = pc.build();
    n.subnodes.push_back({0x8025, embedded, 0});
    s.put(0x200024, n, 0x8082);
    auto db = s.commitAndRead();
    const auto* node = db->findNode(0x200024);
    ASSERT_TRUE(node);
    read::PropertyContext r(db, node->bidData, node->bidSub, "message");
    mapi::PropertyBag bag = r.properties();
    props.erase(props.begin());
    props[0] = Property::int32(makeTag(0x6002, mapi::PT_LONG), 7);
    EXPECT_EQ(bag.size(), props.size() + 2);
    for (const auto& p : props) {
        const Property* got = bag.find(p.tag);
        ASSERT_TRUE(got) << std::hex << p.tag;
        if (p.items.empty()) {
            EXPECT_EQ(got->bytes(), p.bytes()) << std::hex << p.tag;
        } else {
            EXPECT_EQ(got->items, p.items) << std::hex << p.tag;
        }
    }
    for (const auto& e : r.entries()) {
        if (e.type != mapi::PT_OBJECT) continue;
        auto ref = r.objectRef(e);
        if (e.id == 0x3702) {
            EXPECT_EQ(ref.nid, 0x8025u);
            EXPECT_EQ(ref.size, 500u);
        } else {
            EXPECT_EQ(ref.size, 20000u);
            EXPECT_EQ(r.node().read(ref.nid), ole.value);
        }
    }
    // Inline values sit in the record itself; big ones are LTP subnodes.
    for (const auto& e : r.entries()) {
        if (e.id == 0x6008) {
            EXPECT_EQ(e.value, 1u);
        }
        if (e.id == 0x6011 || e.id == 0x6013 || e.id == 0x6014) {
            EXPECT_EQ(ndb::nidType(e.value), ndb::NID_TYPE_LTP);
        }
        if (e.id == 0x600F || e.id == 0x6010) {
            // Not HID 0, which names nothing: a zero-length allocation.
            ASSERT_TRUE(ndb::hnidIsHid(e.value) && e.value != 0) << std::hex << e.value;
            EXPECT_TRUE(r.node().heap().item(e.value).empty());
        }
        if (e.id == 0x6012) {
            EXPECT_TRUE(ndb::hnidIsHid(e.value));
        }
    }
}

TEST(LtpPc, ManyPropertiesNeedAnIndexLevel) {
    Scratch s;
    PropertyContextBuilder pc(*s.w);
    for (uint16_t id = 0x8000; id < 0x8000 + 1000; ++id)
        pc.set(Property::int32(makeTag(id, mapi::PT_LONG), id));
    s.put(0x21, pc.build());
    auto db = s.commitAndRead();
    read::PropertyContext r(db, db->findNode(0x21)->bidData, 0, "store");
    EXPECT_EQ(r.bth().indexLevels(), 1u);
    EXPECT_EQ(r.node().heap().userRoot(), 0x20u) << "the BTH header is the first allocation";
    EXPECT_EQ(r.bth().rootHid(), 0x40u) << "the BTH root next, before the values";
    auto bag = r.properties();
    ASSERT_EQ(bag.size(), 1000u);
    EXPECT_EQ(bag.int32(makeTag(0x83E7, mapi::PT_LONG)), 0x83E7);
}

// PidTagMessageSize is filled in from what the builder reports before it
// writes: the reported heap bytes and subnodes must be what lands in the
// file, for a one-page PC and for one spread over several heap pages.
TEST(LtpPc, SizeDependentValueSeesTheBytesWritten) {
    for (size_t props : {size_t(5), size_t(900)}) {
        SCOPED_TRACE(props);
        Scratch s;
        PropertyContextBuilder pc(*s.w);
        for (uint16_t id = 0; id < props; ++id)
            pc.set(
                Property::binary(makeTag(uint16_t(0x8000 + id), mapi::PT_BINARY), pattern(40, id)));
        pc.set(Property::binary(makeTag(0x6011, mapi::PT_BINARY), pattern(9000, 1)));
        const mapi::PropTag sizeTag = makeTag(0x0E08, mapi::PT_LONG);
        pc.set(Property::int32(sizeTag, 0));
        uint64_t seenHeap = 0;
        size_t seenSubnodes = 0;
        BuiltNode built = pc.build(sizeTag, [&](uint64_t heapBytes, const auto& subnodes) {
            seenHeap = heapBytes;
            seenSubnodes = subnodes.size();
            return int32_t(heapBytes);
        });
        EXPECT_EQ(seenHeap, s.w->dataSize(built.bidData));
        EXPECT_EQ(seenSubnodes, 1u);
        s.put(0x21, built);
        auto db = s.commitAndRead();
        read::PropertyContext r(db, db->findNode(0x21)->bidData, db->findNode(0x21)->bidSub,
                                "message");
        if (props > 100) {
            EXPECT_GT(r.node().heap().blockCount(), 1u);
        }
        EXPECT_EQ(r.properties().int32(sizeTag), int32_t(seenHeap));
    }
    Scratch s;
    PropertyContextBuilder pc(*s.w);
    pc.set(Property::int32(makeTag(0x6002, mapi::PT_LONG), 1));
    EXPECT_THROW(pc.build(makeTag(0x0E08, mapi::PT_LONG), [](uint64_t, const auto&) { return 0; }),
                 std::logic_error)
        << "the size property must be in the PC";
}

TEST(LtpPc, RejectsValuesOfTheWrongSize) {
    Scratch s;
    PropertyContextBuilder pc(*s.w);
    EXPECT_THROW(pc.set(raw(0x6001, mapi::PT_LONG, {1, 2})), Error);
    EXPECT_THROW(pc.set(raw(0x6001, mapi::PT_NULL, {})), std::logic_error);
}

}  // namespace
}  // namespace qm::pst::ltp
