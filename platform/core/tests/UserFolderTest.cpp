// The user folder: reached without following links, owned by its user, and worked in through its
// descriptor even when the user moves or replaces the folder afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/core/UserFolder.h"
#include "tests/support/TempRoot.h"

namespace fs = std::filesystem;

namespace {

class UserFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = tmp_.makeFolder("home");
        // As root, act for an unprivileged user as the daemon does; otherwise for ourselves.
        user_ = ::geteuid() == 0 ? fileio::UserFolder::Owner{65534, 65534}
                                 : fileio::UserFolder::Owner{::geteuid(), ::getegid()};
        ASSERT_EQ(::chown(home_.c_str(), user_.uid, user_.gid), 0);
        outside_ = tmp_.makeFolder("outside");
    }
    static uid_t ownerOf(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
    }
    static std::span<const uint8_t> bytes(const std::string& s) {
        return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
    }

    testsupport::TempFolder tmp_{"user_folder", 0755};
    std::string home_, outside_;
    fileio::UserFolder::Owner user_;
};

TEST_F(UserFolderTest, CreatesMissingFoldersForTheUserAndWritesTheUsersFile) {
    auto folder = fileio::UserFolder::open(home_, {"Library", "Application Support", "App"}, user_, true);
    ASSERT_TRUE(folder);
    for (const char* p : {"/Library", "/Library/Application Support", "/Library/Application Support/App"})
        EXPECT_EQ(ownerOf(home_ + p), user_.uid) << p;
    ASSERT_TRUE(folder->writeFileAtomically("state", bytes("one"), 0600));
    ASSERT_TRUE(folder->writeFileAtomically("state", bytes("two"), 0600));
    const std::string path = home_ + "/Library/Application Support/App/state";
    EXPECT_EQ(ownerOf(path), user_.uid);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    auto read = folder->readFile("state", 100);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::string(read->begin(), read->end()), "two");
    EXPECT_FALSE(folder->readFile("state", 2));  // larger than allowed
    // Only the file is left: no temporary file stays behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(home_ + "/Library/Application Support/App"), {}), 1);

    // Without create, a missing folder is not made.
    EXPECT_FALSE(fileio::UserFolder::open(home_, {"Library", "Missing"}, user_, false));
    EXPECT_FALSE(fs::exists(home_ + "/Library/Missing"));
}

TEST_F(UserFolderTest, RefusesLinksForeignFoldersAndNamesThatLeaveTheFolder) {
    fs::create_directories(home_ + "/Library");
    ASSERT_EQ(::chown((home_ + "/Library").c_str(), user_.uid, user_.gid), 0);
    fs::create_directory_symlink(outside_, home_ + "/Library/Linked");
    fs::create_directories(home_ + "/Library/Foreign");
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(::chown((home_ + "/Library/Foreign").c_str(), 0, 0), 0);
    }

    EXPECT_FALSE(fileio::UserFolder::open(home_, {"Library", "Linked"}, user_, true));
    EXPECT_FALSE(fileio::UserFolder::open(home_, {"Library", ".."}, user_, true));
    EXPECT_FALSE(fileio::UserFolder::open(home_, {"Library/Linked"}, user_, true));
    if (asRoot) {
        EXPECT_FALSE(fileio::UserFolder::open(home_, {"Library", "Foreign"}, user_, true));
    }
    EXPECT_FALSE(fileio::UserFolder::open(home_ + "/Library/Linked", {}, user_, true));  // home itself a link
    EXPECT_TRUE(fs::is_empty(outside_));

    auto library = fileio::UserFolder::open(home_, {"Library"}, user_, false);
    ASSERT_TRUE(library);
    EXPECT_FALSE(library->writeFileAtomically("../escape", bytes("x"), 0600));
    EXPECT_FALSE(fs::exists(home_ + "/escape"));
}

TEST_F(UserFolderTest, WorkStaysInTheOpenedFolderWhenTheUserSwapsItForALink) {
    auto folder = fileio::UserFolder::open(home_, {"Data"}, user_, true);
    ASSERT_TRUE(folder);
    // The user moves the folder away and puts a link to another folder in its place.
    fs::rename(home_ + "/Data", home_ + "/Moved");
    fs::create_directory_symlink(outside_, home_ + "/Data");
    { std::ofstream(outside_ + "/state") << "precious"; }

    ASSERT_TRUE(folder->writeFileAtomically("state", bytes("record"), 0600));
    EXPECT_TRUE(fs::exists(home_ + "/Moved/state"));
    EXPECT_TRUE(folder->removeFile("state"));
    EXPECT_FALSE(fs::exists(home_ + "/Moved/state"));
    EXPECT_FALSE(folder->removeFile("state"));

    // A link inside the folder is removed as a link; its target stays.
    fs::create_symlink(outside_ + "/state", home_ + "/Moved/state");
    EXPECT_FALSE(folder->readFile("state", 100));
    EXPECT_TRUE(folder->contains("state"));
    EXPECT_TRUE(folder->removeFile("state"));
    std::ifstream in(outside_ + "/state");
    std::string text;
    in >> text;
    EXPECT_EQ(text, "precious");
}

}  // namespace
