// What counts as a readable .msg file before anything opens it: a regular
// file or a link to one, sized by the same look; never a FIFO, which would
// block the reader that opened it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "mapi/read_only_file.h"
#include "support/scratch_dir.h"

namespace qm {
namespace {

TEST(RegularFileSize, SizesFilesAndLinksToThemAndNothingElse) {
    testing::ScratchDir dir;
    const std::string file = (dir / "a.msg").string();
    std::ofstream(file, std::ios::binary) << std::string(1234, 'x');
    std::filesystem::create_symlink(file, dir / "link.msg");
    std::filesystem::create_symlink(dir / "gone.msg", dir / "dangling.msg");
    std::filesystem::create_directory(dir / "folder.msg");
    ASSERT_EQ(::mkfifo((dir / "fifo.msg").c_str(), 0600), 0);

    EXPECT_EQ(regularFileSize(file), 1234u);
    EXPECT_EQ(regularFileSize((dir / "link.msg").string()), 1234u);
    EXPECT_EQ(regularFileSize((dir / "dangling.msg").string()), std::nullopt);
    EXPECT_EQ(regularFileSize((dir / "folder.msg").string()), std::nullopt);
    EXPECT_EQ(regularFileSize((dir / "fifo.msg").string()), std::nullopt);
    EXPECT_EQ(regularFileSize((dir / "missing.msg").string()), std::nullopt);
    EXPECT_EQ(regularFileSize(""), std::nullopt);
}

}  // namespace
}  // namespace qm
