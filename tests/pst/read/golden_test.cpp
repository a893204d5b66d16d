// Our reader against the files Outlook made (../shared/pst-samples): every
// Unicode sample opens and reads whole, the ANSI ones are refused clearly,
// and what we read matches the node-by-node dump of outlook-made.md.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/ndb/crc.h"
#include "pst/read/pst_file.h"
#include "support/validators.h"

namespace qm::pst::read {
namespace {

namespace fs = std::filesystem;

fs::path samples() {
    const char* dir = std::getenv("QM_SHARED_DIR");
    return dir ? fs::path(dir) / "pst-samples" : fs::path();
}

#define REQUIRE_SAMPLE(name)                      \
    fs::path sample = samples() / (name);         \
    if (samples().empty() || !fs::exists(sample)) \
    GTEST_SKIP() << "golden file " << (name) << " not found (QM_SHARED_DIR/pst-samples)"

// Reads every folder, message, recipient and attachment below `folder`.
size_t readAll(const PstFile& pst, Nid folder, int depth = 0) {
    size_t messages = 0;
    for (Nid m : pst.messageNids(folder)) {
        mapi::Message msg = pst.readMessage(m);
        EXPECT_FALSE(msg.props.empty());
        ++messages;
    }
    for (Nid m : pst.associatedMessageNids(folder)) {
        pst.readMessage(m);
    }
    pst.folderProperties(folder);
    if (depth < 16)
        for (const auto& f : pst.childFolders(folder)) messages += readAll(pst, f.nid, depth + 1);
    return messages;
}

TEST(PstGolden, EveryUnicodeSampleReadsWhole) {
    for (const char* name : {"Empty.pst", "sample1.pst", "submessage.pst", "test_unicode.pst"}) {
        REQUIRE_SAMPLE(name);
        SCOPED_TRACE(name);
        auto pst = PstFile::open(sample);
        const auto& h = pst->ndb().header();
        EXPECT_EQ(h.version, 23);
        EXPECT_EQ(h.crcPartial, ndb::crc32(&pst->ndb().headerBytes()[ndb::kHeaderCrcStart],
                                           ndb::kHeaderCrcPartialSize));
        EXPECT_EQ(h.crcFull, ndb::crc32(&pst->ndb().headerBytes()[ndb::kHeaderCrcStart],
                                        ndb::kHeaderCrcFullSize));
        EXPECT_EQ(h.cryptMethod, uint8_t(ndb::CryptMethod::Permute));
        readAll(*pst, PstFile::rootFolder());
    }
}

// The bar every store we write is held to, met by Outlook's own files: what
// the validator runner tolerates (pst-extractor in search folders, pstwalk's
// library limits) is exactly what they need.
TEST(PstGolden, EveryIndependentReaderReadsTheUnicodeSamples) {
    for (const char* name : {"Empty.pst", "sample1.pst", "submessage.pst", "test_unicode.pst"}) {
        REQUIRE_SAMPLE(name);
        SCOPED_TRACE(name);
        qm::testing::validators::expectAllRead(sample);
    }
}

TEST(PstGolden, AnsiSamplesAreRefusedClearly) {
    for (const char* name : {"sample2.pst", "test_ansi.pst"}) {
        REQUIRE_SAMPLE(name);
        try {
            PstFile::open(sample);
            ADD_FAILURE() << name << " opened";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find("ANSI"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
}

TEST(PstGolden, EmptyMatchesOutlookDump) {
    REQUIRE_SAMPLE("Empty.pst");
    auto pst = PstFile::open(sample);
    EXPECT_EQ(pst->ndb().nodes().size(), 47u);
    EXPECT_EQ(pst->displayName(), "Empty");
    EXPECT_EQ(pst->ipmSubtree(), 0x8022u);
    EXPECT_EQ(pst->deletedItems(), 0x8062u);
    EXPECT_EQ(pst->searchRoot(), 0x8042u);
    EXPECT_EQ(pst->nameMap().records().size(), 280u / 8);

    auto root = pst->childFolders(PstFile::rootFolder());
    ASSERT_EQ(root.size(), 4u);
    std::vector<std::string> names;
    for (auto& f : root) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Top of Outlook data file", "Search Root",
                                               "SPAM Search Folder 2", "IPM_COMMON_VIEWS"}));
    auto tree = pst->folderTree();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0].folder.name, "Deleted Items");
    EXPECT_EQ(tree[0].parent, 0x8022u);
    EXPECT_EQ(tree[0].depth, 0);
    EXPECT_EQ(pst->folderTree(PstFile::rootFolder()).size(), 5u);
    auto top = pst->childFolders(0x8022);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].nid, 0x8062u);
    EXPECT_EQ(top[0].name, "Deleted Items");
    EXPECT_EQ(pst->parentOf(0x8062), 0x8022u);
    auto deleted = pst->folderProperties(0x8062);
    EXPECT_EQ(deleted.string(0x3004), "Deleted Items folder");
    EXPECT_EQ(deleted.int32(mapi::tag::ContentCount), 0);

    auto tmpl = pst->table(ndb::NID_CONTENTS_TABLE_TEMPLATE);
    EXPECT_EQ(tmpl->columns().size(), 28u);
    EXPECT_EQ(tmpl->rowCount(), 0u);
    EXPECT_EQ(pst->table(0x802E)->columns().size(), 59u);
    EXPECT_EQ(pst->table(ndb::NID_RECIPIENT_TABLE)->columns().size(), 14u);

    auto store = pst->storeProperties();
    EXPECT_EQ(store.int32(0x35DF0003), 201);
    EXPECT_EQ(store.find(0x0FF90102)->value.size(), 16u);
}

