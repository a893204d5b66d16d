// Our reader and checker against the files Outlook made
// (../shared/pst-samples): every Unicode sample checks clean and reads whole,
// as it does for every independent reader; ANSI and other files are refused
// clearly; and what we read matches the node-by-node dump of
// formats/outlook-made.md.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/pst_test.h"
#include "support/validators.h"

namespace qm::pst::read {
namespace {

using namespace qm::pst::testing;

// The bar every store we write is held to, met by Outlook's own files: what
// the validator runner tolerates (pst-extractor in search folders, pstwalk's
// library limits) is exactly what they need.
TEST(PstGolden, EveryUnicodeSampleChecksCleanAndReadsWholeForEveryReader) {
    // Each sample and a folder it holds below the IPM subtree.
    const std::pair<const char*, const char*> samples[] = {{"Empty.pst", "Deleted Items"},
                                                           {"sample1.pst", "Sample1"},
                                                           {"submessage.pst", "submessage"},
                                                           {"test_unicode.pst", "Folder"}};
    for (const auto& [name, folder] : samples) {
        QM_REQUIRE_GOLDEN(file, name);
        SCOPED_TRACE(name);
        auto pst = PstFile::open(file);
        EXPECT_EQ(pst->ndb().header().version, 23);
        EXPECT_EQ(pst->ndb().header().cryptMethod, uint8_t(ndb::CryptMethod::Permute));
        size_t found = 0;
        for (const auto& f : pst->childFolders(pst->ipmSubtree())) {
            if (f.name != folder) continue;
            ++found;
            EXPECT_EQ(size_t(f.contentCount), pst->messageNids(f.nid).size());
            for (Nid m : pst->messageNids(f.nid)) EXPECT_FALSE(pst->readMessage(m).props.empty());
        }
        EXPECT_EQ(found, 1u) << folder;
        readEverything(*pst);
        const CheckReport r = checkFile(file);
        EXPECT_TRUE(r.clean()) << joined(r);
        qm::testing::validators::expectClean(qm::testing::validators::all(file));
    }
}

TEST(PstGolden, AnsiAndOtherFilesAreRefusedClearly) {
    for (const char* name : {"sample2.pst", "test_ansi.pst"}) {
        QM_REQUIRE_GOLDEN(file, name);
        try {
            PstFile::open(file);
            ADD_FAILURE() << name << " opened";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find("ANSI"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
        EXPECT_THROW(checkFile(file), FormatError);
    }
    ScratchDir dir;
    writeFile(dir / "text.pst", Bytes(1000, 'x'));
    EXPECT_THROW(checkFile(dir / "text.pst"), FormatError);
    writeFile(dir / "short.pst", Bytes{0x21, 0x42, 0x44, 0x4E});
    EXPECT_THROW(checkFile(dir / "short.pst"), FormatError);
    EXPECT_THROW(checkFile(dir / "absent.pst"), IoError);
}

TEST(PstGolden, EmptyReadsAsOutlookMadeIt) {
    QM_REQUIRE_GOLDEN(file, "Empty.pst");
    auto pst = PstFile::open(file);
    EXPECT_EQ(pst->displayName(), "Empty");
    EXPECT_EQ(pst->ipmSubtree(), 0x8022u);
    EXPECT_EQ(pst->deletedItems(), 0x8062u);
    EXPECT_EQ(pst->searchRoot(), 0x8042u);
    EXPECT_EQ(pst->nameMap().records().size(), 280u / 8);
    std::vector<std::string> names;
    for (auto& f : pst->childFolders(PstFile::rootFolder())) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Top of Outlook data file", "Search Root",
                                               "SPAM Search Folder 2", "IPM_COMMON_VIEWS"}));
    const auto tree = pst->folderTree();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0].folder.name, "Deleted Items");
    EXPECT_EQ(tree[0].parent, 0x8022u);
    EXPECT_EQ(tree[0].depth, 0);
    EXPECT_EQ(pst->folderTree(PstFile::rootFolder()).size(), 5u);
    EXPECT_EQ(pst->parentOf(0x8062), 0x8022u);
    const auto deleted = pst->folderProperties(0x8062);
    EXPECT_EQ(deleted.string(0x3004), "Deleted Items folder");
    EXPECT_EQ(deleted.int32(mapi::tag::ContentCount), 0);
    EXPECT_EQ(pst->table(ndb::NID_CONTENTS_TABLE_TEMPLATE)->rowCount(), 0u);
    EXPECT_EQ(pst->storeProperties().int32(0x35DF0003), 201);
}

