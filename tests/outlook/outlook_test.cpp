// The automation surface over our engine: the session and its stores, folders
// and items, the utility object, and the folder opener.
#include <gtest/gtest.h>

#include <filesystem>

#include "mapi/tags.h"
#include "outlook/application.h"
#include "outlook/automation_error.h"
#include "outlook/folder_name.h"
#include "outlook/mail_item.h"
#include "outlook/session.h"
#include "run_fixture.h"

namespace qm::outlook {
namespace {

namespace fs = std::filesystem;
using qm::testing::TempDir;

int32_t errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const AutomationError& e) {
        return e.number();
    }
    return 0;
}

TEST(FolderNameTest, CaseInsensitiveLikeOutlook) {
    EXPECT_TRUE(FolderNamesEqual("Mail", "mail"));
    EXPECT_TRUE(FolderNamesEqual("MAIL", "mail"));
    EXPECT_TRUE(FolderNamesEqual("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"));  // Été / éTÉ
    EXPECT_TRUE(FolderNamesEqual("\xD0\x9F\xD0\xBE\xD1\x87\xD1\x82\xD0\xB0",
                                 "\xD0\xBF\xD0\xBE\xD1\x87\xD1\x82\xD0\xB0"));  // Почта / почта
    EXPECT_FALSE(FolderNamesEqual("Mail", "Mails"));
    EXPECT_FALSE(FolderNamesEqual("a", "b"));
    EXPECT_FALSE(FolderNamesEqual("\xC3\x97", "\xC3\xB7"));  // × is not the capital of ÷
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Profile::instance().closeAll();
        session.Logon();
        store = session.GetStores()->AddPSTStore(pst().string(), kStoreFormatDefault, "Store One");
    }
    void TearDown() override { Profile::instance().closeAll(); }
    fs::path pst() const { return dir.path() / "one.pst"; }

    TempDir dir;
    Session session;
    std::shared_ptr<Store> store;
};

TEST_F(SessionTest, StoresAreFoundByEntryIdAndDisplayName) {
    auto again = session.GetStores()->GetStoreFromID(store->EntryID());
    EXPECT_EQ(again->attached(), store->attached());
    EXPECT_FALSE(store->EntryID().empty());
    EXPECT_EQ(store->IPMRootFolder()->Name(), "Top of Outlook data file");
    EXPECT_EQ(errorOf([&] { session.GetStores()->GetStoreFromID("00"); }), kMapiNotFound);

    // Never over an existing file.
    EXPECT_EQ(errorOf([&] {
                  session.GetStores()->AddPSTStore(pst().string(), kStoreFormatDefault, "Other");
              }),
              kMapiCollision);
    EXPECT_EQ(errorOf([&] {
                  session.GetStores()->AddPSTStore((dir.path() / "ansi.pst").string(), 2, "A");
              }),
              kMapiInvalidParameter);
    EXPECT_FALSE(fs::exists(dir.path() / "ansi.pst"));

    Session notLoggedOn;
    EXPECT_EQ(errorOf([&] { notLoggedOn.GetStores(); }), kMapiNotInitialized);
}

TEST_F(SessionTest, FoldersAddEnumerateAndRefuseDuplicates) {
    auto top = store->IPMRootFolder()->GetFolders();
    const size_t before = top->Count();  // the store's own standard folders
    auto mail = top->Add("Mail", kFolderTypeMail);
    EXPECT_EQ(mail->Name(), "Mail");
    EXPECT_EQ(top->Count(), before + 1);
    EXPECT_EQ(errorOf([&] { top->Add("MAIL", kFolderTypeMail); }), kMapiCollision);
    EXPECT_EQ(errorOf([&] { top->Add("Other", 3); }), kMapiInvalidParameter);
    EXPECT_EQ(top->Item("mail")->nid(), mail->nid());
    EXPECT_EQ(errorOf([&] { top->Item("nothing"); }), kMapiNotFound);
    mail->GetFolders()->Add("2009", kFolderTypeMail);
    auto names = std::vector<std::string>();
    for (const auto& f : mail->GetFolders()->List()) names.push_back(f->Name());
    EXPECT_EQ(names, (std::vector<std::string>{"2009"}));

    EXPECT_EQ(session.GetFolderFromPath("\\\\Store One\\Mail\\2009")->Name(), "2009");
    EXPECT_EQ(session.GetFolderFromPath("\\\\store one\\mail")->nid(), mail->nid());
    EXPECT_EQ(errorOf([&] { session.GetFolderFromPath("\\\\Store One\\Mail\\2010"); }),
              kMapiNotFound);
    EXPECT_EQ(errorOf([&] { session.GetFolderFromPath("\\\\No Store\\Mail"); }), kMapiNotFound);
}