TEST(PstGolden, SubmessageEmbeddedMessageReadsBack) {
    REQUIRE_SAMPLE("submessage.pst");
    auto pst = PstFile::open(sample);
    EXPECT_EQ(pst->displayName(), "submessage");
    auto top = pst->childFolders(pst->ipmSubtree());
    const FolderEntry* folder = nullptr;
    for (auto& f : top)
        if (f.name == "submessage") folder = &f;
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->contentCount, 1);
    auto nids = pst->messageNids(folder->nid);
    ASSERT_EQ(nids, std::vector<Nid>{0x200024});
    EXPECT_EQ(pst->parentOf(0x200024), folder->nid);

    mapi::Message msg = pst->readMessage(0x200024);
    EXPECT_EQ(readableSubject(msg.props),
              "This is a message which has an embedded message attached");
    EXPECT_EQ(msg.props.string(0x1000), "This is the body of the regular message\r\n\r\n");
    EXPECT_EQ(msg.props.int32(mapi::tag::MessageFlags), 49);
    EXPECT_EQ(msg.props.find(0x10130102)->byteSize(), 1653u);
    // Named properties come back with their names.
    const mapi::Property* named = nullptr;
    for (const auto& p : msg.props)
        if (p.tag == 0x8025001F) named = &p;
    ASSERT_NE(named, nullptr);
    ASSERT_TRUE(named->named);
    EXPECT_EQ(msg.props.findNamed(*named->named, mapi::PT_UNICODE), named);
    EXPECT_EQ(msg.props.find(0x8025001F), nullptr);  // named ones are found by name only
    ASSERT_EQ(msg.recipients.size(), 1u);
    EXPECT_EQ(msg.recipients[0].props.string(0x3001), "Terry Mahaffey");
    EXPECT_EQ(msg.recipients[0].props.find(ndb::kPidTagLtpRowId), nullptr);

    ASSERT_EQ(msg.attachments.size(), 1u);
    const mapi::Attachment& att = msg.attachments[0];
    EXPECT_EQ(att.method(), mapi::ATTACH_EMBEDDED_MSG);
    EXPECT_EQ(att.props.int32(mapi::tag::AttachSize), 11494);
    EXPECT_EQ(att.props.find(mapi::tag::AttachDataObject), nullptr);
    EXPECT_EQ(att.props.find(0x37090102)->byteSize(), 3512u);
    ASSERT_TRUE(att.embedded);
    EXPECT_EQ(readableSubject(att.embedded->props), "This is an embedded message");
    EXPECT_EQ(att.embedded->props.string(0x1000),
              "This is the body of an embedded message\r\n\r\n");
    EXPECT_EQ(att.embedded->props.find(0x10090102)->byteSize(), 1220u);
    EXPECT_EQ(att.embedded->recipients.size(), 1u);
    EXPECT_TRUE(att.embedded->attachments.empty());
}

TEST(PstGolden, Sample1AndTestUnicodeFolders) {
    {
        REQUIRE_SAMPLE("sample1.pst");
        auto pst = PstFile::open(sample);
        bool found = false;
        for (auto& f : pst->childFolders(pst->ipmSubtree())) {
            if (f.name != "Sample1") continue;
            found = true;
            EXPECT_EQ(f.contentCount, 1);
            EXPECT_EQ(pst->messageNids(f.nid).size(), 1u);
        }
        EXPECT_TRUE(found);
    }
    {
        REQUIRE_SAMPLE("test_unicode.pst");
        auto pst = PstFile::open(sample);
        bool found = false;
        for (auto& f : pst->childFolders(pst->ipmSubtree()))
            if (f.name == "Folder") found = true;
        EXPECT_TRUE(found);
    }
}

}  // namespace
}  // namespace qm::pst::read

