// Stores written through the Store API and read back. Our reader gives every
// message back whole, with sizes and contents rows true to the file. Our
// reader cannot catch a wrong code page; readers we did not write (libpff,
// pst-extractor) show the text decoded by mapi::decodeString8's rule, and
// libpff and readpst the attachments' bytes. Two stores: generated messages
// of every kind, and every readable .msg of ../shared/corpus.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "message_compare.h"
#include "msg/msg.h"
#include "pst/ndb/crc.h"
#include "pst/pst_test.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "support/message_gen.h"
#include "support/validators.h"

namespace qm::pst::storetest {
namespace {

using namespace qm::pst::testing;
namespace validators = qm::testing::validators;
namespace tag = mapi::tag;
using nlohmann::json;
using Texts = std::map<uint16_t, std::u16string>;

constexpr uint16_t kMessageIds[] = {0x0037, 0x0C1A, 0x1000};  // subject, sender, body
constexpr uint16_t kAttachmentIds[] = {0x3001, 0x3704, 0x3707};

// The CRC-32 zlib computes (inverted in and out), from the PST's uninverted one.
uint32_t zlibCrc(const ByteSource& source) {
    uint32_t crc = 0xFFFFFFFF;
    Bytes buf(1 << 16);
    for (uint64_t off = 0; off < source.size(); off += buf.size()) {
        const size_t n = size_t(std::min<uint64_t>(buf.size(), source.size() - off));
        source.read(off, std::span<uint8_t>(buf.data(), n));
        crc = ndb::crc32(buf.data(), n, crc);
    }
    return crc ^ 0xFFFFFFFF;
}

uint32_t crcOf(const mapi::Property& p) {
    return p.stream ? zlibCrc(*p.stream) : zlibCrc(MemorySource(p.value));
}

Texts textsOf(const mapi::PropertyBag& bag, std::span<const uint16_t> ids) {
    Texts out;
    for (uint16_t id : ids)
        if (const auto* p = bag.find(mapi::makeTag(id, mapi::PT_UNICODE)))
            out[id] = mapi::utf16FromLE(p->bytes());
    return out;
}

std::u16string fromHex(const json& hex) {
    const std::string s = hex.get<std::string>();
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(uint8_t(std::stoi(s.substr(i, 2), nullptr, 16)));
    return mapi::utf16FromLE(b);
}

// As pst-extractor shows a string: NUL characters removed, "" when absent.
std::string shown(const Texts& texts, uint16_t id) {
    const auto it = texts.find(id);
    std::u16string s = it == texts.end() ? u"" : it->second;
    std::erase(s, u'\0');
    return mapi::toUtf8(s);
}

struct Written {
    std::string source;     // the .msg, or the generated message's name
    std::string folder;     // its folder's path below the IPM subtree
    mapi::Message message;  // as given to the store
    mapi::Message decoded;  // its 8-bit strings decoded by the rule
};

struct Built {
    ScratchDir dir;
    fs::path path;
    std::map<Nid, Written> written;
    std::map<std::string, Nid> folders;

