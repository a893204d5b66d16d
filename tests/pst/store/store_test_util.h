// Helpers for the store tests: scratch directories, the golden files, the
// external validators, and reading a written store back.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "mapi/bytes.h"
#include "pst/ndb/crc.h"
#include "support/scratch_dir.h"
#include "support/validators.h"

namespace qm::pst::storetest {

namespace fs = std::filesystem;

using ScratchDir = qm::testing::ScratchDir;

inline fs::path sharedDir() {
    const char* dir = std::getenv("QM_SHARED_DIR");
    return dir ? fs::path(dir) : fs::path();
}

inline fs::path goldenFile(const char* name) {
    const fs::path dir = sharedDir();
    if (dir.empty()) return {};
    const fs::path p = dir / "pst-samples" / name;
    return fs::exists(p) ? p : fs::path();
}

// The environment names the source and binary folders; the build's own
// values stand in when a runner passes only part of it.
inline fs::path sourceDir() {
    if (const char* dir = std::getenv("QM_SOURCE_DIR")) return fs::path(dir);
#ifdef QM_STORE_TEST_SOURCE_DIR
    return fs::path(QM_STORE_TEST_SOURCE_DIR);
#else
    return {};
#endif
}

inline fs::path binDir() {
    if (const char* dir = std::getenv("QM_BIN_DIR")) return fs::path(dir);
#ifdef QM_STORE_TEST_BIN_DIR
    return fs::path(QM_STORE_TEST_BIN_DIR);
#else
    return {};
#endif
}

// Single-quoted for /bin/sh.
inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

struct CommandResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

inline CommandResult run(const std::string& command) {
    CommandResult r;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
    const int status = ::pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Runs `quillmark-cli check` on `path` when the binary is built; expects it
// to find nothing.
inline void expectCheckerClean(const fs::path& path) {
    const fs::path cli = binDir() / "quillmark-cli";
    if (binDir().empty() || !fs::exists(cli)) return;
    const CommandResult r = run(shellQuote(cli.string()) + " check " + shellQuote(path.string()));
    EXPECT_EQ(r.exitCode, 0) << r.output.substr(0, 4000);
}

// Every independent reader (tests/support/validators.h) must read the whole
// store; `readpstTypes` goes to readpst's -t when given.
inline void expectOtherReadersRead(const fs::path& path, const std::string& readpstTypes = {},
                                   bool holdsMultipleGuid = false) {
    qm::testing::validators::Options options;
    options.readpstTypes = readpstTypes;
    options.holdsMultipleGuid = holdsMultipleGuid;
    qm::testing::validators::expectAllRead(path, options);
}

// The CRC-32 zlib and Python's zlib.crc32 compute (inverted in and out),
// built from the PST's uninverted one.
inline uint32_t zlibCrc(const ByteSource& source) {
    uint32_t crc = 0xFFFFFFFF;
    Bytes buf(1 << 16);
    for (uint64_t off = 0; off < source.size(); off += buf.size()) {
        const size_t n = size_t(std::min<uint64_t>(buf.size(), source.size() - off));
        source.read(off, std::span<uint8_t>(buf.data(), n));
        crc = ndb::crc32(buf.data(), n, crc);
    }
    return crc ^ 0xFFFFFFFF;
}

}  // namespace qm::pst::storetest
