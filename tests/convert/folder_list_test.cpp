// The folder list: sub-paths added, sorted, each folder once, parents first.
#include <gtest/gtest.h>

#include <algorithm>

#include "convert/fake_host.h"
#include "convert/folder_list.h"
#include "convert/relative_folder.h"
#include "convert/run_time_error.h"

namespace qm::convert {
namespace {

StringList listFor(const std::vector<std::string>& paths) {
    StringList list;
    for (const auto& p : paths) list.push_back(GetRelativeFolder(p));
    list.push_back("");  // the spare element after the rows
    ExpandAndSortFolders(list);
    return list;
}

TEST(FolderListTest, ParentsComeFirstAndEachFolderOnce) {
    EXPECT_EQ(listFor({"C:\\Mail\\2009\\a.msg", "C:\\Mail\\b.msg", "D:\\Mail\\2009\\c.msg"}),
              (StringList{"Mail", "Mail\\2009"}));
    EXPECT_EQ(listFor({"C:\\A\\B\\C\\x.msg"}), (StringList{"A", "A\\B", "A\\B\\C"}));
    EXPECT_EQ(listFor({"C:\\Mail\\a.msg", "D:\\Mail\\b.msg"}), (StringList{"Mail"}));
    EXPECT_EQ(listFor({"/srv/b/x.msg", "/srv/a/y.msg", "/home/ann/z.msg"}),
              (StringList{"home", "home\\ann", "srv", "srv\\a", "srv\\b"}));
    // Case-different folders stay two entries; the store merges them.
    EXPECT_EQ(listFor({"/x/Mail/a.msg", "/x/mail/b.msg"}), (StringList{"x", "x\\Mail", "x\\mail"}));
}

TEST(FolderListTest, FromTheHostsRowsAsFromTheirFoldersAll) {
    // Runs of one folder (as a folder walk lists them), folders coming back
    // later, and case-different twins: the list is the one all the rows give.
    std::vector<std::string> paths;
    for (int i = 0; i < 30; ++i) paths.push_back("/m/b/x" + std::to_string(i) + ".msg");
    for (int i = 0; i < 5; ++i) paths.push_back("/m/a/c/y" + std::to_string(i) + ".msg");
    paths.push_back("/m/b/z.msg");
    paths.push_back("/m/B/z.msg");
    paths.push_back("/m/b/w.msg");
    paths.push_back("/n/\xC3\xA9/v.msg");
    paths.push_back("/m/a/u.msg");
    qm::testing::FakeHost host;
    host.rows = paths;
    StringList built;
    BuildFolderList(host, built);
    EXPECT_EQ(built, listFor(paths));
    EXPECT_EQ(built, (StringList{"m", "m\\B", "m\\a", "m\\a\\c", "m\\b", "n", "n\\\xC3\xA9"}));
    // Every row was read, in order.
    EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "cell 0"), 1);
    EXPECT_EQ(host.events[host.events.size() - 4], "cell " + std::to_string(paths.size() - 1));

    // A row whose folder cannot be derived still ends the list.
    host.rows.insert(host.rows.begin() + 3, "");
    StringList failed;
    EXPECT_THROW(BuildFolderList(host, failed), RunTimeError);
}

TEST(FolderListTest, HundredThousandRows) {
    std::vector<std::string> paths;
    for (int i = 0; i < 100000; ++i) {
        paths.push_back("/data/d" + std::to_string(i % 1000) + "/s" + std::to_string(i % 3) + "/m" +
                        std::to_string(i) + ".msg");
    }
    const StringList list = listFor(paths);
    // data, 1000 d folders, 3 s folders under each.
    EXPECT_EQ(list.size(), 1u + 1000u + 3000u);
    for (size_t i = 1; i < list.size(); ++i) {
        ASSERT_TRUE(list[i - 1] < list[i]) << list[i - 1] << " / " << list[i];
    }
    EXPECT_EQ(list.front(), "data");
}

}  // namespace
}  // namespace qm::convert
