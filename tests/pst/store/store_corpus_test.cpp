// Every readable .msg of the shared corpus (real files from other software:
// appointments, contacts, S/MIME, embedded messages, 8-bit and Unicode
// strings), read by our MSG reader and written into one store, one folder
// per corpus source under a common parent. Each message reads back equal,
// our checker finds nothing, and libpff and libpst read every message.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "mapi/error.h"
#include "message_compare.h"
#include "message_gen.h"
#include "msg/msg.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "store_test_util.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;
namespace fs = std::filesystem;

namespace {

struct Written {
    fs::path source;
    Nid folder = 0;
    Nid nid = 0;
};

}  // namespace

TEST(StoreCorpus, EveryReadableMessageOfTheCorpus) {
    const fs::path corpus = sharedDir() / "corpus";
    if (sharedDir().empty() || !fs::exists(corpus)) {
        GTEST_SKIP() << "no corpus at $QM_SHARED_DIR/corpus; skipped";
    }
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus)) {
        if (e.is_regular_file() && e.path().extension() == ".msg") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());

    ScratchDir dir;
    const auto path = dir / "corpus.pst";
    auto store = Store::create(path, "Corpus");
    const Nid top = store->addFolder(store->ipmSubtree(), "Corpus");
    std::map<std::string, Nid> folders;
    std::map<Nid, size_t> perFolder;
    std::vector<Written> written;
    size_t unreadable = 0;
    for (const auto& file : files) {
        mapi::Message m;
        try {
            m = msg::readMsgFile(file);
        } catch (const FormatError&) {
            ++unreadable;  // the corpus's broken files: the MSG tests cover them
            continue;
        }
        const std::string source = file.parent_path().filename().string();
        if (!folders.count(source)) folders[source] = store->addFolder(top, source);
        const Nid folder = folders[source];
        SCOPED_TRACE(file.string());
        Nid nid = 0;
        ASSERT_NO_THROW(nid = store->addMessage(folder, withTrueFlags(std::move(m))));
        written.push_back({file, folder, nid});
        ++perFolder[folder];
    }
    store->close();
    EXPECT_GT(written.size(), files.size() / 2) << unreadable << " unreadable";

    auto pst = read::PstFile::open(path);
    for (const auto& w : written) {
        SCOPED_TRACE(w.source.string());
        mapi::Message expected = withTrueFlags(msg::readMsgFile(w.source));
        mapi::Message actual = pst->readMessage(w.nid);
        normalize(expected, actual);
        EXPECT_EQ(qm::testing::diffMessages(expected, actual), "");
    }
    for (const auto& [folder, count] : perFolder) {
        EXPECT_EQ(pst->messageNids(folder).size(), count);
        EXPECT_EQ(pst->folderProperties(folder).int32(mapi::tag::ContentCount), int32_t(count));
    }
    expectCheckerClean(path);

    // The independent readers find every message. pffexport skips the item
    // kinds it cannot export (posts, say) and says so; every other message
    // must come out.
    ScratchDir out;
    if (const auto r = qm::testing::validators::pffexport(path, out.path()); r.ran()) {
        qm::testing::validators::expectClean(r);
        const std::string said = r.output + r.diagnostics;
        size_t skipped = 0;
        for (size_t at = said.find("Skipped item"); at != std::string::npos;
             at = said.find("Skipped item", at + 1)) {
            ++skipped;
        }
        const fs::path base = out / "export.export" / "Top of Outlook data file" / "Corpus";
        size_t exported = 0;
        for (const auto& [source, nid] : folders) {
            if (!fs::exists(base / source)) continue;
            for (const auto& e : fs::directory_iterator(base / source)) {
                const std::string n = e.path().filename().string();
                if (e.is_directory() && n.find("Folder") == std::string::npos) ++exported;
            }
        }
        EXPECT_EQ(exported + skipped, written.size()) << said.substr(0, 4000);
    }
    expectOtherReadersRead(path, "eajc");
}
