// The folder part of a path, the relative folder of Windows-form and POSIX
// source paths, and the store's names.
#include <gtest/gtest.h>

#include "convert/folder_path.h"
#include "convert/relative_folder.h"
#include "convert/timestamp.h"
#include "mapi/error.h"

namespace qm::convert {
namespace {

TEST(GetFolderPathTest, CutsAfterTheLastBackslash) {
    EXPECT_EQ(GetFolderPath("C:\\Mail\\2009\\a.msg"), "C:\\Mail\\2009\\");
    EXPECT_EQ(GetFolderPath("Mail\\a.msg"), "Mail\\");
    EXPECT_EQ(GetFolderPath("a.msg"), "");
    EXPECT_EQ(GetFolderPath("C:\\Mail\\"), "C:\\Mail\\");
    EXPECT_EQ(GetFolderPath("\\"), "\\");
    EXPECT_EQ(GetFolderPath("C:/Mail/a.msg"), "");
    EXPECT_EQ(GetFolderPath("Mail\\\\a.msg"), "Mail\\\\");
    try {
        GetFolderPath("");
        FAIL() << "no error";
    } catch (const NumberedError& e) {
        EXPECT_EQ(e.number(), kErrSubscript);
    }
}

TEST(GetRelativeFolderTest, WindowsFormPaths) {
    EXPECT_EQ(GetRelativeFolder("C:\\Mail\\2009\\a.msg"), "Mail\\2009");
    EXPECT_EQ(GetRelativeFolder("C:\\Mail\\b.msg"), "Mail");
    EXPECT_EQ(GetRelativeFolder("D:\\Mail\\2009\\c.msg"), "Mail\\2009");
    EXPECT_EQ(GetRelativeFolder("C:\\A\\B\\C\\x.msg"), "A\\B\\C");
    // Spaces around the row and around the part after the colon are ignored.
    EXPECT_EQ(GetRelativeFolder("  C:  \\Mail\\a.msg  "), "Mail");
    // Forward slashes are ordinary characters in a Windows-form path.
    EXPECT_EQ(GetRelativeFolder("C:\\x/y\\a.msg"), "x/y");

    auto fails = [](const std::string& path, int number) {
        try {
            GetRelativeFolder(path);
            ADD_FAILURE() << path << ": no error";
        } catch (const NumberedError& e) {
            EXPECT_EQ(e.number(), number) << path;
        }
    };
    fails("", kErrSubscript);                          // an empty row
    fails("\\\\server\\share\\a.msg", kErrSubscript);  // a network path
    fails("relative\\a.msg", kErrSubscript);
    fails("C:", kErrSubscript);           // nothing after the colon
    fails("C:\\a.msg", kErrInvalidCall);  // a file in a drive root
    fails("   C:\\a.msg", kErrInvalidCall);
}

TEST(GetRelativeFolderTest, PosixPaths) {
    EXPECT_EQ(GetRelativeFolder("/home/ann/Mail/2009/a.msg"), "home\\ann\\Mail\\2009");
    EXPECT_EQ(GetRelativeFolder("/x/a.msg"), "x");
    // A backslash in a name cannot split it into two folders.
    EXPECT_EQ(GetRelativeFolder("/data/a\\b/m.msg"),
              "data\\a\xEF\xBC\xBC"
              "b");
    // Bytes that are not UTF-8 become U+FFFD, one per byte.
    EXPECT_EQ(GetRelativeFolder("/data/caf\xE9/m.msg"), "data\\caf\xEF\xBF\xBD");
    EXPECT_EQ(GetRelativeFolder("/data/\xC3\xA9t\xC3\xA9/m.msg"), "data\\\xC3\xA9t\xC3\xA9");
    // Names with spaces are kept exactly.
    EXPECT_EQ(GetRelativeFolder("/data/ my mail /m.msg"), "data\\ my mail ");
    EXPECT_EQ(GetRelativeFolder("/a//b/./c/../m.msg"), "a\\b");
    EXPECT_THROW(GetRelativeFolder("/a.msg"), NumberedError);
    EXPECT_THROW(GetRelativeFolder("/x/../a.msg"), NumberedError);
    try {
        GetRelativeFolder("/a.msg");
    } catch (const NumberedError& e) {
        EXPECT_EQ(e.number(), kErrInvalidCall);
    }
}

TEST(GetRelativeFolderTest, WhichPathIsWhichAndWhatImportOpens) {
    EXPECT_TRUE(IsPosixPath("/a"));
    EXPECT_FALSE(IsPosixPath(" /a"));
    EXPECT_FALSE(IsPosixPath("C:\\a"));
    EXPECT_EQ(SourcePathForImport("/home/ann/ a.msg "), "/home/ann/ a.msg ");
    EXPECT_EQ(SourcePathForImport("  C:\\Mail\\a.msg "), "C:\\Mail\\a.msg");
}

TEST(TimestampTest, PictureAndNames) {
    const std::string a = Timestamp({2026, 12, 6, 3, 44, 8});
    EXPECT_EQ(a, "6.12.26 3.44.08");
    const std::string b = Timestamp({2027, 1, 9, 14, 5, 3});
    EXPECT_EQ(b, "9.1.27 14.5.03");
    EXPECT_EQ(Timestamp({2005, 10, 31, 0, 0, 59}), "31.10.05 0.0.59");
    EXPECT_EQ(StoreFileName(b), "OutlookMessages9.1.27 14.5.03.pst");
    EXPECT_EQ(StoreDisplayName(b), "Quillmark : Created - 9.1.27 14.5.03");
    const LocalTime now = LocalNow();
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
}

}  // namespace
}  // namespace qm::convert
