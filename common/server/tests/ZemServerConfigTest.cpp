#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <thread>

#include "tests/records/support/RecordsTestSupport.h"
#include "platform/archive/KeyedArchive.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"
#include "common/server/ZemNetworkInfoModel.h"
#include "common/server/ZemServerConfig.h"

using archive::Array;
using archive::Dictionary;
using archive::Value;
using recordstest::TempRoot;
using calix::TaskHelper;
using common::ZemNetworkInfoModel;
using common::ZemServerConfig;
using common::flushProcessLog;
using Strings = std::vector<std::string>;

namespace {

class ServerConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(paths::machineSupportFolder()); }
    void TearDown() override { flushProcessLog(); }

    static void writeConfig(const Value& root) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(root, paths::serverConfigFile()));
    }
    static void writeMulti(Strings intra, Strings extra) {
        Array a, b;
        for (auto& s : intra) a.push_back(s);
        for (auto& s : extra) b.push_back(s);
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            Dictionary{{"intra_srv_connaddr", a}, {"extra_srv_connaddr", b}}, paths::multiServerInfoFile()));
    }
    static void writeRecord(const std::string& host, uint64_t port, int64_t type) {
        ZemNetworkInfoModel record;
        record.record_server = host;
        record.record_port = port;
        record.networkType = type;
        ASSERT_TRUE(record.saveModelRecord());
    }
    // The configuration used by the list and rotation cases: A:1, B:2, C:3 and D:4.
    static void writeFourServers() {
        writeConfig(Array{Array{"A", 1}, Array{"B", "2"}});
        writeMulti({"C:3"}, {"D:4"});
    }

    TempRoot root_;
};

}  // namespace

TEST_F(ServerConfigTest, ServerDialogFileGivesEqualServersAndTheDomainOn443) {
    writeConfig(Array{Array{"srv.corp.example", "8443"}, Array{"srv.corp.example", "8443"}});
    ZemServerConfig config;
    config.readServerConfig();
    EXPECT_EQ(config.intranet_server(), "srv.corp.example");
    EXPECT_EQ(config.intranet_port(), 8443u);
    EXPECT_EQ(config.extranet_server(), "srv.corp.example");
    EXPECT_EQ(config.extranet_port(), 8443u);
    EXPECT_EQ(config.domain_server(), "srv.corp.example");
    EXPECT_EQ(config.domain_port(), 443u);
}

TEST_F(ServerConfigTest, DomainServerOfAnEarlierFileStaysWhetherNamedOrDerived) {
    writeConfig(Array{Array{"in", "80"}, Array{"ex", 81}, Array{"dom", 82}});
    ZemServerConfig config;
    config.updateServerConfig();
    writeConfig(Array{Array{"in2", "90"}, Array{"ex2", "91"}});
    config.updateServerConfig();
    EXPECT_EQ(config.domain_server(), "dom");
    EXPECT_EQ(config.domain_port(), 82u);

    ZemServerConfig derived;
    writeConfig(Array{Array{"old", "80"}, Array{"old", "80"}});
    derived.updateServerConfig();
    writeConfig(Array{Array{"new", "80"}, Array{"new", "80"}});
    derived.updateServerConfig();
    EXPECT_EQ(derived.domain_server(), "old");
    EXPECT_EQ(derived.domain_port(), 443u);
}

TEST_F(ServerConfigTest, MalformedIntranetEntriesAreSkippedAndTheRestIsUsed) {
    const std::pair<const char*, Value> cases[] = {
        {"one element", Array{"bad"}},
        {"empty", Array{}},
        {"null host", Array{archive::Null{}, "80"}},
        {"null port", Array{"bad", archive::Null{}}},
        {"number host", Array{7, "80"}},
        {"data port", Array{"bad", archive::Data{1, 2}}},
        {"not an array", Value("bad:80")},
        {"port out of range", Array{"bad", "70000"}},
        {"negative port", Array{"bad", -5}},
    };
    for (const auto& [name, entry] : cases) {
        SCOPED_TRACE(name);
        writeConfig(Array{Array{"in", "80"}, Array{"ex", "81"}});
        ZemServerConfig config;
        config.updateServerConfig();
        writeConfig(Array{entry, Array{"ex2", "82"}, Array{"dom", "83"}});
        config.updateServerConfig();
        EXPECT_EQ(config.intranet_server(), "in");
        EXPECT_EQ(config.intranet_port(), 80u);
        EXPECT_EQ(config.extranet_server(), "ex2");
        EXPECT_EQ(config.domain_server(), "dom");
    }
}

