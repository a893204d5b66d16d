// Helpers for the reader and checker tests: scratch directories, the golden
// files, whole-file I/O and a walk that reads everything a file holds.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapi/bytes.h"
#include "support/scratch_dir.h"
#include "pst/ndb/crypt.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"

namespace qm::pst::read::readtest {

namespace fs = std::filesystem;

using ScratchDir = qm::testing::ScratchDir;

// The golden file, or an empty path when ../shared is not there.
inline fs::path goldenFile(const char* name) {
    const char* dir = std::getenv("QM_SHARED_DIR");
    if (!dir) return {};
    fs::path p = fs::path(dir) / "pst-samples" / name;
    return fs::exists(p) ? p : fs::path();
}

inline Bytes readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

inline Bytes encodeLikeFile(Bytes data, uint8_t cryptMethod) {
    ndb::encodeBlockData(data, ndb::CryptMethod(cryptMethod), 0);
    return data;
}

// Reads every folder, table, message, recipient and attachment below
// `folder`; returns the number of messages read.
inline size_t readEverything(const PstFile& pst, Nid folder = PstFile::rootFolder(),
                             int depth = 0) {
    if (depth > 64) return 0;
    size_t n = 0;
    pst.folderProperties(folder);
    for (Nid m : pst.messageNids(folder)) {
        mapi::Message msg = pst.readMessage(m);
        for (const auto& a : msg.attachments)
            for (const auto& p : a.props) p.bytes();
        ++n;
    }
    for (Nid m : pst.associatedMessageNids(folder)) pst.readMessage(m);
    for (const auto& f : pst.childFolders(folder)) n += readEverything(pst, f.nid, depth + 1);
    return n;
}

// Damages copies of `file` `rounds` times, each in one used place (header,
// a B-tree page or a block: a flipped bit or a random 1-8 byte field), and
// checks and reads each copy. Anything but a clean result, findings, or a
// qm::FormatError fails the test (a crash or hang fails it harder).
inline void hammer(const fs::path& file, int rounds, uint32_t seed) {
    Bytes original = readFile(file);
    auto db = NodeDatabase::open(file);
    std::vector<std::pair<uint64_t, uint64_t>> areas = {{0, ndb::kHeaderSize}};
    for (const auto& p : db->pages()) areas.emplace_back(p.ib, ndb::kPageSize);
    for (const auto& b : db->blocks()) areas.emplace_back(b.ib, ndb::blockSizeOnDisk(b.cb));
    std::mt19937 rng(seed);
    ScratchDir dir;
    for (int round = 0; round < rounds; ++round) {
        Bytes b = original;
        auto [start, len] = areas[rng() % areas.size()];
        uint64_t at = start + rng() % len;
        if (rng() % 2) {
            b[at] ^= uint8_t(1u << (rng() % 8));
        } else {
            for (uint64_t k = at; k < std::min<uint64_t>(at + 1 + rng() % 8, b.size()); ++k)
                b[k] = uint8_t(rng());
        }
        SCOPED_TRACE(file.filename().string() + " damaged at " + hex(at));
        writeFile(dir / "damaged.pst", b);
        try {
            checkFile(dir / "damaged.pst");
        } catch (const FormatError&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << "check threw " << e.what();
        }
        try {
            auto pst = PstFile::open(dir / "damaged.pst");
            readEverything(*pst);
        } catch (const FormatError&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << "reading threw " << e.what();
        }
    }
}

// Rounds for hammer(): a few in every run, QM_FLIP_ROUNDS for a long hunt.
inline int hammerRounds(int usual) {
    const char* env = std::getenv("QM_FLIP_ROUNDS");
    return env ? std::atoi(env) : usual;
}

}  // namespace qm::pst::read::readtest
