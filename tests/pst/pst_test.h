// Shared by the PST tests: Outlook's golden files (../shared/pst-samples),
// whole stores read, and the product's checker held to a file.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "mapi/bytes.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
#include "support/message_gen.h"
#include "support/process.h"
#include "support/scratch_dir.h"

namespace qm::pst::testing {

namespace fs = std::filesystem;
using qm::testing::pattern;
using qm::testing::readFile;
using qm::testing::ScratchDir;
using qm::testing::writeFile;

// Outlook's file, or an empty path when ../shared is not there.
inline fs::path golden(const std::string& name) {
    const fs::path dir = qm::testing::sharedDir("pst-samples");
    return !dir.empty() && fs::exists(dir / name) ? dir / name : fs::path();
}

#define QM_REQUIRE_GOLDEN(var, name)                         \
    const auto var = ::qm::pst::testing::golden(name);       \
    if (var.empty())                                         \
    GTEST_SKIP() << "golden file " << (name) << " not found" \
                 << " (QM_SHARED_DIR/pst-samples)"

inline std::string joined(const read::CheckReport& r) {
    std::string s;
    for (const auto& f : r.findings) s += f.line() + "\n";
    return s;
}

// Reads every folder, message (attachments' values included) and associated
// message below `folder`; returns the messages read.
inline size_t readEverything(const read::PstFile& pst,
                             ndb::Nid folder = read::PstFile::rootFolder(), int depth = 0) {
    size_t n = 0;
    pst.folderProperties(folder);
    for (ndb::Nid m : pst.messageNids(folder)) {
        for (const auto& a : pst.readMessage(m).attachments)
            for (const auto& p : a.props) p.bytes();
        ++n;
    }
    for (ndb::Nid m : pst.associatedMessageNids(folder)) pst.readMessage(m);
    if (depth < 64)
        for (const auto& f : pst.childFolders(folder)) n += readEverything(pst, f.nid, depth + 1);
    return n;
}

// The product's checker (src/pst/read, `quillmark-cli check`) finds nothing.
// `loose`: a file of loose nodes is no message store, so what it says about
// the store, folders, messages and the name map does not count.
inline void expectClean(const fs::path& p, bool loose = false) {
    for (const auto& f : read::checkFile(p).findings) {
        bool messaging = false;
        for (const char* part : {"store", "folder", "name", "message"})
            messaging = messaging || f.where.find(part) != std::string::npos;
        if (!loose || !messaging) ADD_FAILURE() << p.filename() << ": " << f.line();
    }
}

}  // namespace qm::pst::testing
