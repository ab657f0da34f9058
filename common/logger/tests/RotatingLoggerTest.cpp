#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TestFiles.h"
#include "platform/archive/KeyedArchive.h"
#include "common/logger/RotatingLogger.h"
#include "tests/support/TempRoot.h"

using common::LogCoreHelper;
using common::LogExtCoreHelper;
using common::RotatingLogger;
using common::RotatingLoggerConfig;

namespace fs = std::filesystem;

namespace archive {
// Shows values as XML in failure messages.
void PrintTo(const Value& v, std::ostream* os) {
    auto xml = serializePlist(v, PlistFormat::Xml);
    *os << (xml ? std::string(xml->begin(), xml->end()) : std::string("(not a plist value)"));
}
}  // namespace archive

namespace {

constexpr double k0800Utc20240101 = 1704096000.0;
using testsupport::readText;

class LoggerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        logs_ = root_ / "Library/Logs/RavAviza/v5/Logs";
        state_ = root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$";
    }

    RotatingLoggerConfig coreConfig() {
        auto c = LogCoreHelper::defaultConfig();
        c.clock = &clock_;
        return c;
    }

    void seedState(const archive::Value& root) {
        fs::create_directories(state_);
        ASSERT_TRUE(archive::archiveRootObjectToFile(root, (state_ / "HollinLogInfo.data").string()));
    }

    void seedSparseFile(const std::string& name, off_t size) {
        fs::create_directories(logs_);
        std::ofstream(logs_ / name).close();
        ASSERT_EQ(truncate((logs_ / name).c_str(), size), 0);
    }

    archive::Dictionary readState(const std::string& name = "HollinLogInfo.data") {
        auto decoded = archive::unarchiveObjectWithFile((state_ / name).string());
        EXPECT_TRUE(decoded) << decoded.error;
        return decoded && decoded.value->dictionary() ? *decoded.value->dictionary() : archive::Dictionary{};
    }

    static archive::Value state(const std::string& current, int64_t s1, int64_t s2, int64_t s3) {
        return archive::Dictionary{
            {"currentLogName", current},
            {"info", archive::Dictionary{
                         {"Hollin-Info-1.log", s1}, {"Hollin-Info-2.log", s2}, {"Hollin-Info-3.log", s3}}}};
    }

    testsupport::TempRoot tempRoot_{"rav-logger"};
    fs::path root_ = tempRoot_.path(), logs_, state_;
    dispatch::ManualClock clock_{k0800Utc20240101};
};

TEST_F(LoggerFixture, FreshMachineWritesFirstLineToFileOneAndRecordsIt) {
    {
        LogCoreHelper logger(coreConfig());
        logger.writeLog("hello", 1);
        logger.flush();
    }
    const std::string line = "2024-01-01 16:00:00: hello \n";
    EXPECT_EQ(readText(logs_ / "Hollin-Info-1.log"), line);
    for (const char* name : {"Hollin-Info-2.log", "Hollin-Info-3.log"}) {
        EXPECT_TRUE(fs::exists(logs_ / name));
        EXPECT_EQ(fs::file_size(logs_ / name), 0u);
    }
    auto st = readState();
    EXPECT_EQ(archive::Value(st), state("Hollin-Info-1.log", line.size(), 0, 0));
}

TEST_F(LoggerFixture, BothLoggersFormatTheirLinesInUtcPlusEight) {
    auto ext = LogExtCoreHelper::defaultConfig();
    ext.clock = &clock_;
    {
        LogCoreHelper core(coreConfig());
        LogExtCoreHelper extLogger(ext);
        core.writeLog("[CommonTimerManager] tick", 2);
        extLogger.writeLog("[ProcessHelper] check", 8);
    }
    EXPECT_EQ(readText(logs_ / "Hollin-Info-1.log"), "2024-01-01 16:00:00: [CommonTimerManager] tick \n");
    EXPECT_EQ(readText(logs_ / "HollinExt-Info-1.log"),
              "2024-01-01 16:00:00: -[LogExtCoreHelper writeLog:type:]_block_invoke:[135] : [ProcessHelper] "
              "check \n");
    auto st = readState("HollinExtLogInfo.data");
    EXPECT_EQ(archive::Value(st.count("currentLogName") ? st["currentLogName"] : archive::Value()),
              archive::Value("HollinExt-Info-1.log"));
}

