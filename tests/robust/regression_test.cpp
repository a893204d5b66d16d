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

#include <fstream>

#include "mapi/bytes.h"
#include "mapi/error.h"
#include "msg/compound_file_reader.h"
#include "msg/file_source.h"
#include "msg/msg.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "robust_util.h"

namespace qm::robust {
namespace {

const fs::path kData = QM_ROBUST_DATA_DIR;

// What the fuzz targets do with an input, as plain code.
void replayMsg(const fs::path& p) {
    try {
        (void)msg::readMsgFile(p);
    } catch (const qm::Error&) {
    }
}

void walkCfb(const msg::CompoundFileReader& cfb, uint32_t storage) {
    for (uint32_t id : cfb.children(storage)) {
        try {
            if (cfb.entry(id).isStream()) (void)cfb.readStream(id);
            if (cfb.entry(id).isStorage()) {
                (void)msg::extractStorage(cfb, id);
                walkCfb(cfb, id);
            }
        } catch (const qm::FormatError&) {
        }
    }
}

void replayCfb(const fs::path& p) {
    try {
        auto cfb = msg::CompoundFileReader::open(msg::FileSource::open(p), p.string());
        walkCfb(*cfb, msg::CompoundFileReader::kRoot);
    } catch (const qm::Error&) {
    }
}

void replayPst(const fs::path& p) {
    try {
        (void)pst::read::checkFile(p);
    } catch (const qm::Error&) {
    }
    try {
        auto pst = pst::read::PstFile::open(p);
        for (const auto& node : pst->folderTree(pst::read::PstFile::rootFolder())) {
            try {
                for (auto nid : pst->messageNids(node.folder.nid)) {
                    try {
                        (void)pst->readMessage(nid);
                    } catch (const qm::Error&) {
                    }
                }
            } catch (const qm::Error&) {
            }
        }
    } catch (const qm::Error&) {
    }
}

TEST(FuzzRegressions, EveryKeptInputIsReadOrRefused) {
    size_t replayed = 0;
    if (fs::is_directory(kData)) {
        for (const auto& e : fs::directory_iterator(kData)) {
            const auto ext = e.path().extension();
            SCOPED_TRACE(e.path().filename().string());
            if (ext == ".msg") {
                replayMsg(e.path());
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
    const fs::path whole = dir / "whole.pst";
    qm::pst::Store::create(whole, "Regression")->close();
    std::ifstream in(whole, std::ios::binary);
    Bytes b(4096);
    in.read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()));
    ASSERT_EQ(in.gcount(), 4096);
    namespace ndb = qm::pst::ndb;
    storeLE64(b.data() + ndb::hdr::root + 4, 0x00FBFF0000000000ull);  // ibFileEof
    const uint8_t* from = b.data() + ndb::kHeaderCrcStart;
    storeLE32(b.data() + ndb::hdr::dwCRCPartial, ndb::crc32(from, ndb::kHeaderCrcPartialSize));
    storeLE32(b.data() + ndb::hdr::dwCRCFull, ndb::crc32(from, ndb::kHeaderCrcFullSize));
    const fs::path cut = dir / "cut.pst";
    std::ofstream(cut, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));

    try {
        const auto report = pst::read::checkFile(cut);
        EXPECT_FALSE(report.clean());
    } catch (const qm::FormatError&) {
    }
    replayPst(cut);
    std::string out;
    std::string err;
    const int code = runToEnd({cliPath(), "check", cut.string()}, &out, &err);
    EXPECT_TRUE(code == 1 || code == 2) << "exit " << code << ": " << err;
}

}  // namespace
}  // namespace qm::robust
