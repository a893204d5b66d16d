// A store written by us, read by every independent reader; libpff's Python
// binding (pypff) and libpst's readpst must find every folder, message,
// subject, body and attachment byte we wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "mapi/codepage.h"
#include "mapi/tags.h"
#include "pst/store/store.h"
#include "store_test.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;
namespace tag = mapi::tag;
namespace fs = std::filesystem;

namespace {

struct ExpectedAttachment {
    std::string filename;
    uint64_t size = 0;
    uint32_t crc = 0;
};

struct ExpectedMessage {
    std::string subject;
    std::string body;
    std::vector<std::string> recipientEmails;
    std::vector<ExpectedAttachment> attachments;
};

// Folder path under the IPM subtree ("Inbox/Sub") -> its messages in order.
using Expected = std::map<std::string, std::vector<ExpectedMessage>>;

mapi::Message makeMail(const std::string& subject, size_t recipients,
                       const std::vector<uint64_t>& sizes, uint32_t seed, ExpectedMessage& exp) {
    mapi::Message m;
    exp.subject = subject;
    exp.body = "Body of " + subject + "\r\nsecond line, Grüße";
    m.props.set(mapi::Property::utf8(tag::MessageClass, "IPM.Note"));
    m.props.set(mapi::Property::utf8(tag::Subject, subject));
    m.props.set(mapi::Property::utf8(tag::Body, exp.body));
    m.props.set(mapi::Property::utf8(tag::SenderName, "Ann Sender"));
    m.props.set(mapi::Property::utf8(tag::SenderEmailAddress, "ann@example.com"));
    m.props.set(mapi::Property::time(tag::ClientSubmitTime, 0x01D9000000000000ull + seed));
    m.props.set(mapi::Property::time(tag::MessageDeliveryTime, 0x01D9000100000000ull + seed));
    m.props.set(mapi::Property::int32(
        tag::MessageFlags, mapi::MSGFLAG_READ | (sizes.empty() ? 0 : mapi::MSGFLAG_HASATTACH)));
    std::string to;
    for (size_t i = 0; i < recipients; ++i) {
        mapi::Recipient r;
        const std::string email =
            "r" + std::to_string(seed) + "x" + std::to_string(i) + "@example.com";
        r.props.set(mapi::Property::int32(tag::RecipientType, 1));
        r.props.set(mapi::Property::utf8(tag::DisplayName, "Recipient " + std::to_string(i)));
        r.props.set(mapi::Property::utf8(tag::AddressType, "SMTP"));
        r.props.set(mapi::Property::utf8(tag::EmailAddress, email));
        m.recipients.push_back(std::move(r));
        exp.recipientEmails.push_back(email);
        to += (to.empty() ? "" : "; ") + ("Recipient " + std::to_string(i));
    }
    m.props.set(mapi::Property::utf8(tag::DisplayTo, to));
    for (size_t i = 0; i < sizes.size(); ++i) {
        mapi::Attachment a;
        ExpectedAttachment ea;
        ea.filename = "file" + std::to_string(seed) + "-" + std::to_string(i) + ".bin";
        ea.size = sizes[i];
        auto source = std::make_shared<PatternSource>(sizes[i], seed * 31 + uint32_t(i));
        ea.crc = zlibCrc(*source);
        a.props.set(mapi::Property::int32(tag::AttachMethod, mapi::ATTACH_BY_VALUE));
        a.props.set(mapi::Property::utf8(tag::AttachLongFilename, ea.filename));
        a.props.set(mapi::Property::utf8(tag::AttachFilename, ea.filename));
        a.props.set(mapi::Property::utf8(tag::DisplayName, ea.filename));
        mapi::Property data;
        data.tag = tag::AttachDataBinary;
        if (sizes[i] >= (1u << 20)) {
            data.stream = source;
        } else {
            data.value = source->readAll();
        }
        a.props.set(std::move(data));
        m.attachments.push_back(std::move(a));
        exp.attachments.push_back(ea);
    }
    return m;
}

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

uint32_t fileCrc(const fs::path& p) {
    const std::string data = readText(p);
    return zlibCrc(MemorySource(Bytes(data.begin(), data.end())));
}

}  // namespace

class StoreValidators : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir();
        path_ = *dir_ / "validators.pst";
        expected_ = new Expected();
        auto store = Store::create(path_, "Validators");
        const Nid inbox = store->addFolder(store->ipmSubtree(), "Inbox");
        const Nid sub = store->addFolder(inbox, "Sub folder");
        const Nid archive = store->addFolder(store->ipmSubtree(), "Archive 2009");
        struct Plan {
            Nid folder;
            std::string path;
            size_t recipients;
            std::vector<uint64_t> sizes;
        };
        const std::vector<Plan> plan = {
            {inbox, "Inbox", 1, {}},
            {inbox, "Inbox", 3, {5, 70000}},
            {inbox, "Inbox", 0, {1}},
            {sub, "Inbox/Sub folder", 2, {9u << 20}},
            {sub, "Inbox/Sub folder", 300, {}},
            {archive, "Archive 2009", 1, std::vector<uint64_t>(20, 300)},
        };
        (*expected_)["Inbox"];
        (*expected_)["Inbox/Sub folder"];
        (*expected_)["Archive 2009"];
        uint32_t seed = 1;
        for (const Plan& p : plan) {
            ExpectedMessage exp;
            mapi::Message m = makeMail("Subject " + std::to_string(seed) + " Привет", p.recipients,
                                       p.sizes, seed, exp);
            store->addMessage(p.folder, m);
            (*expected_)[p.path].push_back(exp);
            ++seed;
        }
        store->close();
    }
    static void TearDownTestSuite() {
        delete expected_;
        delete dir_;
        expected_ = nullptr;
        dir_ = nullptr;
    }

    static ScratchDir* dir_;
    static fs::path path_;
    static Expected* expected_;
};