TEST_F(LoggerFixture, TurnsFromFileThreeToFileOneAtLimitAndEmptiesIt) {
    // File 3 is ten bytes short of 5 MiB: the next line still goes there, the one after turns.
    seedSparseFile("Hollin-Info-3.log", RotatingLogger::kMaxFileSize - 10);
    fs::create_directories(logs_);
    std::ofstream(logs_ / "Hollin-Info-1.log") << "old contents of file one\n";
    seedState(state("Hollin-Info-3.log", 100, 200, 0));
    {
        LogCoreHelper logger(coreConfig());
        logger.writeLog("last line of three");
        logger.flush();
        EXPECT_EQ(logger.currentLogName(), "Hollin-Info-3.log");
        logger.writeLog("first line of one");
    }
    EXPECT_EQ(readText(logs_ / "Hollin-Info-1.log"), "2024-01-01 16:00:00: first line of one \n");
    const std::string third = readText(logs_ / "Hollin-Info-3.log");
    EXPECT_TRUE(third.ends_with("last line of three \n"));
    auto st = readState();
    EXPECT_EQ(archive::Value(st),
              state("Hollin-Info-1.log", std::string("2024-01-01 16:00:00: first line of one \n").size(), 200,
                    static_cast<int64_t>(third.size())));
}

TEST_F(LoggerFixture, FullCurrentFileAtStartTurnsToTheNextFile) {
    seedSparseFile("Hollin-Info-2.log", RotatingLogger::kMaxFileSize);
    fs::create_directories(logs_);
    std::ofstream(logs_ / "Hollin-Info-3.log") << "stale\n";
    seedState(state("Hollin-Info-2.log", 0, 0, 0));
    LogCoreHelper logger(coreConfig());
    EXPECT_EQ(logger.currentLogName(), "Hollin-Info-3.log");
    EXPECT_EQ(fs::file_size(logs_ / "Hollin-Info-3.log"), 0u);
    logger.writeLog("x");
    logger.flush();
    EXPECT_EQ(readText(logs_ / "Hollin-Info-3.log"), "2024-01-01 16:00:00: x \n");
}

TEST_F(LoggerFixture, RestartContinuesInTheRecordedFileAtItsTrueEnd) {
    seedSparseFile("Hollin-Info-2.log", 0);
    std::ofstream(logs_ / "Hollin-Info-2.log") << "written by an earlier run\n";
    seedState(state("Hollin-Info-2.log", 7, 3, 9));
    {
        LogCoreHelper logger(coreConfig());
        logger.writeLog("after restart");
    }
    {
        LogCoreHelper logger(coreConfig());
        logger.writeLog("second restart");
    }
    const std::string expected =
        "written by an earlier run\n2024-01-01 16:00:00: after restart \n"
        "2024-01-01 16:00:00: second restart \n";
    EXPECT_EQ(readText(logs_ / "Hollin-Info-2.log"), expected);
    auto st = readState();
    EXPECT_EQ(archive::Value(st), state("Hollin-Info-2.log", 7, expected.size(), 9));
}

TEST_F(LoggerFixture, DeletedCurrentFileIsMadeAgainOnTheNextWrite) {
    LogCoreHelper logger(coreConfig());
    logger.writeLog("one");
    logger.flush();
    fs::remove(logs_ / "Hollin-Info-1.log");
    logger.writeLog("two");
    logger.flush();
    EXPECT_EQ(readText(logs_ / "Hollin-Info-1.log"), "2024-01-01 16:00:00: two \n");
    EXPECT_EQ(logger.recordedSize("Hollin-Info-1.log"), 26);
}

