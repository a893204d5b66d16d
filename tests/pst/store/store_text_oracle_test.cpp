// The text a reader we did not write shows is the text the sender wrote:
// every readable .msg of the shared corpus goes into one store, and libpff
// reads back, as raw property values (pypff) and as its export's recipient
// lists (pffexport), and pst-extractor shows, the subject, sender name,
// body, recipient display names and attachment names: each must be Unicode
// and equal to the text decoded from the .msg by mapi::decodeString8's rule. A comparison of our
// writer with our own reader cannot catch a wrong code page; this can.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/msg.h"
#include "pst/store/store.h"
#include "store_test.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t kSubject = 0x0037;
constexpr uint16_t kSenderName = 0x0C1A;
constexpr uint16_t kBody = 0x1000;
constexpr uint16_t kDisplayName = 0x3001;
constexpr uint16_t kMessageIds[] = {kSubject, kSenderName, kBody};
constexpr uint16_t kAttachmentIds[] = {kDisplayName, 0x3704, 0x3707};

using Texts = std::map<uint16_t, std::u16string>;

struct Expected {
    fs::path source;
    std::string folder;
    size_t indexInFolder = 0;
    Texts message;
    std::vector<std::u16string> recipients;  // display names, in order ("" when none)
    std::vector<Texts> attachments;
};

Texts textsOf(const mapi::PropertyBag& bag, std::span<const uint16_t> ids) {
    Texts out;
    for (uint16_t id : ids) {
        if (const mapi::Property* p = bag.find(mapi::makeTag(id, mapi::PT_UNICODE)))
            out[id] = mapi::utf16FromLE(p->bytes());
    }
    return out;
}

Bytes fromHex(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

// pypff_text.py's values: id -> (type, text as UTF-16).
std::map<uint16_t, std::pair<int, std::u16string>> readValues(const nlohmann::json& values) {
    std::map<uint16_t, std::pair<int, std::u16string>> out;
    for (const auto& v : values) {
        out[uint16_t(v.at("id").get<int>())] = {v.at("type").get<int>(),
                                                mapi::utf16FromLE(fromHex(v.at("hex")))};
    }
    return out;
}

void expectSame(const Texts& want, const nlohmann::json& values, const std::string& what) {
    const auto got = readValues(values);
    for (const auto& [id, text] : want) {
        SCOPED_TRACE(what + " property 0x" + std::to_string(id));
        const auto it = got.find(id);
        ASSERT_NE(it, got.end()) << "libpff finds no value";
        EXPECT_EQ(it->second.first, mapi::PT_UNICODE) << "stored as another type";
        std::u16string shown = it->second.second;
        if (id == kSubject && !text.empty()) {
            // Stored as Outlook stores it: U+0001, prefix length + 1, subject.
            ASSERT_GE(shown.size(), 2u);
            EXPECT_EQ(shown[0], u'\x01');
            shown.erase(0, 2);
        }
        EXPECT_EQ(mapi::toUtf8(shown), mapi::toUtf8(text));
    }
    for (const auto& [id, typeAndText] : got) {
        EXPECT_TRUE(want.count(id))
            << what << ": libpff finds 0x" << std::hex << id << " the source does not have";
    }
}

// pffexport's Recipients.txt: one "Display name:\t\t..." line per recipient.
std::vector<std::u16string> exportedRecipients(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::u16string> names;
    const std::string key = "Display name:";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) != 0) continue;
        size_t at = key.size();
        while (at < line.size() && line[at] == '\t') ++at;
        names.push_back(mapi::fromUtf8(line.substr(at)));
    }
    return names;
}

// The exported item numbered `n` in `folder` (Message00003, Appointment00003, ...).
fs::path exportedItem(const fs::path& folder, size_t n) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%05zu", n);
    if (!fs::is_directory(folder)) return {};
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (e.is_directory() && name.size() > 5 && name.compare(name.size() - 5, 5, suffix) == 0)
            return e.path();
    }
    return {};
}

fs::path pstExtractorModule() {
    std::vector<fs::path> candidates;
    if (const char* dir = std::getenv("QM_PST_EXTRACTOR")) candidates.emplace_back(dir);
    candidates.push_back(sourceDir() / "tests/tools/node_modules/pst-extractor");
    for (const auto& c : candidates)
        if (fs::exists(c / "package.json")) return c;
    return {};
}

