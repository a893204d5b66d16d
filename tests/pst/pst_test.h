// Shared by the PST tests: patterned bytes, whole files, Outlook's golden
// files (../shared/pst-samples), commands run through the shell, and the
// product's checker held to a file.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "mapi/bytes.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
#include "support/scratch_dir.h"

namespace qm::pst::testing {

namespace fs = std::filesystem;
using qm::testing::ScratchDir;

inline Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = PatternSource::byteAt(i, seed);
    return b;
}

inline fs::path sharedDir() {
    const char* dir = std::getenv("QM_SHARED_DIR");
    return dir ? fs::path(dir) : fs::path();
}

// Outlook's file, or an empty path when ../shared is not there.
inline fs::path golden(const std::string& name) {
    const fs::path p = sharedDir() / "pst-samples" / name;
    return !sharedDir().empty() && fs::exists(p) ? p : fs::path();
}

#define QM_REQUIRE_GOLDEN(var, name)                         \
    const auto var = ::qm::pst::testing::golden(name);       \
    if (var.empty())                                         \
    GTEST_SKIP() << "golden file " << (name) << " not found" \
                 << " (QM_SHARED_DIR/pst-samples)"

inline Bytes readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// Single-quoted for /bin/sh.
inline std::string quote(const fs::path& p) {
    std::string q = "'";
    for (char c : p.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct CommandResult {
    int code = -1;
    std::string out;  // stdout and stderr together
};

inline CommandResult run(const std::string& command) {
    CommandResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

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
        const bool messaging = f.where.find("store") != std::string::npos ||
                               f.where.find("folder") != std::string::npos ||
                               f.where.find("name") != std::string::npos ||
                               f.where.find("message") != std::string::npos;
        if (!loose || !messaging) ADD_FAILURE() << p.filename() << ": " << f.line();
    }
}

}  // namespace qm::pst::testing