TEST_F(LoggerFixture, BadStateArchiveStartsFreshInFileOne) {
    const std::string escape = "../../../../../../tmp/rav-logger-escape.log";
    struct Case {
        const char* what;
        std::optional<archive::Value> root;  // nothing: raw garbage bytes
    } cases[] = {
        {"garbage bytes", std::nullopt},
        {"one entry", archive::Dictionary{{"currentLogName", "Hollin-Info-2.log"}}},
        {"three entries",
         archive::Dictionary{
             {"currentLogName", "Hollin-Info-2.log"}, {"info", archive::Dictionary{}}, {"extra", 1}}},
        {"not a dictionary", archive::Array{"Hollin-Info-2.log"}},
        {"name outside the log folder",
         archive::Dictionary{{"currentLogName", escape}, {"info", archive::Dictionary{}}}},
        {"foreign file name",
         archive::Dictionary{{"currentLogName", "HollinExt-Info-2.log"}, {"info", archive::Dictionary{}}}},
        {"info not a dictionary",
         archive::Dictionary{{"currentLogName", "Hollin-Info-2.log"}, {"info", "big"}}},
        {"size not a number",
         archive::Dictionary{{"currentLogName", "Hollin-Info-2.log"},
                             {"info", archive::Dictionary{{"Hollin-Info-2.log", "ten"}}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root_ / "Library");
        fs::create_directories(state_);
        if (c.root) {
            seedState(*c.root);
        } else {
            // Written with write(): operator<< would stop at the NUL and leave the file empty.
            const std::string garbage("\x00\x01not an archive", 16);
            std::ofstream(state_ / "HollinLogInfo.data", std::ios::binary)
                .write(garbage.data(), garbage.size());
            ASSERT_EQ(fs::file_size(state_ / "HollinLogInfo.data"), garbage.size());
        }
        {
            LogCoreHelper logger(coreConfig());
            EXPECT_EQ(logger.currentLogName(), "Hollin-Info-1.log");
            logger.writeLog("fresh");
        }
        EXPECT_EQ(readText(logs_ / "Hollin-Info-1.log"), "2024-01-01 16:00:00: fresh \n");
        EXPECT_EQ(readText(logs_ / "Hollin-Info-2.log"), "");
        EXPECT_FALSE(fs::exists("/tmp/rav-logger-escape.log"));
        auto st = readState();
        EXPECT_EQ(archive::Value(st), state("Hollin-Info-1.log", 28, 0, 0));
    }
}

TEST_F(LoggerFixture, LinesFromManyThreadsKeepTheirOrderAndAllArrive) {
    LogCoreHelper logger(coreConfig());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 200; ++i) logger.writeLog("t" + std::to_string(t) + " " + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();
    logger.flush();
    std::istringstream in(readText(logs_ / "Hollin-Info-1.log"));
    std::string line;
    std::vector<int> next(8, 0);
    int count = 0;
    while (std::getline(in, line)) {
        int t = 0, i = 0;
        ASSERT_EQ(sscanf(line.c_str() + 21, "t%d %d", &t, &i), 2) << line;
        EXPECT_EQ(i, next[t]++);
        ++count;
    }
    EXPECT_EQ(count, 1600);
    EXPECT_EQ(logger.recordedSize("Hollin-Info-1.log"),
              static_cast<int64_t>(fs::file_size(logs_ / "Hollin-Info-1.log")));
}

TEST_F(LoggerFixture, LineCutShortByAnEarlierProcessIsEndedBeforeTheNextLine) {
    fs::create_directories(logs_);
    std::ofstream(logs_ / "Hollin-Info-1.log") << "2024-01-01 15:59:59: killed in the midd";
    seedState(state("Hollin-Info-1.log", 38, 0, 0));
    {
        LogCoreHelper logger(coreConfig());
        logger.writeLog("next");
    }
    const std::string expected = "2024-01-01 15:59:59: killed in the midd\n2024-01-01 16:00:00: next \n";
    EXPECT_EQ(readText(logs_ / "Hollin-Info-1.log"), expected);
    EXPECT_EQ(archive::Value(readState()), state("Hollin-Info-1.log", expected.size(), 0, 0));
}

// Root's logs are for administrators (0640, group adm), the UI app's for its user (0600): files
// made afresh, files an earlier version left readable by everyone, and files made again later.
TEST_F(LoggerFixture, LogFilesAreReadableByTheirReadersAloneAndWiderOnesAreNarrowed) {
    struct Case {
        const char* name;
        RotatingLoggerConfig config;
        mode_t mode;
        bool adminGroup;
    };
    RotatingLoggerConfig ui = RotatingLogger::uiAppConfig((root_ / "home/someone").string());
    ui.clock = &clock_;
    const Case cases[] = {
        {"daemon", coreConfig(), 0640, true},
        {"UI app", ui, 0600, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = c.config.logFolder.empty() ? logs_ : fs::path(c.config.logFolder);
        fs::create_directories(folder);
        std::ofstream(folder / c.config.fileNames[0]) << "old line \n";
        ASSERT_EQ(::chmod((folder / c.config.fileNames[0]).c_str(), 0644), 0);
        std::ofstream(folder / c.config.fileNames[2]).close();
        ASSERT_EQ(::chmod((folder / c.config.fileNames[2]).c_str(), 0666), 0);

        RotatingLogger logger(c.config);
        logger.writeLog("first");
        logger.flush();
        fs::remove(folder / c.config.fileNames[0]);
        logger.writeLog("after the file was deleted");
        logger.flush();
        EXPECT_NE(readText(folder / c.config.fileNames[0]).find("after the file was deleted"),
                  std::string::npos);
        for (const std::string& name : c.config.fileNames) {
            struct stat st {};
            ASSERT_EQ(::stat((folder / name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 07777, c.mode) << name;
            if (c.adminGroup && ::geteuid() == 0) {
                EXPECT_EQ(st.st_gid, logfiles::administratorGroup()) << name;
            }
        }
    }
}

// A file-size limit refuses the rest of a line as a full disk does (EFBIG, with SIGXFSZ
// ignored). The limit is set in a child process, so it holds no other file of the test.
TEST_F(LoggerFixture, LineRefusedHalfwayIsTakenBackAndTheNoticeStartsItsOwnLine) {
    const std::string prefix = "2024-01-01 16:00:00: ";
    const std::string seed = prefix + "written before \n";
    fs::create_directories(logs_);
    std::ofstream(logs_ / "Hollin-Info-1.log") << seed;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t unlimited = limit.rlim_max;
        limit.rlim_cur = seed.size() + 100;  // the first line fits, the second is cut inside
        ::setrlimit(RLIMIT_FSIZE, &limit);
        {
            LogCoreHelper logger(coreConfig());
            for (int i = 0; i < 4; ++i)
                logger.writeLog("line " + std::to_string(i) + " " + std::string(40, '.'));
            logger.flush();
            limit.rlim_cur = unlimited;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            logger.writeLog("after the limit was lifted");
            logger.flush();
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_TRUE(testsupport::eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }))
        << "the writing child did not finish";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const std::string line = prefix + "line 0 " + std::string(40, '.') + " \n";
    EXPECT_EQ(readText(logs_ / "Hollin-Info-1.log"),
              seed + line + prefix + "[RotatingLogger] 3 log lines lost or cut short: File too large \n" +
                  prefix + "after the limit was lifted \n");
}

// The log and its state archive on a 64 KiB tmpfs that the test fills.
class FullDiskLogger : public LoggerFixture {
  protected:
    void SetUp() override {
        LoggerFixture::SetUp();
        disk_ = root_ / "disk";
        fs::create_directories(disk_);
        if (::mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) ::umount2(disk_.c_str(), MNT_DETACH);
        LoggerFixture::TearDown();
    }

    RotatingLoggerConfig diskConfig() {
        auto c = coreConfig();
        c.logFolder = (disk_ / "Logs").string();
        c.stateFolder = (disk_ / "State").string();
        return c;
    }

    // Takes every free block of the disk.
    void fill() {
        std::ofstream out(disk_ / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (out.write(block.data(), block.size()) && out.flush()) {
        }
    }

    fs::path disk_;
    bool mounted_ = false;
};

TEST_F(FullDiskLogger, CountsOnlyWrittenBytesAndMarksWhatTheFullDiskLost) {
    const fs::path file = disk_ / "Logs/Hollin-Info-1.log";
    const std::string prefix = "2024-01-01 16:00:00: ";
    LogCoreHelper logger(diskConfig());
    logger.writeLog("before the disk filled");
    logger.flush();

    fill();
    const int sent = 120;  // far more than the rest of the file's last block takes
    for (int i = 0; i < sent; ++i) logger.writeLog("line " + std::to_string(1000 + i) + std::string(60, '.'));
    logger.flush();
    EXPECT_EQ(logger.recordedSize("Hollin-Info-1.log"), static_cast<int64_t>(fs::file_size(file)));
    // The archive could not be replaced: the old one stands, whole, and no temporary is left.
    {
        auto decoded = archive::unarchiveObjectWithFile((disk_ / "State/HollinLogInfo.data").string());
        ASSERT_TRUE(decoded) << decoded.error;
        const archive::Value* info = decoded.value->find("info");
        ASSERT_TRUE(info && info->find("Hollin-Info-1.log"));
        EXPECT_LE(*info->find("Hollin-Info-1.log")->integer(), static_cast<int64_t>(fs::file_size(file)));
        for (const auto& entry : fs::directory_iterator(disk_ / "State"))
            EXPECT_EQ(entry.path().filename(), "HollinLogInfo.data");
    }

    fs::remove(disk_ / "filler");
    logger.writeLog("after space returned");
    logger.flush();

    // Every line is whole, none runs into the next, and the mark counts exactly the lines that
    // did not arrive.
    std::istringstream in(readText(file));
    std::string line;
    std::vector<std::string> lines;
    int whole = 0, cut = 0;
    while (std::getline(in, line)) {
        lines.push_back(line);
        EXPECT_EQ(line.find(prefix, 1), std::string::npos) << "joined lines: " << line;
        if (!line.ends_with(" ")) {
            ++cut;
        } else {
            EXPECT_TRUE(line.starts_with(prefix)) << line;
            if (line.starts_with(prefix + "line ")) ++whole;
        }
    }
    EXPECT_EQ(cut, 0);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_LT(whole, sent);
    EXPECT_EQ(lines[lines.size() - 2], prefix + "[RotatingLogger] " + std::to_string(sent - whole) +
                                           " log lines lost or cut short: No space left on device ");
    EXPECT_EQ(lines.back(), prefix + "after space returned ");

    const int64_t real = static_cast<int64_t>(fs::file_size(file));
    EXPECT_EQ(logger.recordedSize("Hollin-Info-1.log"), real);
    auto decoded = archive::unarchiveObjectWithFile((disk_ / "State/HollinLogInfo.data").string());
    ASSERT_TRUE(decoded) << decoded.error;
    EXPECT_EQ(*decoded.value, state("Hollin-Info-1.log", real, 0, 0));
}

}  // namespace
