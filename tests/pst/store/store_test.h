// Shared by the store tests: message comparison (message_compare.h), zlib's
// CRC, the independent readers, and running the reader scripts beside them.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <set>

#include "message_compare.h"
#include "pst/ndb/crc.h"
#include "pst/pst_test.h"
#include "support/validators.h"

namespace qm::pst::storetest {

using namespace qm::pst::testing;

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

// Every independent reader reads the whole store (tests/support/validators.h).
inline void expectOtherReadersRead(const fs::path& path, const std::string& readpstTypes = {},
                                   bool holdsMultipleGuid = false) {
    qm::testing::validators::Options options;
    options.readpstTypes = readpstTypes;
    options.holdsMultipleGuid = holdsMultipleGuid;
    qm::testing::validators::expectAllRead(path, options);
}

// The checkout (for the reader scripts beside these tests): the
// environment's, or the build's own.
inline fs::path sourceDir() {
    const char* dir = std::getenv("QM_SOURCE_DIR");
    return dir ? fs::path(dir) : fs::path(QM_STORE_TEST_SOURCE_DIR);
}

// Single-quoted for /bin/sh.
inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
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
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) r.output.append(buf, n);
    const int status = ::pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace qm::pst::storetest