ScratchDir* StoreValidators::dir_ = nullptr;
fs::path StoreValidators::path_;
Expected* StoreValidators::expected_ = nullptr;

TEST_F(StoreValidators, EveryReaderReadsItWhole) {
    expectClean(path_);
    qm::testing::validators::expectAllRead(path_);
    const auto r = qm::testing::validators::pffinfo(path_);
    if (r.ran()) {
        EXPECT_NE(r.output.find("64-bit"), std::string::npos) << r.output;
    }
}

TEST_F(StoreValidators, PypffReadsFoldersSubjectsBodiesAndAttachmentBytes) {
    const fs::path script = sourceDir() / "tests/pst/store/pypff_dump.py";
    if (!fs::exists("/usr/bin/python3") || sourceDir().empty() || !fs::exists(script)) {
        GTEST_SKIP() << "/usr/bin/python3 or the dump script is missing";
    }
    if (run("/usr/bin/python3 -c 'import pypff'").exitCode != 0) {
        GTEST_SKIP() << "python3-pypff is not installed";
    }
    const auto r = run("/usr/bin/python3 " + shellQuote(script.string()) + " " +
                       shellQuote(path_.string()) + " 2>/dev/null");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const auto doc = nlohmann::json::parse(r.output);
    std::map<std::string, nlohmann::json> byPath;
    for (const auto& f : doc["folders"]) byPath[f["path"].get<std::string>()] = f;
    for (const auto& [path, messages] : *expected_) {
        SCOPED_TRACE(path);
        const std::string full = "Top of Outlook data file/" + path;
        ASSERT_TRUE(byPath.count(full)) << r.output.substr(0, 2000);
        const auto& got = byPath[full]["messages"];
        ASSERT_EQ(got.size(), messages.size());
        for (size_t i = 0; i < messages.size(); ++i) {
            EXPECT_EQ(got[i]["subject"].get<std::string>(), messages[i].subject);
            EXPECT_EQ(got[i]["body"].get<std::string>(), messages[i].body);
            const auto& atts = got[i]["attachments"];
            ASSERT_EQ(atts.size(), messages[i].attachments.size());
            for (size_t a = 0; a < atts.size(); ++a) {
                EXPECT_EQ(atts[a]["size"].get<uint64_t>(), messages[i].attachments[a].size);
                EXPECT_EQ(atts[a]["crc"].get<uint32_t>(), messages[i].attachments[a].crc);
            }
        }
    }
}

TEST_F(StoreValidators, ReadpstWritesEveryMessageAndAttachment) {
    ScratchDir out;
    const auto r = qm::testing::validators::readpst(path_, out.path());
    if (!r.ran()) GTEST_SKIP() << r.skipped;
    ASSERT_TRUE(r.clean()) << r.diagnostics;
    // readpst names the top folder after the store; find each folder by name.
    std::map<std::string, fs::path> folders;
    for (const auto& e : fs::recursive_directory_iterator(out.path())) {
        if (e.is_directory()) folders[e.path().filename().string()] = e.path();
    }
    for (const auto& [path, messages] : *expected_) {
        SCOPED_TRACE(path);
        const std::string leaf =
            path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
        ASSERT_TRUE(folders.count(leaf)) << leaf;
        std::vector<fs::path> mails;
        std::vector<fs::path> attachments;
        for (const auto& e : fs::directory_iterator(folders[leaf])) {
            if (!e.is_regular_file()) continue;
            const std::string name = e.path().filename().string();
            (name.find('-') == std::string::npos ? mails : attachments).push_back(e.path());
        }
        ASSERT_EQ(mails.size(), messages.size());
        size_t wantAttachments = 0;
        for (const auto& msg : messages) {
            wantAttachments += msg.attachments.size();
            for (const auto& want : msg.attachments) {
                auto it =
                    std::find_if(attachments.begin(), attachments.end(), [&](const fs::path& p) {
                        const std::string n = p.filename().string();
                        return n.size() > want.filename.size() &&
                               n.compare(n.size() - want.filename.size(), want.filename.size(),
                                         want.filename) == 0;
                    });
                ASSERT_NE(it, attachments.end()) << want.filename;
                EXPECT_EQ(fs::file_size(*it), want.size) << want.filename;
                EXPECT_EQ(fileCrc(*it), want.crc) << want.filename;
            }
        }
        EXPECT_EQ(attachments.size(), wantAttachments);
    }
}