TEST_F(ServerConfigTest, UnreadableFilesLeaveTheServersAndARetryReadsTheFileLater) {
    ZemServerConfig config;
    config.readServerConfig();
    EXPECT_FALSE(config.intranet_server().has_value());
    EXPECT_EQ(config.AllMulSvrs(), (Strings{"(null):0", "(null):0"}));

    recordstest::writeFile(paths::serverConfigFile(), "not an archive");
    config.readServerConfig();
    writeConfig(Dictionary{{"host", "x"}});
    config.readServerConfig();
    writeConfig(Array{Array{"in", "1"}, Array{"ex", "2"}, Array{"dom", "3"}, Array{"ignored", "4"}});
    config.readServerConfig();
    EXPECT_EQ(config.intranetMulSvrs(), (Strings{"in:1"}));
    EXPECT_EQ(config.domain_server(), "dom");
    // Once read, readServerConfig keeps the servers.
    writeConfig(Array{archive::Value(Array{"other", "5"})});
    config.readServerConfig();
    EXPECT_EQ(config.intranet_server(), "in");
}

TEST_F(ServerConfigTest, ListsHoldConfiguredMultiServerAndLastGoodServers) {
    writeFourServers();
    writeRecord("B", 2, 0);
    ZemServerConfig config;
    config.updateServerConfig();
    EXPECT_EQ(config.AllMulSvrs(), (Strings{"A:1", "B:2", "B:2", "C:3", "D:4"}));
    EXPECT_EQ(config.intranetMulSvrs(), (Strings{"A:1", "C:3"}));
    EXPECT_EQ(config.extranetMulSvrs(), (Strings{"B:2", "D:4"}));
    EXPECT_EQ(config.historyRecord_server(), "B");
    EXPECT_EQ(config.historyRecord_port(), 2u);

    // Multi-server entries that are not text are left out.
    ASSERT_TRUE(archive::archiveRootObjectToFile(
        Dictionary{{"intra_srv_connaddr", Array{"C:3", 5, archive::Null{}}}, {"extra_srv_connaddr", "D:4"}},
        paths::multiServerInfoFile()));
    config.refreshAllServers();
    EXPECT_EQ(config.AllMulSvrs(), (Strings{"A:1", "B:2", "B:2", "C:3"}));
}

