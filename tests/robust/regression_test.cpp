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

#include "mapi/error.h"
#include "msg/compound_file_reader.h"
#include "msg/file_source.h"
#include "msg/msg.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
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

}  // namespace
}  // namespace qm::robust