std::string shown(const nlohmann::json& hex) {
    return mapi::toUtf8(mapi::utf16FromLE(fromHex(hex.get<std::string>())));
}

// As pst-extractor shows a string: NUL characters removed, "" when absent.
std::string shownAs(std::u16string s) {
    std::erase(s, u'\0');
    return mapi::toUtf8(s);
}

std::string text(const Texts& texts, uint16_t id) {
    const auto it = texts.find(id);
    return it == texts.end() ? "" : shownAs(it->second);
}

// What pst-extractor shows (pst_extractor_text.js): the same texts, read the
// way the java-libpst family reads them.
void expectPstExtractorShows(const fs::path& pst, const std::map<Nid, Expected>& expected) {
    const fs::path module = pstExtractorModule();
    if (module.empty() || run("command -v node").exitCode != 0) {
        std::cout << "pst-extractor or node is missing: pst-extractor not compared\n";
        return;
    }
    constexpr int kSeconds = 60;
    const CommandResult r =
        run("{ timeout " + std::to_string(kSeconds) + " node " +
            shellQuote((sourceDir() / "tests/pst/store/pst_extractor_text.js").string()) + " " +
            shellQuote(module.string()) + " " + shellQuote(pst.string()) + " 2>/dev/null; }");
    if (r.exitCode == 124) {
        // It loops on heaps laid out unlike Outlook's; that is the layout's
        // test to catch, not this one.
        std::cout << "pst-extractor did not finish in " << kSeconds
                  << " s: pst-extractor not compared\n";
        return;
    }
    ASSERT_EQ(r.exitCode, 0) << r.output.substr(0, 2000);
    const auto json = nlohmann::json::parse(r.output);
    size_t seen = 0;
    for (const auto& m : json.at("messages")) {
        const auto it = expected.find(Nid(m.at("nid").get<uint32_t>()));
        if (it == expected.end()) continue;
        const Expected& exp = it->second;
        SCOPED_TRACE("pst-extractor, " + exp.source.string());
        ++seen;
        EXPECT_EQ(shown(m.at("subject")), text(exp.message, kSubject));
        EXPECT_EQ(shown(m.at("sender")), text(exp.message, kSenderName));
        EXPECT_EQ(shown(m.at("body")), text(exp.message, kBody));
        EXPECT_EQ(m.at("recipientCount").get<size_t>(), exp.recipients.size());
        const auto& recipients = m.at("recipients");
        for (size_t i = 0; i < recipients.size() && i < exp.recipients.size(); ++i)
            EXPECT_EQ(shown(recipients[i]), shownAs(exp.recipients[i])) << "recipient " << i;
        const auto& atts = m.at("attachments");
        ASSERT_EQ(atts.size(), exp.attachments.size());
        for (size_t i = 0; i < atts.size(); ++i) {
            EXPECT_EQ(shown(atts[i].at("display")), text(exp.attachments[i], kDisplayName));
            EXPECT_EQ(shown(atts[i].at("file")), text(exp.attachments[i], 0x3704));
            EXPECT_EQ(shown(atts[i].at("long")), text(exp.attachments[i], 0x3707));
        }
    }
    EXPECT_EQ(seen, expected.size()) << "pst-extractor lists fewer messages than were written";
}

}  // namespace