TEST(PstGolden, SubmessageEmbeddedMessageReadsBack) {
    QM_REQUIRE_GOLDEN(file, "submessage.pst");
    auto pst = PstFile::open(file);
    EXPECT_EQ(pst->displayName(), "submessage");
    mapi::Message msg = pst->readMessage(0x200024);  // non-const: both find()s
    EXPECT_EQ(readableSubject(msg.props),
              "This is a message which has an embedded message attached");
    EXPECT_EQ(msg.props.string(0x1000), "This is the body of the regular message\r\n\r\n");
    EXPECT_EQ(msg.props.int32(mapi::tag::MessageFlags), 49);
    EXPECT_EQ(msg.props.find(0x10130102)->byteSize(), 1653u);
    // Named properties come back with their names, and are found by name only.
    const mapi::Property* named = nullptr;
    for (const auto& p : msg.props)
        if (p.tag == 0x8025001F) named = &p;
    ASSERT_TRUE(named && named->named);
    EXPECT_EQ(msg.props.findNamed(*named->named, mapi::PT_UNICODE), named);
    EXPECT_EQ(msg.props.find(0x8025001F), nullptr);
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
    // An 8-bit subject's marker dropped, decoded with the message's code
    // page, else 1252.
    mapi::PropertyBag bag;
    bag.set(mapi::Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8),
                                    "\x01\x05RE: \xCF\xF0\xE8\xE2\xE5\xF2"));
    EXPECT_EQ(readableSubject(bag, 1251), "RE: Привет");
    EXPECT_EQ(readableSubject(bag), "RE: Ïðèâåò");
    EXPECT_EQ(readableSubject(mapi::PropertyBag()), "");
}

// The dump in formats/outlook-made.md, section by section ("## FILE"): its
// NBT lines ("nid N type bidData B bidSub S nidParent P"), the store's tags
// and the templates' column lists, in order, as we read them.
TEST(PstGolden, ReaderSeesWhatTheOutlookDumpShows) {
    const fs::path md = qm::testing::sharedDir("formats") / "outlook-made.md";
    if (!fs::exists(md)) GTEST_SKIP() << "outlook-made.md not found";
    using Lists = std::map<std::string, std::vector<std::string>>;  // "nodes", "store", a template
    std::map<std::string, Lists> dump;
    std::ifstream in(md);
    std::string line, section, block;
    auto hexOf = [](const std::string& s) { return hex(std::stoull(s, nullptr, 16)); };
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string word, nid, type, k, bidData, bidSub, parent;
        s >> word;
        if (line.starts_with("## ")) {
            section = line.substr(3);
        } else if (word == "STORE" || word == "TEMPLATE" || word == "NAME-TO-ID" ||
                   word == "FOLDER") {
            block = word == "TEMPLATE" ? hexOf(line.substr(9)) : word;
        } else if (word == "nid" &&
                   s >> nid >> type >> k >> bidData >> k >> bidSub >> k >> parent) {
            dump[section]["nodes"].push_back(hexOf(nid) + " " + hexOf(bidData) + " " +
                                             hexOf(bidSub) + " " + hexOf(parent));
        } else if (block == "STORE" && word.starts_with("0x")) {
            dump[section]["store"].push_back(hexOf(word.substr(0, 10)));
        } else if (block.starts_with("0x") && line.find("columns:") != std::string::npos) {
            std::istringstream cols(line.substr(line.find("columns:") + 8));
            for (std::string tag; cols >> tag;) dump[section][block].push_back(hexOf(tag));
        }
    }
    for (const char* name : {"Empty.pst", "submessage.pst"}) {
        QM_REQUIRE_GOLDEN(file, name);
        auto pst = PstFile::open(file);
        ASSERT_EQ(dump[name].size(), 2u + 6) << "nodes, store and six templates";
        Lists seen;
        for (const auto& n : pst->ndb().nodes())
            seen["nodes"].push_back(hex(n.nid) + " " + hex(n.bidData) + " " + hex(n.bidSub) + " " +
                                    hex(n.nidParent));
        const auto store = pst->propertyContext(ndb::NID_MESSAGE_STORE);
        for (const auto& e : store->entries())
            seen["store"].push_back(hex(mapi::makeTag(e.id, e.type)));
        for (const auto& [key, columns] : dump[name]) {
            if (!key.starts_with("0x")) continue;
            const auto table = pst->table(Nid(std::stoul(key, nullptr, 16)));
            for (const auto& c : table->columns()) seen[key].push_back(hex(c.tag));
        }
        EXPECT_EQ(seen, dump[name]) << name;
    }
}

}  // namespace
}  // namespace qm::pst::read
