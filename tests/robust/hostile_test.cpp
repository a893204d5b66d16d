// Hostile input, mutated at test time in a scratch folder from our own
// writer's files and, when the shared corpus and PST samples are present,
// from theirs (never kept): truncations, bit flips, and fields aimed at
// with care (FAT chains that loop, sizes and counts far beyond the file,
// B-tree pages that name themselves, header fields pointed elsewhere with
// the header CRCs made right so the reader goes deeper). Everything runs
// under a memory and CPU limit: an answer and a reason, never a crash, a
// hang or an allocation the file cannot back. Inputs the fuzzers found are
// replayed from data/ (see its README).
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>

#include "mapi/bytes.h"
#include "mapi/error.h"
#include "msg/msg.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/read/checker.h"
#include "run_fixture.h"
#include "support/message_gen.h"

namespace qm::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// Mutated copies of `b`, each with its name: cut at each of `cuts` (when
// shorter), `flips` copies with `bits` random bits flipped, then edits.
struct Mutants {
    Mutants(const Bytes& b, std::mt19937& rng, const std::vector<size_t>& cuts, int flips, int bits)
        : b(b) {
        for (size_t cut : cuts)
            if (cut < b.size()) add("cut" + std::to_string(cut), [&](Bytes& f) { f.resize(cut); });
        for (int n = 0; n < flips; ++n)
            add("flip" + std::to_string(n), [&](Bytes& f) {
                for (int k = 0; k < bits; ++k) f[rng() % f.size()] ^= uint8_t(1u << (rng() % 8));
            });
    }
    template <typename F>
    void add(const std::string& name, F edit) {
        Bytes f = b;
        edit(f);
        out.emplace_back(name, std::move(f));
    }
    const Bytes& b;
    std::vector<std::pair<std::string, Bytes>> out;
};

void put32(Bytes& b, size_t at, uint32_t v) {
    if (at + 4 <= b.size()) storeLE32(b.data() + at, v);
}

// Mutations of a compound file ([MS-CFB] 2.2): past cuts and flips, aimed
// at the sector size, the first FAT sector (first header DIFAT slot) and the
// first directory sector, when the header is one we can aim into.
std::vector<std::pair<std::string, Bytes>> msgMutations(const Bytes& b, std::mt19937& rng) {
    Mutants e(b, rng, {0, 7, 511, 513, b.size() / 2, b.size() - 1}, 4, 24);
    e.add("headerflip", [&](Bytes& f) {  // every header field matters
        for (int k = 0; k < 6; ++k) f[rng() % std::min<size_t>(512, b.size())] ^= 0xFF;
    });
    const uint16_t shift = b.size() < 512 ? 0 : loadLE16(b.data() + 0x1E);
    if (shift != 9 && shift != 12) return e.out;
    const uint32_t sector = 1u << shift, dirStart = loadLE32(b.data() + 0x30);
    const size_t fat = (size_t(loadLE32(b.data() + 0x4C)) + 1) * sector;
    const size_t dir = (size_t(dirStart) + 1) * sector;
    if (fat + sector > b.size() || dir + sector > b.size()) return e.out;
    e.add("dircycle", [&](Bytes& f) {  // the directory chain loops on itself
        if (dirStart < sector / 4) put32(f, fat + 4 * dirStart, dirStart);
    });
    e.add("fatcycle", [&](Bytes& f) {  // every allocated FAT entry points back to the start
        for (uint32_t k = 1; k < sector / 4; ++k)
            if (loadLE32(f.data() + fat + 4 * k) < 0xFFFFFFFA) put32(f, fat + 4 * k, k - 1);
    });
    e.add("minicycle", [&](Bytes& f) {  // the mini FAT chain loops
        const uint32_t mini = loadLE32(f.data() + 0x3C);
        if (mini < sector / 4) put32(f, fat + 4 * mini, mini);
        put32(f, 0x40, 0x7FFFFFFF);
    });
    e.add("hugesize", [&](Bytes& f) {  // streams far larger than the file
        for (size_t k = 0; k < sector / 128; ++k) {
            put32(f, dir + 128 * k + 0x78, 0xFFFFFFF0);
            put32(f, dir + 128 * k + 0x7C, k % 2 ? 0x7FFFFFFF : 0);
        }
    });
    e.add("hugecounts", [&](Bytes& f) {  // FAT, directory, mini FAT and DIFAT sector counts
        put32(f, 0x2C, 0x7FFFFFFF);
        put32(f, 0x28, 0x00FFFFFF);
        put32(f, 0x40, 0xFFFFFFFE);
        put32(f, 0x48, 0x7FFFFFFF);
        put32(f, 0x44, 0);
    });
    e.add("dirlinks", [&](Bytes& f) {  // links that point at themselves and out of range
        for (size_t k = 0; k < sector / 128; ++k) {
            put32(f, dir + 128 * k + 0x44, uint32_t(k));
            put32(f, dir + 128 * k + 0x4C, 0x00FFFFFF);
        }
    });
    return e.out;
}

