#include <gtest/gtest.h>

#include <filesystem>

#include "tests/records/support/RecordsTestSupport.h"
#include "platform/archive/KeyedArchive.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "daemon/records/ZemMachineModel.h"

using recordstest::TempRoot;
using recordstest::writeFile;
using common::LogCoreHelper;
using hollin::ZemMachineManager;
using hollin::ZemMachineModel;
namespace fs = std::filesystem;

namespace {

class MachineRecordTest : public ::testing::Test {
  protected:
    void TearDown() override { LogCoreHelper::sharedInstance().flush(); }
    TempRoot root_;
};

}  // namespace

TEST_F(MachineRecordTest, FirstRunCreatesTheFoldersAndAnEmptyRecordFile) {
    ZemMachineManager manager;
    EXPECT_FALSE(manager.currentMachine());
    ASSERT_TRUE(fs::exists(paths::machineRecordFile()));
    EXPECT_EQ(fs::file_size(paths::machineRecordFile()), 0u);
    EXPECT_EQ(ZemMachineManager::localPath(), paths::machineRecordFile());
}

TEST_F(MachineRecordTest, SavedRecordIsLoadedByTheNextManager) {
    ZemMachineModel model{"10.2.3.4", "1", "10", 1700000123.5, "10.0.0.1||10.1.1.1"};
    {
        ZemMachineManager writer;
        EXPECT_TRUE(writer.saveMachineInfoToLocal(model));
        EXPECT_EQ(writer.currentMachine(), model);
    }
    ZemMachineManager reader;
    EXPECT_EQ(reader.currentMachine(), model);

    // A file that is not a machine record leaves no record, and reloading replaces the old one.
    ASSERT_TRUE(
        archive::archiveRootObjectToFile(archive::Object{"AccountModel", {}}, paths::machineRecordFile()));
    EXPECT_FALSE(reader.getMachineInfoFromLocal());
    EXPECT_FALSE(reader.currentMachine());
    writeFile(paths::machineRecordFile(), "garbage");
    EXPECT_FALSE(ZemMachineManager().currentMachine());
}

TEST_F(MachineRecordTest, NameServerCheckMatchesWholeAddressesOfEachGroup) {
    struct Case {
        const char* name;
        const char* resolvConf;          // nullptr: no file
        std::optional<std::string> dns;  // none: no record
        int64_t expected;
    };
    const Case cases[] = {
        {"second group in use", "nameserver 10.1.1.1\n", "10.0.0.1||10.1.1.1", 0},
        {"only first group in use", "nameserver 10.0.0.1\n", "10.0.0.1||10.1.1.1", 1},
        {"outside", "nameserver 8.8.8.8\n", "10.0.0.1||10.1.1.1", 2},
        {"longer address sharing a prefix", "nameserver 10.0.0.10\nnameserver 10.1.1.11\n",
         "10.0.0.1||10.1.1.1", 2},
        {"shorter address inside a group entry", "nameserver 0.0.1\n", "10.0.0.1||10.1.1.1", 2},
        {"first then second", "nameserver 10.0.0.1\nnameserver 10.1.1.1\n", "10.0.0.1||10.1.1.1", 0},
        {"groups of several", "nameserver 10.1.1.2\n", "10.0.0.1,10.0.0.2||10.1.1.1; 10.1.1.2", 0},
        {"commented line", "# nameserver 10.1.1.1\nnameserver 9.9.9.9\n", "10.0.0.1||10.1.1.1", 2},
        {"no separator: both groups", "nameserver 10.0.0.1\n", "10.0.0.1", 0},
        {"IPv6 in another spelling", "nameserver fd00::53\n", "fd00::1||FD00:0:0::53", 0},
        {"no record", "nameserver 10.1.1.1\n", std::nullopt, 3},
        {"empty DNS text", "nameserver 10.1.1.1\n", "", 3},
        {"no resolver file", nullptr, "10.0.0.1||10.1.1.1", 3},
        {"no nameserver lines", "search corp\n", "10.0.0.1||10.1.1.1", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(root_.at("/etc/resolv.conf"));
        if (c.resolvConf) writeFile(root_.at("/etc/resolv.conf"), c.resolvConf);
        ZemMachineManager manager;
        if (c.dns) {
            ZemMachineModel model;
            model.domainsOfDNS = *c.dns;
            manager.setCurrentMachine(model);
        }
        EXPECT_EQ(manager.getNetTypeWithDNS(), c.expected);
    }
}
