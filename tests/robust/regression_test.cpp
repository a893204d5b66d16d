// Inputs the fuzzers found that once crashed, hung or misbehaved, replayed
// through the reader they broke. Files in data/ grew from our own writer's
// seeds (kept as they are, a few hundred bytes each); cases grown from
// files we may not keep are rebuilt here by a generator instead.
//
//   data/*.msg  the MSG reader (and the compound-file reader under it)
//   data/*.cfb  the compound-file reader alone
//   data/*.pst  the PST checker and reader
// Each must be read or refused with qm::FormatError / qm::IoError.
#include <gtest/gtest.h>

#include "mapi/bytes.h"
#include "mapi/error.h"
#include "msg/compound_file_reader.h"
#include "msg/file_source.h"
#include "msg/msg.h"
#include "pst/ndb/format.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "robust_util.h"

namespace qm::robust {
namespace {

const fs::path kData = QM_ROBUST_DATA_DIR;

// Runs `f`: being read and being refused with a qm::Error are both answers.
template <typename F>
void readOrRefuse(F f) {
    try {
        f();
    } catch (const qm::Error&) {
    }
}

// What the fuzz targets do with an input, as plain code.
void walkCfb(const msg::CompoundFileReader& cfb, uint32_t storage) {
    for (uint32_t id : cfb.children(storage)) {
        readOrRefuse([&] {
            if (cfb.entry(id).isStream()) (void)cfb.readStream(id);
            if (cfb.entry(id).isStorage()) {
                (void)msg::extractStorage(cfb, id);
                walkCfb(cfb, id);
            }
        });
    }
}

void replayCfb(const fs::path& p) {
    readOrRefuse([&] {
        walkCfb(*msg::CompoundFileReader::open(msg::FileSource::open(p), p.string()),
                msg::CompoundFileReader::kRoot);
    });
}

void replayPst(const fs::path& p) {
    readOrRefuse([&] { (void)pst::read::checkFile(p); });
    readOrRefuse([&] {
        auto pst = pst::read::PstFile::open(p);
        for (const auto& node : pst->folderTree(pst::read::PstFile::rootFolder())) {
            readOrRefuse([&] {
                for (auto nid : pst->messageNids(node.folder.nid)) {
                    readOrRefuse([&] { (void)pst->readMessage(nid); });
                }
            });
        }
    });
}

TEST(FuzzRegressions, EveryKeptInputIsReadOrRefused) {
    size_t replayed = 0;
    if (fs::is_directory(kData)) {
        for (const auto& e : fs::directory_iterator(kData)) {
            const auto ext = e.path().extension();
            SCOPED_TRACE(e.path().filename().string());
            if (ext == ".msg") {
                readOrRefuse([&] { (void)msg::readMsgFile(e.path()); });
                replayCfb(e.path());
            } else if (ext == ".cfb") {
                replayCfb(e.path());
            } else if (ext == ".pst") {
                replayPst(e.path());
            } else {
                continue;
            }
            ++replayed;
        }
    }
    RecordProperty("replayed", int(replayed));
}

// Found by pst_fuzz: a file that ends before the first AMap (0x4400) while
// its header claims an end far beyond: the checker sized its map of used
// space from the header's ibFileEof and asked for terabytes. Rebuilt from a
// store of our own, cut to 4 KiB, with that ibFileEof and the header CRCs
// made right.
TEST(FuzzRegressions, ShortFileClaimingAHugeEndIsCheckedWithoutAllocatingIt) {
    ScratchDir dir;
    qm::pst::Store::create(dir / "whole.pst", "Regression")->close();
    Bytes b = readFile(dir / "whole.pst");
    ASSERT_GE(b.size(), 4096u);
    b.resize(4096);
    storeLE64(b.data() + pst::ndb::hdr::root + 4, 0x00FBFF0000000000ull);  // ibFileEof
    fixHeaderCrcs(b);
    writeFile(dir / "cut.pst", b);
    readOrRefuse([&] { EXPECT_FALSE(pst::read::checkFile(dir / "cut.pst").clean()); });
    replayPst(dir / "cut.pst");
    const Outcome o = runToEnd({cliPath(), "check", (dir / "cut.pst").string()});
    EXPECT_TRUE(o.code == 1 || o.code == 2) << "exit " << o.code << ": " << o.err;
}

}  // namespace
}  // namespace qm::robust
