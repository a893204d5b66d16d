// Real files written by other software ($QM_SHARED_DIR/corpus): every file
// reads, or (where index.csv calls it broken) fails with a clear reason; the
// class, subject and counts agree with index.csv.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/msg.h"
#include "msg/test_util.h"

using namespace qm;
using namespace qm::mapi;

namespace {

using Row = std::map<std::string, std::string>;

// index.csv: RFC 4180 quoting, one header line.
std::vector<Row> readIndex(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    std::vector<std::vector<std::string>> records(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            records.back().push_back(field);
            field.clear();
        } else if (c == '\n') {
            records.back().push_back(field);
            field.clear();
            records.emplace_back();
        } else if (c != '\r') {
            field += c;
        }
    }
    if (!field.empty() || !records.back().empty()) records.back().push_back(field);
    std::vector<Row> rows;
    for (size_t r = 1; r < records.size(); ++r) {
        if (records[r].size() < records[0].size()) continue;
        Row row;
        for (size_t k = 0; k < records[0].size(); ++k) row[records[0][k]] = records[r][k];
        rows.push_back(row);
    }
    return rows;
}

// index.csv shows 8-bit subjects decoded by the store's rule
// (mapi::decodeString8 with the default fallback, 1252).
std::string subjectAsIndexed(const Message& m) {
    Message decoded = m.clone();
    decodeString8(decoded);
    return decoded.props.string(0x0037).value_or("");
}

// index.csv keeps the first 60 characters of a subject.
std::string clipped(const std::string& utf8) {
    constexpr size_t kIndexedChars = 60;
    std::u16string s = fromUtf8(utf8);
    return toUtf8(s.size() > kIndexedChars ? s.substr(0, kIndexedChars) : s);
}

std::string classOf(const Message& m) {
    return m.props.string(0x001A, m.stringCodePage()).value_or("");
}

TEST(MsgCorpus, EveryFileReadsAndMatchesTheIndex) {
    auto corpus = qm::testing::corpusDir();
    if (corpus.empty()) GTEST_SKIP() << "QM_SHARED_DIR/corpus is absent: corpus checks skipped";
    auto rows = readIndex(corpus / "index.csv");
    ASSERT_GE(rows.size(), 40u);
    size_t read = 0, broken = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.at("file"));
        bool isBroken = row.at("contents").find("BROKEN") != std::string::npos;
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
        if (isBroken) continue;  // read despite its defects: nothing to compare
        EXPECT_EQ(classOf(m), row.at("msg_class"));
        EXPECT_EQ(clipped(subjectAsIndexed(m)), row.at("subject"));
        EXPECT_EQ(std::to_string(m.recipients.size()), row.at("recips"));
        EXPECT_EQ(std::to_string(m.attachments.size()), row.at("attachs"));
    }
    EXPECT_GE(read, 45u);
    std::cout << read << " corpus files read, " << broken << " rejected as broken\n";
}

TEST(MsgCorpus, RewrittenCorpusFilesReadTheSame) {
    auto corpus = qm::testing::corpusDir();
    if (corpus.empty()) GTEST_SKIP() << "QM_SHARED_DIR/corpus is absent: corpus checks skipped";
    for (auto& e : std::filesystem::recursive_directory_iterator(corpus)) {
        if (e.path().extension() != ".msg") continue;
        Message m;
        try {
            m = msg::readMsgFile(e.path());
        } catch (const FormatError&) {
            continue;
        }
        SCOPED_TRACE(e.path().string());
        Bytes again = msg::writeMsg(m);
        Message back = msg::readMsg(again);
        EXPECT_EQ(qm::testing::dumpLines(back).size(), qm::testing::dumpLines(m).size());
        EXPECT_EQ(classOf(back), classOf(m));
        EXPECT_EQ(back.recipients.size(), m.recipients.size());
        EXPECT_EQ(back.attachments.size(), m.attachments.size());
    }
}

}  // namespace