// Mutations of a store ([MS-PST] 2.2.2.5, Unicode ROOT: ibFileEof, then the
// NBT and BBT BREFs; a page's CRC covers its first 496 bytes).
std::vector<std::pair<std::string, Bytes>> pstMutations(const Bytes& b, std::mt19937& rng) {
    namespace ndb = pst::ndb;
    constexpr uint32_t kIbFileEof = ndb::hdr::root + 4, kNbtIb = ndb::hdr::root + 44,
                       kBbtIb = ndb::hdr::root + 60, kPageCrcSize = 496;
    Mutants e(b, rng, {0, 100, ndb::kHeaderSize, b.size() / 2, b.size() - 512}, 4, 32);
    if (b.size() < ndb::kHeaderSize) return e.out;
    for (const uint32_t at : {kNbtIb, kBbtIb}) {
        const uint64_t ib = loadLE64(b.data() + at);
        if (ib > b.size() || b.size() - ib < 512) continue;
        for (const bool loop : {false, true}) {
            if (loop && b[ib + 491] == 0) continue;  // a leaf page
            e.add(std::string(at == kNbtIb ? "nbt" : "bbt") + (loop ? "loop" : "flip"),
                  [&](Bytes& f) {
                      if (loop) {  // an intermediate page whose first child is itself
                          storeLE64(f.data() + ib + 16, ib);
                      } else {
                          for (int k = 0; k < 6; ++k)
                              f[ib + rng() % kPageCrcSize] ^= uint8_t(1u << (rng() % 8));
                      }
                      storeLE32(f.data() + ib + kPageCrcSize + 4,
                                ndb::crc32(f.data() + ib, kPageCrcSize));
                  });
        }
    }
    const uint64_t bbt = loadLE64(b.data() + kBbtIb);
    const std::pair<const char*, std::function<void(Bytes&)>> header[] = {
        {"nbt-is-bbt", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, bbt); }},
        {"nbt-at-header", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, 0); }},
        {"nbt-past-end", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, b.size() + 4096); }},
        {"nbt-huge", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, ~uint64_t(0) - 100); }},
        {"eof-huge", [&](Bytes& f) { storeLE64(f.data() + kIbFileEof, uint64_t(1) << 62); }},
        {"eof-small", [&](Bytes& f) { storeLE64(f.data() + kIbFileEof, 1024); }},
        {"crypt-unknown", [&](Bytes& f) { f[ndb::hdr::bCryptMethod] = 0x7F; }},
        {"nid-counters",
         [&](Bytes& f) {
             for (uint32_t i = 0; i < ndb::kRgnidCount; ++i)
                 storeLE32(f.data() + ndb::hdr::rgnid + 4 * i, 0xFFFFFFFF);
         }},
        // Maps marked for rebuilding: their mismatches are notes, not defects.
        {"amap-invalid", [&](Bytes& f) { f[ndb::hdr::root + ndb::root::fAMapValid] = 0; }},
        // Found by pst_fuzz: a file that ends before the first AMap while its
        // header claims an end far beyond; the checker once sized its map of
        // used space from that claim and asked for terabytes.
        {"short-claiming-huge-end",
         [&](Bytes& f) {
             f.resize(4096);
             storeLE64(f.data() + kIbFileEof, 0x00FBFF0000000000ull);
         }},
    };
    for (const auto& [name, edit] : header) {
        e.add(name, [&](Bytes& f) {
            edit(f);
            // The header's two CRCs made right again, so the reader goes deeper.
            const uint8_t* from = f.data() + ndb::kHeaderCrcStart;
            storeLE32(f.data() + ndb::hdr::dwCRCPartial,
                      ndb::crc32(from, ndb::kHeaderCrcPartialSize));
            storeLE32(f.data() + ndb::hdr::dwCRCFull, ndb::crc32(from, ndb::kHeaderCrcFullSize));
        });
    }
    return e.out;
}