TEST_F(SessionTest, OpenMapiFolderWalksAbsolutePaths) {
    auto a = store->IPMRootFolder()->GetFolders()->Add("a", kFolderTypeMail);
    auto b = a->GetFolders()->Add("b", kFolderTypeMail);

    EXPECT_EQ(OpenMAPIFolder("\\"), nullptr);
    EXPECT_EQ(OpenMAPIFolder("\\Store One\\a\\b")->nid(), b->nid());
    EXPECT_EQ(OpenMAPIFolder("\\Store One\\a\\b\\")->nid(), b->nid());
    EXPECT_EQ(OpenMAPIFolder("\\Store One\\a")->nid(), a->nid());
    EXPECT_EQ(OpenMAPIFolder("\\Store One")->nid(), store->IPMRootFolder()->nid());
    // An empty component is a name like any other, and there is none.
    EXPECT_EQ(errorOf([&] { OpenMAPIFolder("\\Store One\\\\a"); }), kMapiNotFound);
    EXPECT_EQ(errorOf([&] { OpenMAPIFolder("\\\\Store One\\a"); }), kMapiNotFound);
    EXPECT_EQ(errorOf([&] { OpenMAPIFolder("\\Store One\\a\\c"); }), kMapiNotFound);
    // Relative paths need an explorer window, which the profile has not.
    EXPECT_EQ(errorOf([&] { OpenMAPIFolder("a\\b"); }), kErrNoObject);
    EXPECT_EQ(errorOf([&] { OpenMAPIFolder(""); }), kErrNoObject);
    // Nested folders are added under what the opener returns.
    OpenMAPIFolder("\\Store One\\a\\b")->GetFolders()->Add("c", kFolderTypeMail);
    EXPECT_EQ(session.GetFolderFromPath("\\\\Store One\\a\\b\\c")->Name(), "c");
    EXPECT_EQ(errorOf([&] { Application().GetNamespace("OTHER"); }), kMapiInvalidParameter);
}

TEST_F(SessionTest, ItemsImportSetFlagsAndSave) {
    const fs::path good = dir.path() / "in" / "good.msg";
    qm::testing::writeMessage(good, qm::testing::testMessage("hello", 1, mapi::MSGFLAG_UNSENT));
    auto folder = store->IPMRootFolder()->GetFolders()->Add("In", kFolderTypeMail);

    auto item = folder->GetItems()->Add(kItemTypeMail);
    item->Import(good.string(), kImportTypeMsg);
    EXPECT_EQ(item->AttachmentCount(), 1u);
    MAPIUtils utils;
    utils.HrSetOneProp(item->MAPIOBJECT(), mapi::tag::MessageFlags, 0x11, true);
    EXPECT_EQ(item->MAPIOBJECT()->message.props.int32(mapi::tag::MessageFlags), 0x11);
    item->Save();
    EXPECT_TRUE(item->saved());
    EXPECT_EQ(errorOf([&] { item->Save(); }), kMapiCallFailed);

    // A failed import discards the item: nothing to save.
    auto broken = folder->GetItems()->Add(kItemTypeMail);
    const fs::path bad = dir.path() / "in" / "bad.msg";
    qm::testing::writeBroken(bad);
    EXPECT_EQ(errorOf([&] { broken->Import(bad.string(), kImportTypeMsg); }), kMapiCorruptData);
    EXPECT_TRUE(broken->discarded());
    EXPECT_EQ(errorOf([&] { broken->Save(); }), kMapiCallFailed);

    auto missing = folder->GetItems()->Add(kItemTypeMail);
    EXPECT_EQ(errorOf([&] { missing->Import((dir.path() / "none.msg").string(), 3); }),
              kMapiNotFound);
    // Paths are used exactly: no trimming.
    EXPECT_EQ(errorOf([&] { folder->GetItems()->Add(0)->Import(" " + good.string(), 3); }),
              kMapiNotFound);
    // Only regular files are opened.
    EXPECT_EQ(errorOf([&] { folder->GetItems()->Add(0)->Import(dir.str(), 3); }), kMapiNoAccess);
    EXPECT_EQ(errorOf([&] { folder->GetItems()->Add(1); }), kMapiInvalidParameter);
    EXPECT_EQ(errorOf([&] { folder->GetItems()->Add(0)->Import(good.string(), 1); }),
              kMapiInvalidParameter);
    EXPECT_EQ(errorOf([&] { utils.HrSetOneProp(nullptr, mapi::tag::MessageFlags, 1, true); }),
              kErrNoObject);
    EXPECT_EQ(errorOf([&] { utils.HrSetOneProp(item->MAPIOBJECT(), mapi::tag::Subject, 1, true); }),
              kMapiInvalidParameter);

    // Logoff commits and closes: the store is gone from the profile and the
    // file reads back with the one saved message.
    session.Logoff();
    EXPECT_EQ(Profile::instance().findByDisplayName("Store One"), nullptr);
    EXPECT_EQ(errorOf([&] { folder->GetItems()->Add(0); }), kMapiNotInitialized);
    const auto dump = qm::testing::readEverywhere(pst());
    ASSERT_TRUE(dump.is_object());
    EXPECT_EQ(dump["display_name"], "Store One");
    EXPECT_EQ(dump["folders"]["In"]["subjects"], nlohmann::json({"hello"}));
    EXPECT_EQ(dump["folders"]["In"]["flags"], nlohmann::json({0x11}));
}

}  // namespace
}  // namespace qm::outlook
