#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/records/support/RecordsTestSupport.h"
#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "common/logger/LogSink.h"
#include "framework/process/TaskHelper.h"

using recordstest::TempRoot;
using recordstest::writeFile;
using calix::TaskHelper;
using common::AccountModel;
using common::flushProcessLog;
namespace fs = std::filesystem;

namespace {

class AccountModelTest : public ::testing::Test {
  protected:
    void TearDown() override { flushProcessLog(); }

    // Makes user the console user (logind's active session on seat0) and creates its home.
    std::string signIn(const std::string& user, const std::string& home) {
        writeFile(root_.at("/run/systemd/seats/seat0"), "ACTIVE=c1\n");
        writeFile(root_.at("/run/systemd/sessions/c1"), "USER=" + user + "\nCLASS=user\n");
        fs::create_directories(root_.at(home));
        return root_.at(home) + "/Library/Application Support/RavAvizaL/login.archive";
    }

    TempRoot root_;
};

// Deciphers the stored text with Python's cryptography package: AES-128-ECB, the key string
// padded with zero bytes to 16, PKCS#7, Base64 with line breaks.
std::string decipherIndependently(const std::string& stored) {
    const char* script =
        "import base64,sys\n"
        "from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes\n"
        "from cryptography.hazmat.primitives import padding\n"
        "key=b'tavlorine'.ljust(16,b'\\0')\n"
        "d=Cipher(algorithms.AES(key),modes.ECB()).decryptor()\n"
        "raw=d.update(base64.b64decode(''.join(sys.argv[1].split())))+d.finalize()\n"
        "u=padding.PKCS7(128).unpadder()\n"
        "sys.stdout.write((u.update(raw)+u.finalize()).decode())\n";
    std::string out;
    ErrorValue error;
    TaskHelper::sharedInstance().excuteTaskPath(RAVAVIZA_PYTHON, {"-c", script, stored}, &out, &error);
    return error.failureReason.empty() ? out : "error: " + error.failureReason;
}

}  // namespace

TEST_F(AccountModelTest, TicketIsKeptEncipheredUnderTheFixedKey) {
    AccountModel model;
    model.setTicket("TGT-8841-ab:cd");
    EXPECT_EQ(model.ticket().find("TGT"), std::string::npos);
    EXPECT_EQ(model.decryptTicket(), "TGT-8841-ab:cd");
    EXPECT_EQ(decipherIndependently(model.ticket()), "TGT-8841-ab:cd");
}

TEST_F(AccountModelTest, FreshRecordHasNoTicketButStoresOnlyCipherText) {
    AccountModel model;
    EXPECT_FALSE(model.ticket().empty());
    EXPECT_EQ(decipherIndependently(model.ticket()), "");
    EXPECT_EQ(model.decryptTicket(), "");
    EXPECT_EQ(model.ticket_state, 1);
    EXPECT_EQ(model.networkType, 1);
    EXPECT_EQ(model.loginType, 0);
}

TEST_F(AccountModelTest, DecodingKeepsTheStoredTicketAndReadsALegacyClearTicket) {
    AccountModel enciphered;
    enciphered.setTicket("TGT-1");
    auto decoded = AccountModel::decode(enciphered.encode());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->ticket(), enciphered.ticket());  // not enciphered a second time
    EXPECT_EQ(decoded->decryptTicket(), "TGT-1");

    archive::Object legacy{"AccountModel",
                           {{"ticket", "TGT-legacy-77"}, {"username", "ana"}, {"loginType", 1}}};
    auto old = AccountModel::decode(legacy);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->decryptTicket(), "TGT-legacy-77");
    EXPECT_EQ(old->username, "ana");
    EXPECT_EQ(old->ticket_state, 1);  // fields the file lacks keep the new record's values

    EXPECT_FALSE(AccountModel::decode(archive::Object{"ZemMachineModel", {}}));
    EXPECT_FALSE(AccountModel::decode(archive::Value("AccountModel")));
}

TEST_F(AccountModelTest, SavesAndReadsTheConsoleUsersLoginArchive) {
    std::string path = signIn("root", "/root");
    EXPECT_FALSE(AccountModel::currentModel());

    AccountModel model;
    model.setTicket("TGT-42");
    model.zemStatus = 3;
    model.userid = "u-17";
    model.username = "ana";
    model.islogout = 1;
    model.ticket_state = 2;
    model.networkType = 0;
    model.loginType = 3;
    model.domainName = "CORP";
    ASSERT_TRUE(model.save());
    EXPECT_EQ(AccountModel::modelSavePathWithCheck(false), path);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    auto read = AccountModel::currentModel();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->encode(), model.encode());
    EXPECT_EQ(read->decryptTicket(), "TGT-42");

    EXPECT_TRUE(AccountModel::deleteCurrentModel());
    EXPECT_FALSE(AccountModel::deleteCurrentModel());
    EXPECT_FALSE(AccountModel::currentModel());
}

TEST_F(AccountModelTest, LastFoundFolderStaysWhileNobodyIsSignedIn) {
    std::string path = signIn("root", "/root");
    ASSERT_TRUE(AccountModel().save());
    fs::remove(root_.at("/run/systemd/seats/seat0"));
    EXPECT_EQ(AccountModel::modelSavePathWithCheck(false), path);
    EXPECT_TRUE(AccountModel::currentModel());
}

