// Real files other software wrote ($QM_SHARED_DIR/corpus, read in place):
// every file reads, or (where index.csv calls it broken) fails with a clear
// reason, and what it holds agrees with index.csv (damaged copies of them are
// in MsgSalvage). Independent readers: python3-olefile must see the same
// property tags and value bytes as our reader (tests/tools/msg_dump.py), and
// msgconvert must read the files our writer makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/msg.h"
#include "msg/nameid.h"
#include "msg/rtf_header.h"
#include "support/message_gen.h"
#include "support/scratch_dir.h"

using namespace qm;
using namespace qm::mapi;
namespace fs = std::filesystem;

namespace {

fs::path corpusDir() {
    const char* shared = std::getenv("QM_SHARED_DIR");
    return shared && fs::is_directory(fs::path(shared) / "corpus") ? fs::path(shared) / "corpus"
                                                                   : fs::path();
}
#define REQUIRE_CORPUS(dir)           \
    const fs::path dir = corpusDir(); \
    if (dir.empty()) GTEST_SKIP() << "QM_SHARED_DIR/corpus is absent: corpus checks skipped"

// Runs `command` through the shell; its standard output, and its exit status
// in `*status`.
std::string run(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    char buf[65536];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int rc = p ? ::pclose(p) : -1;
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}
std::string quoted(const fs::path& p) {
    std::string q = "'";
    for (char c : p.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

using Row = std::map<std::string, std::string>;
// index.csv: RFC 4180 quoting, one header line, no line breaks in fields.
std::vector<Row> readIndex(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> records;
    for (std::string line; std::getline(in, line);) {
        auto& fields = records.emplace_back(1);
        for (size_t i = 0, quotes = 0; i < line.size(); ++i) {
            if (line[i] == '"') {
                if (++quotes % 2 == 1 && i > 0 && line[i - 1] == '"') fields.back() += '"';
            } else if (line[i] == ',' && quotes % 2 == 0) {
                fields.emplace_back();
            } else if (line[i] != '\r') {
                fields.back() += line[i];
            }
        }
    }
    std::vector<Row> rows;
    for (size_t r = 1; r < records.size(); ++r) {
        if (records[r].size() < records[0].size()) continue;
        Row& row = rows.emplace_back();
        for (size_t k = 0; k < records[0].size(); ++k) row[records[0][k]] = records[r][k];
    }
    return rows;
}

std::string classOf(const Message& m) {
    return m.props.string(0x001A, m.stringCodePage()).value_or("");
}

// index.csv shows 8-bit subjects decoded by the store's rule (decodeString8,
// falling back to 1252), cut to 60 characters.
std::string indexedSubject(const Message& m) {
    Message decoded = m.clone();
    decodeString8(decoded);
    const std::u16string s = fromUtf8(decoded.props.string(0x0037).value_or(""));
    return toUtf8(s.substr(0, 60));
}

// What our reader leaves in PidTagRtfCompressed is sound: LZFu expands to
// RAWSIZE, MELA's sizes match its RTF.
void expectSoundRtf(Bytes v) {
    EXPECT_EQ(loadLE32(&v[0]) + 4u, v.size());
    const std::span<const uint8_t> data(v.data() + 16, v.size() - 16);
    if (loadLE32(&v[8]) == msg::kRtfCompressed) {
        auto raw = msg::decompressLzfu(data, loadLE32(&v[4]));
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->size(), loadLE32(&v[4]));
        EXPECT_EQ(std::string(raw->begin(), raw->begin() + 5), "{\\rtf");
        EXPECT_EQ(msg::nameIdCrc(data), loadLE32(&v[12]));
    } else {
        EXPECT_EQ(loadLE32(&v[4]), data.size());
    }
    EXPECT_EQ(msg::repairRtfHeader(v), "");
}

TEST(MsgCorpus, EveryFileReadsMatchesTheIndexAndRewritesTheSame) {
    REQUIRE_CORPUS(corpus);
    const auto rows = readIndex(corpus / "index.csv");
    ASSERT_GE(rows.size(), 40u);
    size_t read = 0, broken = 0, rtf = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.at("file"));
        const bool isBroken = row.at("contents").find("BROKEN") != std::string::npos;
        Message m;
        try {
            m = msg::readMsgFile(corpus / row.at("file"));
        } catch (const FormatError& e) {
            EXPECT_TRUE(isBroken) << e.what();
            EXPECT_EQ(e.file(), (corpus / row.at("file")).string());
            EXPECT_FALSE(e.reason().empty());
            ++broken;
            continue;
        }
        ++read;
        const Property* p = m.props.find(tag::RtfCompressed);
        if (p && !p->stream && p->value.size() >= msg::kRtfHeaderSize) {
            ++rtf;
            expectSoundRtf(p->value);
        }
        bool rtfWarned = false;
        for (const auto& w : m.warnings) rtfWarned |= w.find("PidTagRtfCompressed") != w.npos;
        EXPECT_EQ(rtfWarned, row.at("file") == "hfig-MAPI/sample.msg");

        const Message back = msg::readMsg(msg::writeMsg(m));
        EXPECT_EQ(qm::testing::diffMessages(m, back), "");
        if (isBroken) continue;  // read despite its defects: nothing to compare
        EXPECT_EQ(classOf(m), row.at("msg_class"));
        EXPECT_EQ(indexedSubject(m), row.at("subject"));
        EXPECT_EQ(std::to_string(m.recipients.size()), row.at("recips"));
        EXPECT_EQ(std::to_string(m.attachments.size()), row.at("attachs"));
    }
    EXPECT_GE(read, 45u);
    EXPECT_GT(rtf, 10u);
    std::cout << read << " corpus files read, " << broken << " rejected as broken\n";
}

