#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "RecordsTestSupport.h"
#include "account/AccountModel.h"
#include "archive/KeyedArchive.h"
#include "logger/LogSink.h"
#include "process/TaskHelper.h"

using recordstest::TempRoot;
using recordstest::writeFile;
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
