// Stores of the sizes that exercise the format's thresholds: past the first
// FMap (about 40 MB), 100,000 messages in one folder, one 100 MB
// attachment. Each is read back whole by our reader; memory while writing
// must stay flat.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "mapi/tags.h"
#include "pst/ndb/format.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "store_test_util.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;
namespace tag = mapi::tag;

namespace {

// Resident set size of this process in bytes (Linux).
uint64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * uint64_t(sysconf(_SC_PAGESIZE));
}

mapi::Message smallMessage(uint32_t i) {
    mapi::Message m;
    m.props.set(mapi::Property::utf8(tag::MessageClass, "IPM.Note"));
    m.props.set(mapi::Property::utf8(tag::Subject, "Message number " + std::to_string(i)));
    m.props.set(mapi::Property::utf8(tag::Body, "Short body " + std::to_string(i * 7919)));
    m.props.set(mapi::Property::int32(tag::MessageFlags, (i % 3) ? mapi::MSGFLAG_READ : 0));
    m.props.set(mapi::Property::time(tag::MessageDeliveryTime, 0x01D9000000000000ull + i));
    mapi::Recipient r;
    r.props.set(mapi::Property::utf8(tag::DisplayName, "To " + std::to_string(i % 50)));
    r.props.set(mapi::Property::int32(tag::RecipientType, 1));
    m.recipients.push_back(std::move(r));
    return m;
}

mapi::Message withAttachment(const std::string& subject, uint64_t size, uint32_t seed) {
    mapi::Message m = smallMessage(seed);
    m.props.set(mapi::Property::utf8(tag::Subject, subject));
    m.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH));
    mapi::Attachment a;
    a.props.set(mapi::Property::int32(tag::AttachMethod, mapi::ATTACH_BY_VALUE));
    a.props.set(mapi::Property::utf8(tag::AttachLongFilename, subject + ".bin"));
    mapi::Property data;
    data.tag = tag::AttachDataBinary;
    data.stream = std::make_shared<PatternSource>(size, seed);
    a.props.set(std::move(data));
    m.attachments.push_back(std::move(a));
    return m;
}

void expectAttachment(const read::PstFile& pst, Nid nid, uint64_t size, uint32_t seed) {
    const mapi::Message back = pst.readMessage(nid);
    ASSERT_EQ(back.attachments.size(), 1u);
    const auto* data = back.attachments[0].props.find(tag::AttachDataBinary);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->byteSize(), size);
    const PatternSource want(size, seed);
    if (data->stream) {
        EXPECT_EQ(zlibCrc(*data->stream), zlibCrc(want));
    } else {
        EXPECT_EQ(zlibCrc(MemorySource(data->value)), zlibCrc(want));
    }
}

}  // namespace

TEST(StoreSizes, StorePastTheFirstFreeMap) {
    ScratchDir dir;
    const auto path = dir / "forty.pst";
    auto store = Store::create(path, "Forty");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Big");
    constexpr uint64_t kEach = 8'500'000;  // five of them pass the first FMap region
    std::vector<Nid> nids;
    for (uint32_t i = 0; i < 5; ++i) {
        nids.push_back(
            store->addMessage(folder, withAttachment("big" + std::to_string(i), kEach, i)));
    }
    store->close();
    // The first FMap sits in region 128 (0x1F04400 + 512 * 2).
    EXPECT_GT(std::filesystem::file_size(path), ndb::fmapOffset(128));
    auto pst = read::PstFile::open(path);
    for (uint32_t i = 0; i < 5; ++i) expectAttachment(*pst, nids[i], kEach, i);
    expectCheckerClean(path);
    qm::testing::validators::expectClean(qm::testing::validators::pffinfo(path));
}

TEST(StoreSizes, HundredThousandMessagesInOneFolder) {
    ScratchDir dir;
    const auto path = dir / "many.pst";
    auto store = Store::create(path, "Many");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Everything");
    constexpr uint32_t kCount = 100'000;
    uint64_t residentAtTenThousand = 0;
    std::vector<Nid> sample;
    for (uint32_t i = 0; i < kCount; ++i) {
        const Nid nid = store->addMessage(folder, smallMessage(i));
        if (i == 0 || i == kCount / 2 || i == kCount - 1) sample.push_back(nid);
        if (i == 10'000) residentAtTenThousand = residentBytes();
    }
    // Ninety thousand more messages must not cost memory in proportion: the
    // folder's table is appended to, not held (a generous bound; a held
    // table or held messages would take hundreds of MB here).
    EXPECT_LT(residentBytes(), residentAtTenThousand + (64u << 20));
    store->close();

    auto pst = read::PstFile::open(path);
    const auto props = pst->folderProperties(folder);
    EXPECT_EQ(props.int32(tag::ContentCount), int32_t(kCount));
    EXPECT_EQ(props.int32(tag::ContentUnreadCount), int32_t((kCount + 2) / 3));
    const auto rows = pst->childFolders(store->ipmSubtree());
    bool found = false;
    for (const auto& r : rows) {
        if (r.nid == folder) {
            found = true;
            EXPECT_EQ(r.contentCount, int32_t(kCount));
        }
    }
    EXPECT_TRUE(found);
    const auto nids = pst->messageNids(folder);
    ASSERT_EQ(nids.size(), kCount);
    for (Nid nid : sample) {
        const auto m = pst->readMessage(nid);
        EXPECT_NE(m.props.string(0x0037)->find("Message number"), std::string::npos);
    }
    expectCheckerClean(path);
}

TEST(StoreSizes, HundredMegabyteAttachment) {
    ScratchDir dir;
    const auto path = dir / "hundred.pst";
    auto store = Store::create(path, "Hundred");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Large");
    constexpr uint64_t kSize = 100u << 20;
    const uint64_t before = residentBytes();
    const Nid nid = store->addMessage(folder, withAttachment("hundred", kSize, 42));
    // Streamed, never held whole.
    EXPECT_LT(residentBytes(), before + (32u << 20));
    store->close();
    auto pst = read::PstFile::open(path);
    expectAttachment(*pst, nid, kSize, 42);
    expectCheckerClean(path);
}