std::string hex(const Bytes& b) {
    std::string s;
    for (uint8_t c : b) {
        s += "0123456789abcdef"[c >> 4];
        s += "0123456789abcdef"[c & 15];
    }
    return s;
}
std::string lenCrc(const Bytes& b) {
    return std::to_string(b.size()) + " " + std::to_string(msg::nameIdCrc(b));
}

// Our reader's view in msg_dump.py's format (see there).
void dumpBag(const PropertyBag& bag, const std::string& path, std::vector<std::string>& out) {
    for (const Property& p : bag) {
        const uint16_t type = p.type();
        char line[256];
        std::snprintf(line, sizeof line, "P %s %08X ", path.c_str(), p.tag);
        std::string value;
        if (type == PT_OBJECT) {
            if (p.id() == propId(tag::AttachDataObject)) continue;  // reported by the caller
            value = "O";
        } else if (isMultiValued(type) && !fixedSize(baseType(type))) {
            value = "M " + std::to_string(p.items.size());
            for (const Bytes& item : p.items)
                value +=
                    " " + std::to_string(item.size()) + ":" + std::to_string(msg::nameIdCrc(item));
        } else if (!isKnownType(type) && p.value.size() == 8 && !p.stream) {
            value = "I " + hex(p.value);
        } else if (isMultiValued(type) || p.stream || !fixedSize(type) || type == PT_CLSID) {
            value = "S " + lenCrc(p.bytes());
        } else {
            value = "I " + hex(p.value);
        }
        out.push_back(line + value);
    }
}

void dumpMessage(const Message& m, const std::string& path, std::vector<std::string>& out) {
    dumpBag(m.props, path, out);
    out.push_back("C " + path + " " + std::to_string(m.recipients.size()) + " " +
                  std::to_string(m.attachments.size()));
    for (size_t i = 0; i < m.recipients.size(); ++i)
        dumpBag(m.recipients[i].props, path + "r" + std::to_string(i) + "/", out);
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        const std::string ap = path + "a" + std::to_string(i) + "/";
        dumpBag(a.props, ap, out);
        if (a.embedded || a.props.find(tag::AttachDataObject))
            out.push_back("P " + ap + " 3701000D O");
        if (a.embedded) dumpMessage(*a.embedded, ap + "e/", out);
    }
}