TEST_F(AccountModelTest, RootWritesTheFileAsTheUsersAndReadsOnlyTheUsersOwnFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    // "nobody" has the home /nonexistent, which the fixture root provides.
    std::string path = signIn("nobody", "/nonexistent");
    ASSERT_EQ(::chown(root_.at("/nonexistent").c_str(), 65534, 65534), 0);
    AccountModel model;
    model.username = "nobody-user";
    ASSERT_TRUE(model.save());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    ASSERT_EQ(::stat(fs::path(path).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);  // the user can still write its own folder
    ASSERT_TRUE(AccountModel::currentModel());

    // A file of another owner is not the user's record.
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    EXPECT_FALSE(AccountModel::currentModel());

    // Nor is a link to a record elsewhere.
    std::string elsewhere = root_.at("/elsewhere.archive");
    fs::rename(path, elsewhere);
    ASSERT_EQ(::chown(elsewhere.c_str(), 65534, 65534), 0);
    fs::create_symlink(elsewhere, path);
    EXPECT_FALSE(AccountModel::currentModel());

    // A link planted in place of the user's folder stops root's write instead of being followed.
    fs::remove_all(fs::path(path).parent_path());
    fs::create_directories(root_.at("/target"));
    fs::create_directory_symlink(root_.at("/target"), fs::path(path).parent_path());
    EXPECT_FALSE(model.save());
    EXPECT_TRUE(fs::is_empty(root_.at("/target")));
}

namespace {

// A child process running as the user that keeps exchanging `a` and `b` (RENAME_EXCHANGE) until
// it is stopped, racing whatever root does meanwhile.
class SwappingUser {
  public:
    SwappingUser(uid_t uid, gid_t gid, const std::string& a, const std::string& b) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
            bool told = false;
            for (long i = 0; i < 50'000'000; ++i) {
                if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), 2 /* exchange */) ==
                        0 &&
                    !told) {
                    told = ::write(fds[1], "s", 1) == 1;
                    ::close(fds[1]);
                }
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        char c = 0;
        started_ = ::read(fds[0], &c, 1) == 1;  // the first exchange has happened
        ::close(fds[0]);
    }
    ~SwappingUser() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return started_; }

  private:
    pid_t pid_ = -1;
    bool started_ = false;
};

class AccountModelRaceTest : public AccountModelTest {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act for another user";
        path_ = signIn("nobody", "/nonexistent");
        folder_ = fs::path(path_).parent_path().string();
        ASSERT_EQ(::chown(root_.at("/nonexistent").c_str(), 65534, 65534), 0);
        ASSERT_TRUE(AccountModel().save());  // creates the user's folders
        // A root-owned folder holding a root-owned login.archive, and the user's link to it.
        target_ = root_.at("/private");
        writeFile(target_ + "/login.archive", "root's own", 0600);
        fs::create_directory_symlink(target_, folder_ + ".swap");
        ASSERT_EQ(::lchown((folder_ + ".swap").c_str(), 65534, 65534), 0);
    }
    std::string path_, folder_, target_;
};

TEST_F(AccountModelRaceTest, SaveRacingAFolderSwapNeverWritesOutsideTheUsersFolder) {
    SwappingUser user(65534, 65534, folder_, folder_ + ".swap");
    ASSERT_TRUE(user.started());
    for (int i = 0; i < 300; ++i) (void)AccountModel().save();
    EXPECT_EQ(recordstest::readFile(target_ + "/login.archive"), "root's own");
    EXPECT_EQ(std::distance(fs::directory_iterator(target_), {}), 1);
}

TEST_F(AccountModelRaceTest, DeleteNeverRemovesAFileBehindAPlantedOrSwappedLink) {
    // A link planted in place of the folder, no race.
    fs::rename(folder_, folder_ + ".real");
    fs::rename(folder_ + ".swap", folder_);
    EXPECT_FALSE(AccountModel::deleteCurrentModel());
    EXPECT_TRUE(fs::exists(target_ + "/login.archive"));
    fs::rename(folder_, folder_ + ".swap");
    fs::rename(folder_ + ".real", folder_);

    SwappingUser user(65534, 65534, folder_, folder_ + ".swap");
    ASSERT_TRUE(user.started());
    for (int i = 0; i < 300; ++i) {
        (void)AccountModel().save();
        (void)AccountModel::deleteCurrentModel();
    }
    EXPECT_EQ(recordstest::readFile(target_ + "/login.archive"), "root's own");
}

TEST_F(AccountModelTest, ARecordOfManySharedReferencesIsRefusedButALargePlainOneReads) {
    std::string path = signIn("root", "/root");
    const std::string big(200 * 1024, 'x');
    archive::Array shared(125, archive::Value(big));  // one string entry, 125 references
    auto bomb =
        archive::archivedData(archive::Object{"AccountModel", {{"username", "ana"}, {"userid", shared}}});
    ASSERT_TRUE(bomb);
    ASSERT_LT(bomb->size(), 300u * 1024);
    writeFile(path, std::string(bomb->begin(), bomb->end()), 0600);
    EXPECT_FALSE(AccountModel::currentModel());

    AccountModel plain;
    plain.username = big;
    ASSERT_TRUE(plain.save());
    auto read = AccountModel::currentModel();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->username, big);
}

}  // namespace
