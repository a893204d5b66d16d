// The listing the walkers stand on agrees with std::filesystem's: the same
// names in the same order, and the same answer to "regular file (through
// links)?" and "folder (through links)?" for every kind of entry.
#include "shell/directory_listing.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/error.h"
#include "temp_tree.h"

namespace qm::shell {
namespace {

namespace fs = std::filesystem;
using test::TempTree;

TEST(DirectoryListing, AgreesWithTheStandardLibraryOnEveryKindOfEntry) {
    TempTree t;
    for (int i = 0; i < 300; ++i) t.file("m" + std::to_string(i) + ".msg");
    t.dir("sub");
    fs::create_symlink(t.path("m1.msg"), t.path("link-file.msg"));
    fs::create_directory_symlink(t.path("sub"), t.path("link-folder"));
    fs::create_symlink(t.path("nowhere"), t.path("dangling.msg"));
    ASSERT_EQ(::mkfifo(t.path("pipe.msg").c_str(), 0600), 0);

    struct Seen {
        std::string name;
        EntryKind kind;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> expected, listed;
    for (const fs::directory_entry& e : fs::directory_iterator(t.root())) {
        std::error_code ec;
        const EntryKind kind = e.is_regular_file(ec) ? EntryKind::File
                               : e.is_directory(ec)  ? EntryKind::Folder
                                                     : EntryKind::Other;
        expected.push_back({e.path().filename().string(), kind});
    }
    for (const std::string& folder : {t.root(), t.root() + "/"}) {
        listed.clear();
        DirectoryListing listing(folder);
        Seen s;
        while (listing.Next(s.name, s.kind)) listed.push_back(s);
        EXPECT_FALSE(listing.Next(s.name, s.kind)) << "a finished listing stays finished";
        ASSERT_EQ(listed.size(), expected.size()) << folder;
        EXPECT_TRUE(listed == expected) << folder;
    }
    auto kindOf = [&](const std::string& name) {
        for (const Seen& s : listed)
            if (s.name == name) return s.kind;
        ADD_FAILURE() << name << " not listed";
        return EntryKind::Other;
    };
    EXPECT_EQ(kindOf("link-file.msg"), EntryKind::File);
    EXPECT_EQ(kindOf("link-folder"), EntryKind::Folder);
    EXPECT_EQ(kindOf("dangling.msg"), EntryKind::Other);
    EXPECT_EQ(kindOf("pipe.msg"), EntryKind::Other);

    EXPECT_THROW(DirectoryListing(t.path("missing")), qm::IoError);
    EXPECT_THROW(DirectoryListing(t.path("m1.msg")), qm::IoError);
}

}  // namespace
}  // namespace qm::shell