TEST(StoreTextOracle, LibpffShowsTheCorpusTextDecodedByTheRule) {
    const fs::path corpus = sharedDir() / "corpus";
    if (sharedDir().empty() || !fs::exists(corpus)) {
        GTEST_SKIP() << "no corpus at $QM_SHARED_DIR/corpus: the text oracle is skipped";
    }
    if (!fs::exists("/usr/bin/python3") ||
        run("/usr/bin/python3 -c 'import pypff'").exitCode != 0) {
        GTEST_SKIP() << "python3-pypff is not installed: the text oracle is skipped";
    }
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus)) {
        if (e.is_regular_file() && e.path().extension() == ".msg") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());

    ScratchDir dir;
    const auto path = dir / "text.pst";
    auto store = Store::create(path, "Text");
    const Nid top = store->addFolder(store->ipmSubtree(), "Corpus");
    std::map<std::string, Nid> folders;
    std::map<std::string, size_t> counts;
    std::map<Nid, Expected> expected;
    for (const auto& file : files) {
        mapi::Message m;
        try {
            m = msg::readMsgFile(file);
        } catch (const FormatError&) {
            continue;  // the broken files of the corpus: the MSG tests cover them
        }
        Expected exp;
        exp.source = file;
        exp.folder = file.parent_path().filename().string();
        mapi::Message decoded = m.clone();
        const auto warnings = mapi::decodeString8(decoded);
        for (const auto& w : warnings) std::cout << file.filename().string() << ": " << w << "\n";
        exp.message = textsOf(decoded.props, kMessageIds);
        for (const auto& r : decoded.recipients) {
            const auto* p = r.props.find(mapi::makeTag(kDisplayName, mapi::PT_UNICODE));
            exp.recipients.push_back(p ? mapi::utf16FromLE(p->bytes()) : std::u16string());
        }
        for (const auto& a : decoded.attachments)
            exp.attachments.push_back(textsOf(a.props, kAttachmentIds));

        if (!folders.count(exp.folder)) folders[exp.folder] = store->addFolder(top, exp.folder);
        exp.indexInFolder = ++counts[exp.folder];
        SCOPED_TRACE(file.string());
        Nid nid = 0;
        ASSERT_NO_THROW(nid = store->addMessage(folders[exp.folder], m));  // 8-bit as read
        EXPECT_EQ(store->lastMessageWarnings(), warnings);
        expected[nid] = std::move(exp);
    }
    store->close();
    ASSERT_GT(expected.size(), files.size() / 2);

    const CommandResult dump =
        run("{ /usr/bin/python3 " +
            shellQuote((sourceDir() / "tests/pst/store/pypff_text.py").string()) + " " +
            shellQuote(path.string()) + " 2>/dev/null; }");
    ASSERT_EQ(dump.exitCode, 0) << dump.output.substr(0, 2000);
    const auto json = nlohmann::json::parse(dump.output);
    size_t seen = 0;
    for (const auto& m : json.at("messages")) {
        const auto it = expected.find(Nid(m.at("nid").get<uint32_t>()));
        if (it == expected.end()) continue;
        const Expected& exp = it->second;
        SCOPED_TRACE(exp.source.string());
        ++seen;
        expectSame(exp.message, m.at("values"), "message");
        const auto& atts = m.at("attachments");
        ASSERT_EQ(atts.size(), exp.attachments.size());
        for (size_t i = 0; i < atts.size(); ++i)
            expectSame(exp.attachments[i], atts[i], "attachment " + std::to_string(i));
    }
    EXPECT_EQ(seen, expected.size()) << "libpff lists fewer messages than were written";

    expectPstExtractorShows(path, expected);
    if (!fs::exists("/usr/bin/pffexport")) {
        std::cout << "pffexport is not installed: recipient names not compared\n";
        return;
    }
    ScratchDir out;
    const auto r =
        run("cd " + shellQuote(out.path().string()) +
            " && /usr/bin/pffexport -m all -f all -t export " + shellQuote(path.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output.substr(0, 2000);
    const fs::path base = out / "export.export" / "Top of Outlook data file" / "Corpus";
    size_t compared = 0;
    for (const auto& [nid, exp] : expected) {
        SCOPED_TRACE(exp.source.string());
        const fs::path item = exportedItem(base / exp.folder, exp.indexInFolder);
        if (item.empty()) continue;  // an item kind pffexport skips (it says so)
        const fs::path list = item / "Recipients.txt";
        if (exp.recipients.empty() && !fs::exists(list)) continue;
        ASSERT_TRUE(fs::exists(list));
        // A recipient without a display name is an empty line there.
        auto names = exportedRecipients(list);
        std::erase_if(names, [](const std::u16string& n) { return n.empty(); });
        std::vector<std::u16string> named;
        std::copy_if(exp.recipients.begin(), exp.recipients.end(), std::back_inserter(named),
                     [](const std::u16string& n) { return !n.empty(); });
        ASSERT_EQ(names.size(), named.size());
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(mapi::toUtf8(names[i]), mapi::toUtf8(named[i])) << "recipient " << i;
        ++compared;
    }
    EXPECT_GT(compared, expected.size() / 2);
    std::cout << seen << " messages compared through pypff, " << compared
              << " recipient lists through pffexport\n";
}