void expectOlefileAgrees(const fs::path& file) {
    SCOPED_TRACE(file.string());
    const char* source = std::getenv("QM_SOURCE_DIR");  // set by ctest
    const fs::path script = fs::path(source ? source : ".") / "tests/tools/msg_dump.py";
    int status = 0;
    std::istringstream lines(
        run("/usr/bin/python3 " + quoted(script) + " " + quoted(file), &status));
    ASSERT_EQ(status, 0) << "msg_dump.py failed";
    std::vector<std::string> theirs, ours, onlyOurs, onlyTheirs;
    for (std::string l; std::getline(lines, l);) theirs.push_back(l);
    const Message m = msg::readMsgFile(file);
    dumpMessage(m, "/", ours);
    std::sort(ours.begin(), ours.end());
    // A repaired PidTagRtfCompressed header differs from the file by design.
    for (const auto& w : m.warnings) {
        if (w.find("PidTagRtfCompressed") == std::string::npos) continue;
        for (auto* dump : {&ours, &theirs})
            std::erase_if(*dump,
                          [](const std::string& l) { return l.find(" 10090102 ") != l.npos; });
    }
    std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(),
                        std::back_inserter(onlyOurs));
    std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(),
                        std::back_inserter(onlyTheirs));
    EXPECT_EQ(onlyOurs, std::vector<std::string>()) << "only ours";
    EXPECT_EQ(onlyTheirs, std::vector<std::string>()) << "only olefile";
}

TEST(MsgCrossCheck, OlefileAgreesOnCorpusFiles) {
    REQUIRE_CORPUS(corpus);
    for (const Row& row : readIndex(corpus / "index.csv"))
        if (row.at("contents").find("BROKEN") == std::string::npos)
            expectOlefileAgrees(corpus / row.at("file"));
}

// Also olefile reading our compound files: attachment data either side of
// every boundary (mini sector, mini cutoff, both sector sizes), and streamed.
TEST(MsgCrossCheck, OlefileAgreesOnGeneratedFiles) {
    qm::testing::ScratchDir dir;
    qm::testing::MessageSpec spec{
        .allTypes = true,
        .recipients = 4,
        .attachmentSizes = {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 100000, 2u << 20},
        .embedDepth = 2,
        .oleAttachment = true,
        .namedById = 3,
        .namedByName = 3,
        .htmlBody = true,
        .rtfBody = true};
    for (bool unicode : {true, false}) {
        for (uint32_t ss : {512u, 4096u}) {
            spec.unicode = unicode;
            msg::writeMsgFile(qm::testing::makeMessage(spec), dir / "gen.msg", {ss});
            expectOlefileAgrees(dir / "gen.msg");
        }
    }
}

TEST(MsgCrossCheck, MsgconvertReadsOurFiles) {
    int status = 0;
    run("command -v msgconvert >/dev/null", &status);
    if (status != 0) GTEST_SKIP() << "msgconvert (libemail-outlook-message-perl) is not installed";
    qm::testing::ScratchDir dir;
    // No OLE attachment: msgconvert re-saves OLE storages and fails on any
    // stream inside a nested storage (it clears the times of direct children
    // only), whoever wrote the file.
    qm::testing::MessageSpec spec{.recipients = 3,
                                  .attachmentSizes = {10, 5000},
                                  .embedDepth = 1,
                                  .namedByName = 2,
                                  .htmlBody = true};
    for (bool unicode : {true, false}) {
        for (uint32_t ss : {512u, 4096u}) {
            spec.unicode = unicode;
            msg::writeMsgFile(qm::testing::makeMessage(spec), dir / "mc.msg", {ss});
            const std::string out =
                run("cd " + quoted(dir.path()) + " && msgconvert --outfile - mc.msg 2>&1", &status);
            SCOPED_TRACE(std::to_string(unicode) + " " + std::to_string(ss));
            ASSERT_EQ(status, 0) << out;
            for (const char* want :
                 {"Subject: Quillmark test message", "To: Recipient 0", "file1.bin"})
                EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out.substr(0, 2000);
        }
    }
}

}  // namespace
