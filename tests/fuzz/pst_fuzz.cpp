// libFuzzer target over the PST checker and reader: the checker reports any
// input as findings or refuses it with qm::FormatError; the reader reads every
// folder and message (streamed values too) or stops with a qm::Error. Each
// input lives in a memory file (memfd_create), as the reader takes a path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_touch.h"
#include "mapi/error.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"

namespace {

using qm::pst::read::PstFile;

void readAll(const std::string& path) {
    auto pst = PstFile::open(path);
    qm::fuzz::touch(pst->storeProperties(), 1252);
    (void)pst->displayName();
    (void)pst->nameMap();
    for (const auto& node : pst->folderTree(PstFile::rootFolder())) {
        try {  // one damaged folder or message says nothing of the next
            qm::fuzz::touch(pst->folderProperties(node.folder.nid), 1252);
            for (auto nids :
                 {pst->messageNids(node.folder.nid), pst->associatedMessageNids(node.folder.nid)})
                for (auto nid : nids) {
                    try {
                        qm::fuzz::touch(pst->readMessage(nid));
                    } catch (const qm::Error&) {
                    }
                }
        } catch (const qm::Error&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("pst_fuzz", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) {
        std::perror("memfd");
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
