// The folder list: sub-paths added, sorted, each folder once, parents first.
#include <gtest/gtest.h>

#include <algorithm>

#include "convert/folder_list.h"
#include "convert/relative_folder.h"
#include "mapi/error.h"

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
