// Hostile stores for `quillmark-cli check` and `list`: a store our writer
// made and, when present, the shared PST samples, mutated at test time in a
// scratch folder (truncations, bit flips, header fields pointed elsewhere
// with the header CRCs made right again so the reader goes deeper, a B-tree
// page that names itself as its child). Each command gives an answer (exit
// 0, 1 or 2, a reason on stderr when it refuses) under a memory and CPU
// limit; never a crash, a hang or an allocation the file cannot back.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "mapi/bytes.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "robust_util.h"

namespace qm::robust {
namespace {

using Bytes = std::vector<uint8_t>;
namespace hdr = pst::ndb::hdr;

// ROOT ([MS-PST] 2.2.2.5, Unicode): ibFileEof, then the NBT and BBT BREFs.
constexpr uint32_t kIbFileEof = hdr::root + 4;
constexpr uint32_t kNbtIb = hdr::root + 36 + 8;
constexpr uint32_t kBbtIb = hdr::root + 52 + 8;
constexpr uint32_t kPageCrcSize = 496;  // a page's bytes before its trailer's CRC

void fixHeaderCrcs(Bytes& b) {
    if (b.size() < pst::ndb::kHeaderSize) return;
    const uint8_t* from = b.data() + pst::ndb::kHeaderCrcStart;
    storeLE32(b.data() + hdr::dwCRCPartial, pst::ndb::crc32(from, pst::ndb::kHeaderCrcPartialSize));
    storeLE32(b.data() + hdr::dwCRCFull, pst::ndb::crc32(from, pst::ndb::kHeaderCrcFullSize));
}

std::vector<std::pair<std::string, Bytes>> mutations(const Bytes& b, std::mt19937& rng) {
    std::vector<std::pair<std::string, Bytes>> out;
    for (size_t cut :
         {size_t(0), size_t(100), size_t(pst::ndb::kHeaderSize), b.size() / 2, b.size() - 512}) {
        if (cut < b.size())
            out.emplace_back("cut" + std::to_string(cut), Bytes(b.begin(), b.begin() + long(cut)));
    }
    for (int n = 0; n < 4; ++n) {
        Bytes f = b;
        for (int k = 0; k < 32; ++k) f[rng() % f.size()] ^= uint8_t(1u << (rng() % 8));
        out.emplace_back("flip" + std::to_string(n), std::move(f));
    }
    if (b.size() < pst::ndb::kHeaderSize) return out;
    const uint64_t nbt = loadLE64(b.data() + kNbtIb);
    const uint64_t bbt = loadLE64(b.data() + kBbtIb);
    // Flips inside the B-tree roots, their CRCs made right again.
    for (auto [name, ib] : {std::pair{"nbtflip", nbt}, std::pair{"bbtflip", bbt}}) {
        if (ib > b.size() || b.size() - ib < 512) continue;
        Bytes f = b;
        for (int k = 0; k < 6; ++k) f[ib + rng() % kPageCrcSize] ^= uint8_t(1u << (rng() % 8));
        storeLE32(f.data() + ib + kPageCrcSize + 4, pst::ndb::crc32(f.data() + ib, kPageCrcSize));
        out.emplace_back(name, std::move(f));
    }
    // An intermediate page whose first child is itself.
    for (auto [name, ib] : {std::pair{"nbtloop", nbt}, std::pair{"bbtloop", bbt}}) {
        if (ib > b.size() || b.size() - ib < 512 || b[ib + 491] == 0) continue;  // a leaf
        Bytes f = b;
        storeLE64(f.data() + ib + 16, ib);
        storeLE32(f.data() + ib + kPageCrcSize + 4, pst::ndb::crc32(f.data() + ib, kPageCrcSize));
        out.emplace_back(name, std::move(f));
    }
    // Header fields, CRCs made right.
    auto header = [&](const std::string& name, auto edit) {
        Bytes f = b;
        edit(f);
        fixHeaderCrcs(f);
        out.emplace_back(name, std::move(f));
    };
    header("nbt-is-bbt", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, bbt); });
    header("nbt-at-header", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, 0); });
    header("nbt-past-end", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, b.size() + 4096); });
    header("nbt-huge", [&](Bytes& f) { storeLE64(f.data() + kNbtIb, ~uint64_t(0) - 100); });
    header("eof-huge", [&](Bytes& f) { storeLE64(f.data() + kIbFileEof, uint64_t(1) << 62); });
    header("eof-small", [&](Bytes& f) { storeLE64(f.data() + kIbFileEof, 1024); });
    header("crypt-unknown", [&](Bytes& f) { f[hdr::bCryptMethod] = 0x7F; });
    header("nid-counters", [&](Bytes& f) {
        for (uint32_t i = 0; i < pst::ndb::kRgnidCount; ++i)
            storeLE32(f.data() + hdr::rgnid + 4 * i, 0xFFFFFFFF);
    });
    return out;
}

class HostileStores : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "quillmark-cli is not built at " << cliPath();
    }
    ScratchDir dir_;
};

TEST_F(HostileStores, CheckAndListAnswerEveryMutatedStore) {
    writeMessageTree(dir_ / "src", 60, 3);
    const fs::path ours = dir_ / "ours.pst";
    ASSERT_EQ(
        runToEnd({cliPath(), "convert", "--quiet", "-o", ours.string(), (dir_ / "src").string()}),
        0);
    std::vector<std::pair<std::string, Bytes>> bases = {{"ours", readFile(ours)}};
    const char* shared = std::getenv("QM_SHARED_DIR");
    if (shared && fs::is_directory(fs::path(shared) / "pst-samples")) {
        for (const auto& e : fs::directory_iterator(fs::path(shared) / "pst-samples")) {
            if (e.path().extension() == ".pst")
                bases.emplace_back(e.path().stem().string(), readFile(e.path()));
        }
    }
    ChildOptions options;
    options.setup = [] {
        const struct rlimit cpu = {60, 60};
        ::setrlimit(RLIMIT_CPU, &cpu);
#ifndef QM_ROBUST_ASAN
        const struct rlimit as = {rlim_t(768) << 20, rlim_t(768) << 20};
        ::setrlimit(RLIMIT_AS, &as);
#endif
    };
    std::mt19937 rng(7122026);
    size_t files = 0;
    size_t refused = 0;
    for (const auto& [baseName, base] : bases) {
        for (const auto& [name, bytes] : mutations(base, rng)) {
            const fs::path p = dir_ / (baseName + "-" + name + ".pst");
            writeFile(p, bytes);
            for (const char* cmd : {"check", "list"}) {
                std::string out;
                std::string err;
                std::vector<std::string> argv = {cliPath(), cmd};
                if (std::string(cmd) == "list") argv.push_back("--messages");
                argv.push_back(p.string());
                const int code = runToEnd(argv, &out, &err, options);
                EXPECT_TRUE(code >= 0 && code <= 2)
                    << cmd << " " << p.filename() << ": exit " << code << "\n"
                    << err.substr(0, 2000);
                if (code == 2) {
                    EXPECT_FALSE(err.empty()) << cmd << " " << p.filename() << " refused silently";
                    EXPECT_EQ(err.find("memory"), std::string::npos) << err;
                    refused += std::string(cmd) == "check";
                }
            }
            fs::remove(p);
            ++files;
        }
    }
    std::cout << "hostile stores: " << files << " mutated files, " << refused
              << " refused by check\n";
}

}  // namespace
}  // namespace qm::robust
