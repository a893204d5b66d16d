// A writer killed (SIGKILL) while it adds messages leaves a file that our
// reader opens, our checker accepts, and that holds every message whose
// commit had returned: the child reports each commit through a pipe, the
// parent kills it at a varying point and reads the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "mapi/tags.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "store_test_util.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;
namespace tag = mapi::tag;

namespace {

mapi::Message crashMessage(uint32_t i) {
    mapi::Message m;
    m.props.set(mapi::Property::utf8(tag::MessageClass, "IPM.Note"));
    m.props.set(mapi::Property::utf8(tag::Subject, "Crash " + std::to_string(i)));
    m.props.set(mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ));
    // Some messages carry an attachment of a few blocks, so kills also land
    // in data trees and not only in small heaps.
    if (i % 5 == 0) {
        m.props.set(
            mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH));
        mapi::Attachment a;
        a.props.set(mapi::Property::int32(tag::AttachMethod, mapi::ATTACH_BY_VALUE));
        a.props.set(
            mapi::Property::binary(tag::AttachDataBinary, PatternSource(30000 + i, i).readAll()));
        m.attachments.push_back(std::move(a));
    }
    return m;
}

// The child: writes messages forever, one commit each, and reports the
// number committed after every commit.
[[noreturn]] void writeUntilKilled(const std::filesystem::path& path, int fd) {
    try {
        StoreOptions options;
        options.commitInterval = std::chrono::milliseconds(0);
        auto store = Store::create(path, "Crash");
        const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
        store->commit();
        for (uint32_t i = 1;; ++i) {
            store->addMessage(folder, crashMessage(i));
            store->commit();
            if (::write(fd, &i, sizeof i) != sizeof i) break;
        }
    } catch (const std::exception&) {
    }
    ::_exit(1);
}

}  // namespace

TEST(StoreCrash, KilledWriterLeavesEveryCommittedMessage) {
    for (uint32_t round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ScratchDir dir;
        const auto path = dir / "crash.pst";
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            writeUntilKilled(path, fds[1]);
        }
        ::close(fds[1]);
        // Let it commit a varying number of messages, then kill it at once.
        const uint32_t target = 15 + round * 23;
        uint32_t committed = 0;
        while (committed < target) {
            uint32_t n = 0;
            if (::read(fds[0], &n, sizeof n) != sizeof n) break;
            committed = n;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        uint32_t n = 0;
        while (::read(fds[0], &n, sizeof n) == sizeof n) committed = n;
        ::close(fds[0]);
        ASSERT_GE(committed, target) << "the writer stopped early";

        auto pst = read::PstFile::open(path);
        const auto folders = pst->childFolders(pst->ipmSubtree());
        Nid inbox = 0;
        for (const auto& f : folders) {
            if (f.name == "Inbox") inbox = f.nid;
        }
        ASSERT_NE(inbox, 0u);
        const auto nids = pst->messageNids(inbox);
        // Every committed message; at most one more (killed after its commit
        // but before it could say so).
        EXPECT_GE(nids.size(), committed);
        EXPECT_LE(nids.size(), size_t(committed) + 1);
        const auto props = pst->folderProperties(inbox);
        EXPECT_EQ(props.int32(tag::ContentCount), int32_t(nids.size()));
        for (size_t i = 0; i < nids.size(); i += 7) {
            const auto m = pst->readMessage(nids[i]);
            EXPECT_EQ(read::readableSubject(m.props), "Crash " + std::to_string(i + 1));
        }
        expectCheckerClean(path);
    }
}