using Hostile = CliTest;
using HostileStores = CliTest;

// Mutated .msg files converted in one run with good messages. Each bad file
// either converts without what its damage hit (the reader says what in the
// message's warnings; tests/msg checks which) or fails alone with a reason
// naming it; every good message converts intact; nothing fails for want of
// memory and the store is clean, whatever salvaged messages put in.
TEST_F(Hostile, EachBadFileFailsAloneWithAReasonInOneBoundedRun) {
    const fs::path src = dir_ / "src";
    const auto good = writeMessageTree(src / "good", 30, 2);
    fs::create_directories(src / "bad");
    std::mt19937 rng(20261207);
    std::set<std::string> bad;
    auto addBad = [&](const std::string& name, const Bytes& bytes) {
        writeFile(src / "bad" / (name + ".msg"), bytes);
        bad.insert((src / "bad" / (name + ".msg")).string());
    };
    // Our writer's files, both sector sizes, with everything a message holds.
    for (uint32_t v = 0; v < 4; ++v) {
        MessageSpec spec;
        spec.seed = 100 + v;
        spec.subject = "Hostile-" + std::to_string(v);
        spec.unicode = v != 1;
        spec.recipients = 2;
        spec.attachmentSizes = {100, 9000};
        spec.embedDepth = v == 2 ? 2 : 0;
        spec.oleAttachment = v == 3;
        spec.namedById = spec.namedByName = 2;
        const Bytes base = msg::writeMsg(makeMessage(spec), {v % 2 ? 4096u : 512u});
        for (auto& [name, bytes] : msgMutations(base, rng))
            addBad("gen" + std::to_string(v) + "-" + name, bytes);
    }
    // Every corpus file's mutations, the files in name order: the bytes a
    // mutation hits follow from the order, and so does what the test reaches.
    const auto corpus = sharedFiles("corpus", ".msg");
    for (size_t i = 0; i < corpus.size(); ++i) {
        const Bytes base = readFile(corpus[i]);
        if (base.empty()) continue;
        for (auto& [name, bytes] : msgMutations(base, rng))
            addBad("corpus" + std::to_string(i) + "-" + name, bytes);
    }
    // Deep embedding, as our writer makes it: either read or refused.
    for (int depth : {40, 300}) {
        const MessageSpec spec{.subject = "Deep-" + std::to_string(depth), .embedDepth = depth};
        addBad("deep" + std::to_string(depth), msg::writeMsg(makeMessage(spec)));
    }
    const fs::path pst = dir_ / "hostile.pst";
    const Outcome o =
        runToEnd({cliPath(), "convert", "--json", "--quiet", "-o", pst.string(), src.string()},
                 limited(300));
    ASSERT_EQ(o.code, 1) << o.err.substr(0, 4000);
    ASSERT_TRUE(o.report.is_object()) << o.out;
    EXPECT_EQ(size_t(o.report["messages"]), good.size() + bad.size());
    EXPECT_EQ(size_t(o.report["converted"]) + o.report["failed"].size(), good.size() + bad.size());
    for (const auto& f : o.report["failed"]) {
        const std::string path = f["path"], reason = f["reason"];
        EXPECT_TRUE(bad.count(path)) << "a good message failed: " << path;
        // A clear reason (the report pairs it with the path), never a lack
        // of memory.
        EXPECT_GT(reason.size(), 10u) << path << ": " << reason;
        EXPECT_EQ(reason.find("memory"), std::string::npos) << path << ": " << reason;
    }
    std::cout << "hostile run: " << bad.size() << " bad files (" << corpus.size()
              << " corpus files), " << o.report["failed"].size() << " refused\n";
    // The good ones intact; converted mutants have no entry among the good,
    // and may carry embedded messages whose flags the checker questions.
    std::set<std::string> stored;
    std::istringstream lines(verifyStore(pst, good, &stored));
    for (std::string l; std::getline(lines, l);) {
        if (l.find("embedded message: MessageFlags lacks MSGFLAG_HASATTACH") == std::string::npos &&
            l != "quillmark-cli check exit 1:" && l.find("has no source") == std::string::npos &&
            l.find("stored twice") == std::string::npos) {
            ADD_FAILURE() << l;
        }
    }
    for (const auto& [key, path] : good) EXPECT_TRUE(stored.count(key)) << key << " missing";
}

