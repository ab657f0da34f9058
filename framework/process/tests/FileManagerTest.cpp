#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestSupport.h"
#include "platform/paths/Paths.h"
#include "framework/process/FileManager.h"

using calix::FileManager;

namespace {

namespace fs = std::filesystem;

class calix_process_FileManager : public ::testing::Test {
  protected:
    FileManager& files() { return FileManager::sharedInstance(); }
    testsupport::TempRoot root_;
};

TEST_F(calix_process_FileManager, CreatesTheProductRootOnceAndRemakesItWhenDeleted) {
    const std::string expected = root_.path() + "/Users/.AllUsers/RavAviza/RavAviza.EXE$";
    ASSERT_FALSE(fs::exists(root_.path() + "/Users"));

    EXPECT_EQ(files().createAppRootDirectory(), expected);
    EXPECT_EQ(paths::productRoot(), expected);
    EXPECT_TRUE(fs::is_directory(root_.path() + "/Users/.AllUsers/RavAviza"));
    EXPECT_TRUE(fs::is_directory(expected));

    // A second call finds both and leaves what is inside alone.
    calixtest::writeText(expected + "/cmd.archive", "state");
    EXPECT_EQ(files().createAppRootDirectory(), expected);
    EXPECT_EQ(calixtest::readText(expected + "/cmd.archive"), "state");

    fs::remove_all(root_.path() + "/Users");
    EXPECT_EQ(files().createAppRootDirectory(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
}

TEST_F(calix_process_FileManager, SubfoldersLieInTheProductRoot) {
    EXPECT_EQ(files().createAppUpgradeRootDirectory(), paths::appUpgradeFolder());
    EXPECT_TRUE(fs::is_directory(paths::appUpgradeFolder()));
    EXPECT_EQ(files().createAppPolicyRootDirectory(), paths::productRoot() + "/Policy");
    EXPECT_TRUE(fs::is_directory(paths::productRoot() + "/Policy"));

    struct Case {
        std::string name, parent, expected;
    } cases[] = {
        {"Logs", root_.path() + "/a/b", root_.path() + "/a/b/Logs"},  // intermediate folders too
        {"Logs", root_.path() + "/c/", root_.path() + "/c/Logs"},     // one slash between
    };
    for (const auto& c : cases) {
        EXPECT_EQ(files().createDirectoryWithName(c.name, c.parent), c.expected);
        EXPECT_TRUE(fs::is_directory(c.expected)) << c.expected;
    }
}

TEST_F(calix_process_FileManager, ExistingItemsAreLeftAsTheyAre) {
    // A plain file where a folder is asked for: its path comes back and nothing is made.
    std::string blocker = root_.path() + "/Blocked";
    calixtest::writeText(blocker, "plain");
    EXPECT_EQ(files().createDirectoryWithName("Blocked", root_.path()), blocker);
    EXPECT_TRUE(fs::is_regular_file(blocker));
    EXPECT_EQ(calixtest::readText(blocker), "plain");

    // A non-empty file is returned with its contents intact.
    std::string data = root_.path() + "/HollinLogInfo.data";
    calixtest::writeText(data, "keep me");
    EXPECT_EQ(files().createFilePathWithFileName("HollinLogInfo.data", root_.path()), data);
    EXPECT_EQ(calixtest::readText(data), "keep me");
}

TEST_F(calix_process_FileManager, CreatesEmptyFilesOrReportsFailure) {
    struct Case {
        const char* what;
        std::string name, directory;
        std::optional<std::string> expected;
    } cases[] = {
        {"new file", "new.data", root_.path(), root_.path() + "/new.data"},
        {"plain joining keeps a double slash", "slash.data", root_.path() + "/",
         root_.path() + "//slash.data"},
        {"missing folder", "x.data", root_.path() + "/no/such/folder", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto made = files().createFilePathWithFileName(c.name, c.directory);
        EXPECT_EQ(made, c.expected);
        if (made) {
            EXPECT_TRUE(fs::is_regular_file(*made));
            EXPECT_EQ(fs::file_size(*made), 0u);
        }
    }
    EXPECT_FALSE(files().createFilePath(""));
}

TEST_F(calix_process_FileManager, DoesNotCreateThroughADanglingLink) {
    std::string target = root_.path() + "/elsewhere";
    std::string link = root_.path() + "/planted";
    fs::create_symlink(target, link);
    EXPECT_FALSE(files().createFilePath(link));
    EXPECT_FALSE(fs::exists(target));
}

}  // namespace