TEST_F(ServerConfigTest, RoundRobinWalksTheListOfTheStoredNetworkType) {
    struct Case {
        const char* name;
        std::optional<int64_t> type;  // none: no record stored
        Strings expected;
    };
    const Case cases[] = {
        {"no record walks the intranet list", std::nullopt, {"A:1", "C:3", "A:1"}},
        {"intranet", 0, {"A:1", "C:3", "A:1"}},
        {"extranet", 1, {"B:2", "D:4", "B:2"}},
        {"neither answered", 2, {"A:1", "B:2", "B:2", "C:3", "D:4", "A:1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZemNetworkInfoModel::deleteCurrentNetModelRecord();
        writeFourServers();
        if (c.type) writeRecord("B", 2, *c.type);
        ZemServerConfig config;
        config.readServerConfig();
        Strings got;
        for (size_t i = 0; i < c.expected.size(); ++i) got.push_back(config.updateLoopServers());
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(ServerConfigTest, ResetCountRestartsOnlyThatTypesList) {
    writeFourServers();
    writeRecord("B", 2, 0);
    ZemServerConfig config;
    config.readServerConfig();
    EXPECT_EQ(config.updateLoopServers(), "A:1");
    config.resetCount(1);
    config.resetCount(2);
    EXPECT_EQ(config.updateLoopServers(), "C:3");
    config.resetCount(0);
    EXPECT_EQ(config.updateLoopServers(), "A:1");
    EXPECT_EQ(config.intra_mulSvrsCount(), 1);
}

TEST_F(ServerConfigTest, OnlyTheRecordWriterDeletesARecordOfAnUnlistedServer) {
    writeFourServers();
    writeRecord("gone.example", 9, 0);
    ZemServerConfig reader;
    reader.readServerConfig();
    EXPECT_EQ(reader.AllMulSvrs(), (Strings{"A:1", "B:2", "C:3", "D:4"}));
    EXPECT_EQ(reader.historyRecord_server(), "A");
    EXPECT_EQ(reader.historyRecord_port(), 1u);
    EXPECT_TRUE(std::filesystem::exists(paths::lastServerRecordFile()));

    ZemServerConfig writer;
    writer.setServerRecordWriter(true);
    writer.readServerConfig();
    EXPECT_FALSE(std::filesystem::exists(paths::lastServerRecordFile()));
    EXPECT_EQ(writer.historyRecord_server(), "A");
}

TEST_F(ServerConfigTest, LastGoodServerIsFoundBeforeTheListsWereEverBuilt) {
    writeFourServers();
    writeRecord("D", 4, 1);
    ZemServerConfig config;  // nothing read yet, as in a job that only reports
    config.setServerRecordWriter(true);
    EXPECT_EQ(config.historyRecord_server(), "D");
    EXPECT_EQ(config.historyRecord_port(), 4u);
    EXPECT_TRUE(std::filesystem::exists(paths::lastServerRecordFile()));
}

TEST_F(ServerConfigTest, ConcurrentRotationStepsEachEntryExactlyInTurn) {
    writeFourServers();
    ZemServerConfig config;
    config.readServerConfig();
    constexpr int kThreads = 8, kRounds = 100;
    std::vector<Strings> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                seen[t].push_back(config.updateLoopServers());
                if (i % 10 == 0) config.updateServerConfig();
                (void)config.historyRecord_server();
            }
        });
    }
    for (auto& th : threads) th.join();
    std::map<std::string, int> counts;
    for (const auto& list : seen) {
        for (const auto& s : list) ++counts[s];
    }
    EXPECT_EQ(counts,
              (std::map<std::string, int>{{"A:1", kThreads * kRounds / 2}, {"C:3", kThreads * kRounds / 2}}));
}

TEST_F(ServerConfigTest, RecordIsWrittenOnlyWhenItChangesAndReadsBackByPropertyNames) {
    EXPECT_FALSE(ZemNetworkInfoModel::currentNetRecord().has_value());
    EXPECT_FALSE(ZemNetworkInfoModel::deleteCurrentNetModelRecord());
    std::filesystem::remove_all(paths::machineSupportFolder());
    writeRecord("srv.example", 8080, 1);  // creates the folder
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(paths::lastServerRecordFile().c_str(), &before), 0);
    writeRecord("srv.example", 8080, 1);
    ASSERT_EQ(::stat(paths::lastServerRecordFile().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // an atomic write would have replaced the file
    writeRecord("srv.example", 8080, 2);
    ASSERT_EQ(::stat(paths::lastServerRecordFile().c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(ZemNetworkInfoModel::currentNetRecord()->networkType, 2);

    // An independent reader sees a keyed archive of the class with one key per property.
    std::string script =
        "import plistlib,sys\n"
        "p=plistlib.load(open(sys.argv[1],'rb'))\n"
        "o=p['$objects']; r=o[p['$top']['root'].data]\n"
        "print(o[r['$class'].data]['$classname'], o[r['record_server'].data], r['record_port'], "
        "r['networkType'])\n";
    std::string out;
    ErrorValue error;
    TaskHelper::sharedInstance().excuteTaskPath(RAVAVIZA_PYTHON,
                                                {"-c", script, paths::lastServerRecordFile()}, &out, &error);
    EXPECT_EQ(out, "ZemNetworkInfoModel srv.example 8080 2\n") << error.failureReason;
    EXPECT_TRUE(ZemNetworkInfoModel::deleteCurrentNetModelRecord());
}