namespace qm::pst::read {
namespace {

// The dump in formats/outlook-made.md, section by section: the NBT lines
// and the tables' column lists must be what our reader sees.
struct DumpSection {
    std::vector<NbtEntry> nodes;
    std::map<Nid, std::vector<uint32_t>> templateColumns;
    std::vector<uint32_t> storeTags;
};

std::map<std::string, DumpSection> parseDump(const fs::path& md) {
    std::ifstream in(md);
    std::map<std::string, DumpSection> out;
    std::string line, section, block;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            section = line.substr(3);
            block.clear();
            continue;
        }
        std::istringstream s(line);
        std::string word;
        s >> word;
        if (word == "STORE" || word == "TEMPLATE" || word == "NAME-TO-ID" || word == "FOLDER") {
            block = word == "TEMPLATE" ? line : word;
            continue;
        }
        DumpSection& d = out[section];
        if (word == "nid") {
            NbtEntry e;
            std::string type, k1, k2, k3, v1, v2, v3, nid;
            s >> nid >> type >> k1 >> v1 >> k2 >> v2 >> k3 >> v3;
            e.nid = Nid(std::stoul(nid, nullptr, 16));
            e.bidData = std::stoull(v1, nullptr, 16);
            e.bidSub = std::stoull(v2, nullptr, 16);
            e.nidParent = Nid(std::stoul(v3, nullptr, 16));
            d.nodes.push_back(e);
        } else if (block == "STORE" && word.rfind("0x", 0) == 0) {
            d.storeTags.push_back(uint32_t(std::stoul(word.substr(0, 10), nullptr, 16)));
        } else if (block.rfind("TEMPLATE", 0) == 0 && line.find("columns:") != std::string::npos) {
            Nid nid = Nid(std::stoul(block.substr(9), nullptr, 16));
            std::istringstream cols(line.substr(line.find("columns:") + 8));
            std::string tag;
            while (cols >> tag)
                d.templateColumns[nid].push_back(uint32_t(std::stoul(tag, nullptr, 16)));
        }
    }
    return out;
}

TEST(PstGolden, ReaderSeesWhatTheOutlookDumpShows) {
    const char* shared = std::getenv("QM_SHARED_DIR");
    fs::path md = shared ? fs::path(shared) / "formats" / "outlook-made.md" : fs::path();
    if (md.empty() || !fs::exists(md)) GTEST_SKIP() << "outlook-made.md not found (QM_SHARED_DIR)";
    auto dump = parseDump(md);
    for (const char* name : {"Empty.pst", "submessage.pst"}) {
        REQUIRE_SAMPLE(name);
        SCOPED_TRACE(name);
        const DumpSection& d = dump[name];
        ASSERT_FALSE(d.nodes.empty());
        auto pst = PstFile::open(sample);
        const auto& nodes = pst->ndb().nodes();
        ASSERT_EQ(nodes.size(), d.nodes.size());
        for (size_t i = 0; i < nodes.size(); ++i) {
            EXPECT_EQ(nodes[i].nid, d.nodes[i].nid);
            EXPECT_EQ(nodes[i].bidData, d.nodes[i].bidData) << hex(nodes[i].nid);
            EXPECT_EQ(nodes[i].bidSub, d.nodes[i].bidSub) << hex(nodes[i].nid);
            EXPECT_EQ(nodes[i].nidParent, d.nodes[i].nidParent) << hex(nodes[i].nid);
        }
        ASSERT_EQ(d.templateColumns.size(), 6u);
        for (const auto& [nid, cols] : d.templateColumns) {
            std::vector<uint32_t> ours;
            auto table = pst->table(nid);
            for (const auto& c : table->columns()) ours.push_back(c.tag);
            EXPECT_EQ(ours, cols) << hex(nid);
        }
        std::vector<uint32_t> storeTags;
        auto pc = pst->propertyContext(ndb::NID_MESSAGE_STORE);
        for (const auto& e : pc->entries()) storeTags.push_back(mapi::makeTag(e.id, e.type));
        EXPECT_EQ(storeTags, d.storeTags);
    }
}

}  // namespace
}  // namespace qm::pst::read

TEST(PstSubject, PrefixMarkerDroppedAndEightBitDecodedWithTheMessageCodePage) {
    qm::mapi::PropertyBag bag;
    bag.set(qm::mapi::Property::string8(qm::mapi::makeTag(0x0037, qm::mapi::PT_STRING8),
                                        "\x01\x05RE: \xCF\xF0\xE8\xE2\xE5\xF2"));
    EXPECT_EQ(qm::pst::read::readableSubject(bag, 1251), "RE: Привет");
    EXPECT_EQ(qm::pst::read::readableSubject(bag),
              "RE: Ïðèâåò");  // 1252 when nothing says otherwise
    qm::mapi::PropertyBag none;
    EXPECT_EQ(qm::pst::read::readableSubject(none), "");
}