// Embedded chains as deep as the reader takes convert intact, and the store
// stays clean: each embedded message's MSGFLAG_HASATTACH is kept true to its
// attachments, as the checker requires, whatever the source file said.
TEST_F(Hostile, EmbeddedChainsConvertIntactAndClean) {
    std::map<std::string, fs::path> sources;
    for (int depth : {2, 3, 12}) {
        const MessageSpec spec{.seed = uint32_t(depth),
                               .subject = "Chain-" + std::to_string(depth),
                               .attachmentSizes = {64},
                               .embedDepth = depth};
        writeMessage(sources[spec.subject] = dir_ / "chains" / (spec.subject + ".msg"),
                     makeMessage(spec));
    }
    const fs::path pst = dir_ / "chains.pst";
    const Outcome o =
        runToEnd({cliPath(), "convert", "--quiet", "-o", pst.string(), (dir_ / "chains").string()});
    ASSERT_EQ(o.code, 0) << o.err;
    std::set<std::string> stored;
    EXPECT_EQ(verifyStore(pst, sources, &stored), "");
    EXPECT_EQ(stored.size(), sources.size());
}

// Mutated stores for `quillmark-cli check` and `list`: each command exits
// 0, 1 or 2, with a reason on stderr when it refuses.
TEST_F(HostileStores, CheckAndListAnswerEveryMutatedStore) {
    writeMessageTree(dir_ / "src", 60, 3);
    const fs::path ours = dir_ / "ours.pst";
    const auto made =
        runToEnd({cliPath(), "convert", "--quiet", "-o", ours.string(), (dir_ / "src").string()});
    ASSERT_EQ(made.code, 0) << made.err;
    std::vector<std::pair<std::string, Bytes>> bases = {{"ours", readFile(ours)}};
    for (const auto& p : sharedFiles("pst-samples", ".pst"))
        bases.emplace_back(p.stem().string(), readFile(p));
    std::mt19937 rng(7122026);
    size_t files = 0, refused = 0;
    for (const auto& [baseName, base] : bases)
        for (const auto& [name, bytes] : pstMutations(base, rng)) {
            const fs::path p = dir_ / (baseName + "-" + name + ".pst");
            writeFile(p, bytes);
            for (const std::vector<std::string>& argv :
                 {std::vector<std::string>{cliPath(), "check", p.string()},
                  std::vector<std::string>{cliPath(), "list", "--messages", p.string()}}) {
                const Outcome o = runToEnd(argv, limited(60));
                const std::string what = argv[1] + " " + p.filename().string();
                EXPECT_TRUE(o.code >= 0 && o.code <= 2) << what << ": exit " << o.code << "\n"
                                                        << o.err.substr(0, 2000);
                if (o.code != 2) continue;
                EXPECT_FALSE(o.err.empty()) << what << " refused silently";
                EXPECT_EQ(o.err.find("memory"), std::string::npos) << o.err;
                refused += argv[1] == "check";
            }
            fs::remove(p);
            ++files;
        }
    std::cout << "hostile stores: " << files << " mutated files, " << refused
              << " refused by check\n";
}

// Inputs the fuzzers found that once crashed, hung or misbehaved a reader:
// data/*.msg through the MSG reader, data/*.pst through the checker and
// our reader. Being read and being refused with a qm::Error are both answers.
TEST(FuzzRegressions, EveryKeptInputIsReadOrRefused) {
    auto readOrRefuse = [](const auto& f) {
        try {
            f();
        } catch (const qm::Error&) {
        }
    };
    for (const auto& e : fs::directory_iterator(QM_ROBUST_DATA_DIR)) {
        SCOPED_TRACE(e.path().filename().string());
        if (e.path().extension() == ".msg") {
            readOrRefuse([&] { (void)msg::readMsgFile(e.path()); });
        } else if (e.path().extension() == ".pst") {
            readOrRefuse([&] { (void)pst::read::checkFile(e.path()); });
            readOrRefuse([&] { (void)storedMessages(e.path()); });
        }
    }
}

}  // namespace
}  // namespace qm::testing
