// libFuzzer target over the PST reader and checker: the checker reports any
// input as findings or refuses it with qm::FormatError; the reader opens it
// and reads every folder and message (streamed values too), or stops with a
// qm::Error naming what failed. Anything else (a crash, a sanitizer report,
// another exception, a timeout or an out-of-memory) is a bug.
//
// The reader takes a path, so each input lives in a memory file
// (memfd_create) named through /proc/self/fd: no disk traffic.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mapi/error.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"

namespace {

using qm::pst::read::PstFile;

void touch(const qm::mapi::PropertyBag& props) {
    for (const auto& p : props) {
        if (p.stream) {
            uint8_t buf[512];
            const uint64_t n = std::min<uint64_t>(sizeof buf, p.stream->size());
            p.stream->read(0, std::span<uint8_t>(buf, size_t(n)));
        }
    }
}

void touch(const qm::mapi::Message& m, int depth) {
    touch(m.props);
    for (const auto& r : m.recipients) touch(r.props);
    for (const auto& a : m.attachments) {
        touch(a.props);
        if (a.embedded && depth < 64) touch(*a.embedded, depth + 1);
    }
}

void readAll(const std::string& path) {
    auto pst = PstFile::open(path);
    touch(pst->storeProperties());
    (void)pst->displayName();
    (void)pst->nameMap();
    for (const auto& node : pst->folderTree(PstFile::rootFolder())) {
        try {
            touch(pst->folderProperties(node.folder.nid));
            for (auto nids :
                 {pst->messageNids(node.folder.nid), pst->associatedMessageNids(node.folder.nid)}) {
                for (auto nid : nids) {
                    try {
                        touch(pst->readMessage(nid), 0);
                    } catch (const qm::Error&) {
                        // One damaged message says nothing of the next.
                    }
                }
            }
        } catch (const qm::Error&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("pst_fuzz", MFD_CLOEXEC);
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) {
        std::perror("memfd write");
        std::abort();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        (void)qm::pst::read::checkFile(path);
    } catch (const qm::Error&) {
    }
    try {
        readAll(path);
    } catch (const qm::Error&) {
    }
    return 0;
}
