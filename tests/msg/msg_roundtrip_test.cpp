// Generated messages through our MSG writer and back through our reader.
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/cfb_format.h"
#include "msg/msg.h"
#include "msg/test_util.h"
#include "support/message_gen.h"

using namespace qm;
using namespace qm::mapi;
using qm::testing::MessageSpec;

namespace {

Message roundTrip(const Message& m, uint32_t sectorSize = 512) {
    Bytes file = msg::writeMsg(m, {sectorSize});
    return msg::readMsg(file, "roundtrip.msg");
}

TEST(MsgRoundTrip, EveryPropertyTypeNamedPropertiesAndBodies) {
    MessageSpec spec;
    spec.allTypes = true;
    spec.namedById = 5;
    spec.namedByName = 4;
    spec.htmlBody = true;
    spec.rtfBody = true;
    Message m = qm::testing::makeMessage(spec);
    for (uint32_t ss : {512u, 4096u}) {
        Message back = roundTrip(m, ss);
        EXPECT_EQ(qm::testing::diffMessages(m, back), "") << "sector size " << ss;
    }
    Message back = roundTrip(m);
    // Named properties come back by name, whatever local id the file gave them.
    auto keywords = NamedKey::byName(PS_PUBLIC_STRINGS, u"Keywords");
    const Property* kw = back.props.findNamed(keywords, PT_MV_UNICODE);
    ASSERT_TRUE(kw);
    EXPECT_GE(kw->id(), 0x8000);
    ASSERT_EQ(kw->items.size(), 2u);
    EXPECT_EQ(utf16FromLE(kw->items[1]), u"Привет");
    auto lid = NamedKey::byId(*Guid::parse("{00062008-0000-0000-C000-000000000046}"), 0x8500);
    EXPECT_TRUE(back.props.findNamed(lid, PT_LONG));
}

TEST(MsgRoundTrip, UnicodeAndEightBitStrings) {
    MessageSpec spec;
    Message u = roundTrip(qm::testing::makeMessage(spec));
    EXPECT_EQ(u.props.string(0x0037), "Quillmark test message");
    EXPECT_EQ(u.props.string(0x1000), "Body text of level 0 Grüße 日本語 Привет");

    spec.unicode = false;
    Message m = qm::testing::makeMessage(spec);
    Message back = roundTrip(m);
    EXPECT_EQ(qm::testing::diffMessages(m, back), "");
    EXPECT_TRUE(back.props.find(makeTag(0x0037, PT_STRING8)));  // kept as 8-bit bytes
    EXPECT_EQ(back.stringCodePage(), 1251);
    EXPECT_EQ(back.props.string(0x0037, back.stringCodePage()), "Quillmark test message Привет");
}

TEST(MsgRoundTrip, RecipientAndAttachmentCounts) {
    for (size_t n : {0u, 1u, 300u}) {
        MessageSpec spec;
        spec.recipients = n;
        for (size_t i = 0; i < n; ++i) spec.attachmentSizes.push_back(i * 37 % 5000);
        Message m = qm::testing::makeMessage(spec);
        Message back = roundTrip(m);
        EXPECT_EQ(back.recipients.size(), n);
        EXPECT_EQ(back.attachments.size(), n);
        EXPECT_EQ(qm::testing::diffMessages(m, back), "") << n << " recipients and attachments";
    }
}

TEST(MsgRoundTrip, EmbeddedMessagesThreeDeepAndOleStorage) {
    MessageSpec spec;
    spec.embedDepth = 3;
    spec.oleAttachment = true;
    spec.namedById = 1;
    Message m = qm::testing::makeMessage(spec);
    Message back = roundTrip(m);
    EXPECT_EQ(qm::testing::diffMessages(m, back), "");
    const Message* level = &back;
    for (int depth = 1; depth <= 3; ++depth) {
        ASSERT_FALSE(level->attachments.empty());
        const Attachment& a = level->attachments.back();
        EXPECT_EQ(a.method(), ATTACH_EMBEDDED_MSG);
        ASSERT_TRUE(a.embedded) << "depth " << depth;
        EXPECT_FALSE(a.props.find(tag::AttachDataObject));
        level = a.embedded.get();
        EXPECT_EQ(level->props.string(0x0037),
                  "Quillmark test message / level " + std::to_string(depth));
    }
    const Attachment& ole = back.attachments[0];
    EXPECT_EQ(ole.method(), ATTACH_OLE);
    const Property* obj = ole.props.find(tag::AttachDataObject);
    ASSERT_TRUE(obj);
    EXPECT_EQ(obj->bytes(), qm::testing::makeOleStorage(spec.seed));
}

TEST(MsgRoundTrip, AttachmentSizesAroundTheCutoffAndLargeOnesStayInTheFile) {
    MessageSpec spec;
    spec.attachmentSizes = {4095, 4096, 9u << 20};
    Message m = qm::testing::makeMessage(spec);
    qm::testing::ScratchDir dir;
    for (uint32_t ss : {512u, 4096u}) {
        auto path = dir.file("big" + std::to_string(ss) + ".msg");
        msg::writeMsgFile(m, path, {ss});
        Bytes head(512);
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_EQ(std::fread(head.data(), 1, head.size(), f), head.size());
        std::fclose(f);
        EXPECT_EQ(loadLE16(&head[msg::cfb::hdr::kMajor]), ss == 512 ? 3 : 4);
        if (ss == 512) {
            // 9 MiB in 512-byte sectors needs more FAT sectors than the header lists.
            EXPECT_GE(loadLE32(&head[msg::cfb::hdr::kDifatSectors]), 1u);
        }
        Message back = msg::readMsgFile(path);
        EXPECT_EQ(qm::testing::diffMessages(m, back), "") << "sector size " << ss;
        ASSERT_EQ(back.attachments.size(), 3u);
        const Property* small = back.attachments[1].props.find(tag::AttachDataBinary);
        ASSERT_TRUE(small);
        EXPECT_FALSE(small->stream);
        EXPECT_EQ(small->value.size(), 4096u);
        const Property* big = back.attachments[2].props.find(tag::AttachDataBinary);
        ASSERT_TRUE(big);
        ASSERT_TRUE(big->stream) << "a 9 MiB value must stay in the file";
        EXPECT_TRUE(big->value.empty());
        EXPECT_EQ(big->stream->size(), 9u << 20);
        // The value outlives the message and reads in pieces.
        auto stream = big->stream;
        back = Message();
        Bytes piece(777), want(777);
        stream->read(5'000'000, piece);
        PatternSource(9u << 20, spec.seed + 2).read(5'000'000, want);
        EXPECT_EQ(piece, want);
    }
}

TEST(MsgRoundTrip, RewritingWhatWeReadGivesTheSameBytes) {
    MessageSpec spec;
    spec.allTypes = true;
    spec.recipients = 3;
    spec.attachmentSizes = {10, 5000};
    spec.embedDepth = 2;
    spec.namedByName = 3;
    spec.namedById = 3;
    Bytes first = msg::writeMsg(qm::testing::makeMessage(spec));
    Bytes second = msg::writeMsg(msg::readMsg(first));
    EXPECT_EQ(first, second);
}

TEST(MsgRoundTrip, FlagsAreKept) {
    Message m;
    Property p = Property::int32(tag::Importance, 2);
    p.flags = 0x3;
    m.props.set(p);
    Message back = roundTrip(m);
    ASSERT_TRUE(back.props.find(tag::Importance));
    EXPECT_EQ(back.props.find(tag::Importance)->flags, 0x3u);
}

TEST(MsgRoundTrip, IoErrorsNameThePath) {
    EXPECT_THROW(msg::readMsgFile("/nonexistent/dir/x.msg"), IoError);
    EXPECT_THROW(msg::writeMsgFile(Message(), "/nonexistent/dir/x.msg"), IoError);
}

}  // namespace
