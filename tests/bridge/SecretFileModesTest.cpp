// Every file in the table of secret-carrying files, written by its real writer as root in a
// temporary root: none is readable by another user, also where an earlier version left the file
// readable by everyone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus/ZemDebugModel.h"
#include "common/account/AccountModel.h"
#include "daemon/bridge/UserBridge.h"
#include "daemon/policy/ZemClientFMDB.h"
#include "daemon/store/ZemConfigManager.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/paths/FileModes.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using archive::Array;
using archive::Dictionary;
using archive::Value;

namespace {

constexpr uid_t kUid = 65534;  // nobody
constexpr gid_t kGid = 65534;
constexpr const char* kPassword = "Adm1n-Pa55-MARKER";

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// Leaves a file readable by everyone at path, as an earlier version wrote it.
void leaveWorldReadable(const std::string& path, const std::string& bytes = "") {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
}

class SecretFileModes : public ::testing::Test {
  protected:
    void TearDown() override {
        openDatabase_.reset();
        tempRoot_.reset();
    }
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "writes as root into a user's folder";
        tempRoot_.emplace("rav-secret-modes", 0755);
        home_ = paths::homeFolder("nobody").value_or("");
        ASSERT_FALSE(home_.empty());
        ASSERT_TRUE(testsupport::makeOwnedFolders(home_, {"/Library", "/Application Support", "/RavAvizaL"}, kUid, kGid));
        tempRoot_->signInAtScreen("nobody");
        fs::create_directories(paths::machineSupportFolder());
        fs::create_directories(paths::productRoot());
    }

    // Writes the file through the code that writes it in the product; returns the paths it made.
    std::vector<std::string> writeThroughProduct(const std::string& name) {
        if (name == "joindomainInfo.archive") {
            // The bridge copies the server's domain list, password included, to the machine.
            const std::string target = paths::machineSupportFolder() + "/" + name;
            leaveWorldReadable(target);
            const Array domains{Value(Dictionary{
                {"name", "corp"}, {"domain_admin_account", "admin"}, {"domain_admin_pwd", kPassword}})};
            const Value config(
                Dictionary{{"domain", Dictionary{{"joindomain_switch", 1}, {"domaininfo", domains}}}});
            const std::string request =
                home_ + "/Library/Application Support/RavAvizaL/GeneralConfig.archive";
            EXPECT_TRUE(archive::archiveRootObjectToFile(config, request));
            EXPECT_EQ(::chown(request.c_str(), kUid, kGid), 0);
            hollin::UserBridge::Environment env;
            env.consoleUser = [] { return std::string("nobody"); };
            env.log = [](const std::string&) {};
            hollin::UserBridge(env).monitorUserLogin();
            auto stored = archive::unarchiveObjectWithFile(target);
            EXPECT_TRUE(stored && *stored.value == Value(domains))
                << "the bridge did not copy the domain list";
            return {target};
        }
        if (name == "config.archive") {
            const std::string target = hollin::ZemConfigManager::localPath();
            leaveWorldReadable(target);
            hollin::ZemConfigManager configs(target);
            configs.updateMemoryConfigs({hollin::ZemConfigModel::initWith(42, kPassword)});
            return {target};
        }
        if (name == "RavAviza.sqlite") {
            // A database, with its log files, that an earlier version left readable by everyone.
            const std::string target = paths::productRoot() + "/" + name;
            {
                hollin::ZemClientFMDB db(target);
                EXPECT_TRUE(db.upsertPolicy({{"policy_id", 1},
                                             {"policy_version", 1},
                                             {"policy_moudle", "wifi"},
                                             {"content", "x"},
                                             {"runCycle", 600},
                                             {"deadline", ""},
                                             {"md5", ""},
                                             {"run_state", 0},
                                             {"max_timeout", "300"}}));
            }
            for (const char* suffix : {"", "-wal", "-shm"}) ::chmod((target + suffix).c_str(), 0644);
            // Kept open, so its log files are there to be looked at.
            hollin::ZemClientFMDB& db = openDatabase_.emplace(target);
            EXPECT_TRUE(db.upsertPolicy({{"policy_id", 2},
                                         {"policy_version", 1},
                                         {"policy_moudle", "wifi"},
                                         {"content", "y"},
                                         {"runCycle", 600},
                                         {"deadline", ""},
                                         {"md5", ""},
                                         {"run_state", 0},
                                         {"max_timeout", "300"}}));
            return {target, target + "-wal", target + "-shm"};
        }
        if (name == "login.archive") {
            auto target = common::AccountModel::modelSavePathWithCheck(true);
            EXPECT_TRUE(target);
            if (!target) return {};
            leaveWorldReadable(*target);
            common::AccountModel account;
            account.userid = "u-1";
            account.setTicket(kPassword);
            EXPECT_TRUE(account.save());
            return {*target};
        }
        if (name == "ZemDebug.data") {
            const std::string target = ZemDebugModelManager::_archivePath();
            leaveWorldReadable(target);
            ZemDebugModel model;
            model.ftp_user = "upload";
            EXPECT_TRUE(ZemDebugModelManager::saveDebugModelToLocal(model));
            return {target};
        }
        ADD_FAILURE() << name << " is listed as carrying a secret, but this test does not know its writer";
        return {};
    }

    std::optional<testsupport::TempRoot> tempRoot_;
    std::string home_;
    std::optional<hollin::ZemClientFMDB> openDatabase_;
};

TEST_F(SecretFileModes, EveryListedFileIsWrittenForItsOwnerAlone) {
    ASSERT_FALSE(paths::secretFiles().empty());
    for (const paths::SecretFile& file : paths::secretFiles()) {
        const std::string name(file.name);
        SCOPED_TRACE(name + " (" + std::string(file.carries) + ")");
        EXPECT_EQ(paths::fileModeFor(name), paths::kSecretFileMode);
        const std::vector<std::string> written = writeThroughProduct(name);
        EXPECT_FALSE(written.empty());
        for (const std::string& path : written) {
            ASSERT_TRUE(fs::exists(path)) << path;
            EXPECT_EQ(modeOf(path) & 077, 0u) << path << " has mode " << std::oct << modeOf(path);
        }
    }
}

TEST_F(SecretFileModes, MachineFilesWithoutSecretsStayReadableForTheUsersApps) {
    // The UI app, running as the user, reads these.
    const Value config(Dictionary{{"userlogin", Dictionary{{"qrcode_login", 1}}},
                                  {"domain", Dictionary{{"joindomain_switch", 0}}}});
    const std::string request = home_ + "/Library/Application Support/RavAvizaL/GeneralConfig.archive";
    ASSERT_TRUE(archive::archiveRootObjectToFile(config, request));
    ASSERT_EQ(::chown(request.c_str(), kUid, kGid), 0);
    hollin::UserBridge::Environment env;
    env.consoleUser = [] { return std::string("nobody"); };
    env.log = [](const std::string&) {};
    hollin::UserBridge(env).monitorUserLogin();
    for (const char* name : {"userlogin.archive", "joindomainSwitchStatus.archive"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(modeOf(paths::machineSupportFolder() + "/" + name), 0644u);
    }
    EXPECT_FALSE(fs::exists(paths::machineSupportFolder() + "/joindomainInfo.archive"));
}

}  // namespace