    Nid folder(Store& store, const std::string& path) {
        if (auto it = folders.find(path); it != folders.end()) return it->second;
        const size_t slash = path.rfind('/');
        const Nid parent =
            slash == std::string::npos ? store.ipmSubtree() : folder(store, path.substr(0, slash));
        return folders[path] = store.addFolder(parent, path.substr(slash + 1));
    }
    void add(Store& store, const std::string& source, const std::string& path, mapi::Message m) {
        SCOPED_TRACE(source);
        Written w{source, path, m.clone(), m.clone()};
        const auto warnings = mapi::decodeString8(w.decoded);
        Nid nid = 0;
        ASSERT_NO_THROW(nid = store.addMessage(folder(store, path), m));
        EXPECT_EQ(store.lastMessageWarnings(), warnings);
        written.emplace(nid, std::move(w));
    }
};

std::unique_ptr<Built> generatedStore() {
    auto b = std::make_unique<Built>();
    b->path = b->dir / "generated.pst";
    auto store = Store::create(b->path, "Generated");
    using Spec = qm::testing::MessageSpec;
    const std::vector<std::pair<const char*, std::function<void(Spec&)>>> rows = {
        {"no recipients", [](Spec& s) { s.recipients = 0, s.messageClass = "IPM.Post"; }},
        {"hundreds", [](Spec& s) { s.recipients = 300, s.attachmentSizes.assign(300, 100); }},
        {"embedded", [](Spec& s) { s.embedDepth = 3, s.namedById = 3; }},
        {"every type", [](Spec& s) { s.allTypes = true, s.namedById = 6, s.namedByName = 5; }},
        {"bodies", [](Spec& s) { s.oleAttachment = true, s.htmlBody = true, s.rtfBody = true; }},
        {"9 MiB and edge sizes",
         [](Spec& s) {
             s.attachmentSizes = {9u << 20, 0, 8176, 8177};
         }},
        {"eight-bit embedded",
         [](Spec& s) { s.embedDepth = 1, s.unicode = false, s.attachmentSizes = {4000}; }},
        {"sizes",
         [](Spec& s) {
             s.attachmentSizes = {20, 70000}, s.embedDepth = 2, s.recipients = 5;
         }},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        Spec spec;
        spec.seed = uint32_t(i + 1);
        spec.subject = "Message " + std::to_string(i);
        rows[i].second(spec);
        b->add(*store, rows[i].first, i % 2 ? "Inbox" : "Inbox/Projects/Quillmark",
               withTrueFlags(qm::testing::makeMessage(spec)));
    }
    // Enough rows for the contents table's row matrix to leave the heap;
    // some unread, a third in 8-bit strings.
    for (uint32_t i = 0; i < 40; ++i) {
        Spec spec;
        spec.seed = i + 7;
        spec.unicode = i % 3 != 0;
        spec.subject = "Row " + std::to_string(i);
        spec.attachmentSizes.assign(i % 2, 30);
        mapi::Message m = withTrueFlags(qm::testing::makeMessage(spec));
        if (i % 4 == 0) m.props.set(mapi::Property::int32(tag::MessageFlags, 0));
        b->add(*store, spec.subject, "Rows", std::move(m));
    }
    store->close();
    return b;
}

std::unique_ptr<Built> corpusStore() {
    const auto files = qm::testing::sharedFiles("corpus", ".msg");
    if (files.empty()) return nullptr;
    auto b = std::make_unique<Built>();
    b->path = b->dir / "corpus.pst";
    auto store = Store::create(b->path, "Corpus");
    for (const auto& file : files) {
        try {
            b->add(*store, file.string(), "Corpus/" + file.parent_path().filename().string(),
                   withTrueFlags(msg::readMsgFile(file)));  // 8-bit strings as read
        } catch (const FormatError&) {
            // The corpus's broken files: the MSG tests cover them.
        }
    }
    store->close();
    EXPECT_GT(b->written.size(), files.size() / 2);
    return b;
}

class StoreReaders : public ::testing::TestWithParam<bool> {
  protected:
    static void TearDownTestSuite() { stores_.clear(); }
    // The store of this parameter (true: the corpus), written once.
    const Built* store() {
        auto& b = stores_[GetParam()];
        if (!b) b = GetParam() ? corpusStore() : generatedStore();
        return b.get();
    }
    static std::map<bool, std::unique_ptr<Built>> stores_;
};
std::map<bool, std::unique_ptr<Built>> StoreReaders::stores_;

TEST_P(StoreReaders, OurReaderReadsEveryMessageBackWholeWithTrueSizesAndRows) {
    const Built* b = store();
    if (!b) GTEST_SKIP() << "no corpus at $QM_SHARED_DIR/corpus";
    expectClean(b->path);
    auto pst = read::PstFile::open(b->path);
    const auto& db = pst->ndb();
    std::map<Nid, size_t> counts;  // messages per folder (the checker holds the folders' counts)
    for (const auto& [nid, w] : b->written) {
        SCOPED_TRACE(w.source);
        ++counts[b->folders.at(w.folder)];
        mapi::Message expected = w.message.clone(), back = pst->readMessage(nid);
        // PidTagMessageSize is what the node holds; an attachment's size
        // adds up its values, an embedded message by its own size.
        const auto* node = db.findNode(nid);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(uint64_t(back.props.int32(tag::MessageSize).value_or(-1)),
                  nodeBytes(db, node->bidData, node->bidSub));
        for (const auto& a : back.attachments) {
            if (a.method() == mapi::ATTACH_OLE) continue;  // its object counts its own way
            uint64_t sum =
                a.embedded ? uint64_t(a.embedded->props.int32(tag::MessageSize).value_or(-1)) : 0;
            for (const auto& p : a.props) {
                const size_t fixed = mapi::fixedSize(p.type());
                if (p.type() != mapi::PT_OBJECT)
                    sum += (fixed && !mapi::isMultiValued(p.type())) ? fixed : p.byteSize();
            }
            EXPECT_EQ(a.props.int32(tag::AttachSize), int32_t(sum));
        }
        for (const auto& s : db.readSubnodes(node->bidSub))
            for (const auto& inner : db.readSubnodes(s.bidSub))
                if (ndb::nidType(inner.nid) == ndb::NID_TYPE_NORMAL_MESSAGE) {
                    read::PropertyContext pc(pst->ndbHandle(), inner.bidData, inner.bidSub, "");
                    EXPECT_EQ(uint64_t(pc.properties().int32(tag::MessageSize).value_or(-1)),
                              nodeBytes(db, inner.bidData, inner.bidSub));
                }
        normalize(expected, back);
        EXPECT_EQ(qm::testing::diffMessages(expected, back), "");
    }
    for (const auto& [folder, count] : counts) {
        // The checker holds the other cells to the message; a size it only notes.
        const auto table = pst->table(ndb::withNidType(folder, ndb::NID_TYPE_CONTENTS_TABLE));
        ASSERT_EQ(table->rowCount(), count);
        for (size_t r = 0; r < table->rowCount(); ++r)
            EXPECT_EQ(table->rowProperties(r).int32(tag::MessageSize),
                      pst->propertyContext(table->rowId(r))->properties().int32(tag::MessageSize));
    }
}

std::string text(const json& j, const char* key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

// What pst-extractor (the java-libpst family) shows in its walk
// (tests/tools/pst_extractor_walk.js, "texts"): the source's text decoded.
void expectPstExtractorShows(const Built& b, const std::string& output) {
    const size_t at = output.rfind("\n{");
    const json walk = json::parse(output.substr(at == std::string::npos ? 0 : at + 1));
    size_t seen = 0;
    for (const auto& m : walk.at("texts")) {
        const std::string where = text(m, "where");  // "... message NID"
        const auto it = b.written.find(Nid(std::stoul(where.substr(where.rfind(' ') + 1))));
        if (it == b.written.end()) continue;
        const mapi::Message& d = it->second.decoded;
        SCOPED_TRACE("pst-extractor, " + it->second.source);
        ++seen;
        const Texts texts = textsOf(d.props, kMessageIds);
        EXPECT_EQ(text(m, "subject"), shown(texts, 0x0037));
        EXPECT_EQ(text(m, "sender"), shown(texts, 0x0C1A));
        EXPECT_EQ(text(m, "body"), shown(texts, 0x1000));
        const auto& recipients = m.at("recipients");  // the first 50
        ASSERT_EQ(recipients.size(), std::min<size_t>(d.recipients.size(), 50));
        for (size_t i = 0; i < recipients.size(); ++i)
            EXPECT_EQ(recipients[i].is_string() ? recipients[i].get<std::string>() : "",
                      shown(textsOf(d.recipients[i].props, kAttachmentIds), 0x3001));
        const auto& atts = m.at("attachments");  // its long name, short name or display name
        ASSERT_EQ(atts.size(), d.attachments.size());
        for (size_t i = 0; i < atts.size(); ++i) {
            const Texts a = textsOf(d.attachments[i].props, kAttachmentIds);
            std::string name = shown(a, 0x3707);
            if (name.empty()) name = shown(a, 0x3704);
            if (name.empty()) name = shown(a, 0x3001);
            EXPECT_EQ(atts[i].is_string() ? atts[i].get<std::string>() : "", name);
        }
    }
    EXPECT_EQ(seen, b.written.size()) << "pst-extractor lists fewer messages than were written";
}

// libpff's raw values: `want` and nothing else of the ids it looks at, each
// stored as PtypString.
void expectValues(const Texts& want, const json& values, const std::string& what) {
    Texts got;
    for (const auto& v : values) {
        const uint16_t id = v.at("id").get<uint16_t>();
        EXPECT_EQ(v.at("type").get<int>(), mapi::PT_UNICODE) << what << " 0x" << std::hex << id;
        got[id] = fromHex(v.at("hex"));
        // The subject as Outlook stores it: U+0001, prefix length + 1, subject.
        if (id == 0x0037 && !got[id].empty()) {
            EXPECT_EQ(got[id][0], u'\x01') << what;
            got[id].erase(0, 2);
        }
    }
    EXPECT_EQ(got, want) << what;
}

// What libpff (pypff_walk.py, "items") shows: the source's texts as stored, and
// every attachment's bytes.
void expectLibpffShows(const Built& b, const json& walk) {
    size_t seen = 0;
    for (const auto& m : walk.at("items")) {
        const auto it = b.written.find(Nid(m.at("nid").get<uint32_t>()));
        if (it == b.written.end()) continue;
        const Written& w = it->second;
        ++seen;
        EXPECT_EQ(m.at("folder"), "Top of Outlook data file/" + w.folder) << w.source;
        expectValues(textsOf(w.decoded.props, kMessageIds), m.at("values"), w.source);
        const auto& atts = m.at("attachments");
        ASSERT_EQ(atts.size(), w.decoded.attachments.size()) << w.source;
        for (size_t i = 0; i < atts.size(); ++i) {
            const auto& a = w.decoded.attachments[i];
            expectValues(textsOf(a.props, kAttachmentIds), atts[i].at("values"),
                         w.source + " attachment " + std::to_string(i));
            const auto* data = a.props.find(tag::AttachDataBinary);
            if (!data) continue;
            EXPECT_EQ(atts[i].value("size", uint64_t(-1)), data->byteSize()) << w.source;
            EXPECT_EQ(atts[i].value("crc", 0u), crcOf(*data)) << w.source;
        }
    }
    EXPECT_EQ(seen, b.written.size()) << "libpff lists fewer messages than were written";
}

// Every independent reader reads the store whole; pst-extractor and libpff
// show the texts, readpst writes every attachment's bytes, pffexport every
// message (or says it skipped its kind) with its recipients' names.
TEST_P(StoreReaders, EveryReaderReadsItWholeAndWritesItOut) {
    const Built* b = store();
    if (!b) GTEST_SKIP() << "no corpus at $QM_SHARED_DIR/corpus";
    validators::Options options;
    options.readpstTypes = "eajc";
    options.holdsMultipleGuid = !GetParam();
    const auto results = validators::all(b->path, options);
    validators::expectClean(results);
    for (const auto& r : results) {
        if (r.reader == "pst-extractor" && r.ran()) expectPstExtractorShows(*b, r.output);
        if (r.reader == "pypff" && r.ran() && r.walk.is_object()) expectLibpffShows(*b, r.walk);
    }
    ScratchDir out;
    fs::create_directory(out / "readpst");
    if (const auto r = validators::readpst(b->path, out / "readpst", "eajc"); r.ran()) {
        std::multiset<std::pair<uint64_t, uint32_t>> files;
        for (const auto& e : fs::recursive_directory_iterator(out / "readpst"))
            if (e.is_regular_file() && e.path().filename().string().find('-') != std::string::npos)
                files.insert({fs::file_size(e), zlibCrc(MemorySource(readFile(e)))});
        for (const auto& [nid, w] : b->written)
            for (const auto& a : w.message.attachments)
                if (const auto* data = a.props.find(tag::AttachDataBinary);
                    data && data->byteSize() > 0) {  // no file for no bytes
                    const auto it = files.find({data->byteSize(), crcOf(*data)});
                    ASSERT_NE(it, files.end()) << w.source << ": an attachment's bytes";
                    files.erase(it);
                }
    }
    const auto r = validators::pffexport(b->path, out.path());
    if (!r.ran()) return;
    const std::string said = r.output + r.diagnostics;
    size_t skipped = 0, exported = 0;
    for (size_t at = said.find("Skipped item"); at != std::string::npos;
         at = said.find("Skipped item", at + 1))
        ++skipped;
    std::map<std::string, size_t> index;
    for (const auto& [nid, w] : b->written) {
        // Items are numbered in folder order: Message00003, Appointment00003, ...
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "%05zu", ++index[w.folder]);
        const fs::path folder = out / "export.export" / "Top of Outlook data file" / w.folder;
        fs::path item;
        for (const auto& e : fs::directory_iterator(folder))
            if (e.is_directory() && e.path().string().ends_with(suffix)) item = e.path();
        if (item.empty()) continue;
        ++exported;
        // "Display name:\t\t..." for each recipient that has one.
        std::vector<std::string> names, want;
        std::ifstream in(item / "Recipients.txt");
        for (std::string line; std::getline(in, line);)
            if (line.starts_with("Display name:") &&
                line.find_first_not_of('\t', 13) != std::string::npos)
                names.push_back(line.substr(line.find_first_not_of('\t', 13)));
        for (const auto& rcpt : w.decoded.recipients)
            if (const auto* p = rcpt.props.find(mapi::makeTag(0x3001, mapi::PT_UNICODE)))
                if (!p->value.empty()) want.push_back(mapi::toUtf8(mapi::utf16FromLE(p->value)));
        EXPECT_EQ(names, want) << w.source;
    }
    EXPECT_EQ(exported + skipped, b->written.size()) << said.substr(0, 4000);
}

INSTANTIATE_TEST_SUITE_P(, StoreReaders, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Corpus" : "Generated"; });

}  // namespace
}  // namespace qm::pst::storetest
