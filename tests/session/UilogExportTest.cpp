// The log export end to end: real folders in a temporary root, archives checked with Python's
// zipfile (an independent reader), the administrator step through a recording pkexec.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <thread>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/dispatch/MainLoop.h"
#include "ui/session/log/ZemLogHelper.h"
#include "ui/session/log/ZipFolder.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// name -> size of each file entry (directories end in "/" with size 0); empty with ok false when
// Python cannot read the archive or a CRC does not match.
struct Listing {
    bool ok = false;
    std::map<std::string, long long> entries;
};

Listing listZip(const fs::path& archive) {
    static const char* kScript =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "bad = z.testzip()\n"
        "if bad is not None: sys.exit('bad entry ' + bad)\n"
        "for i in z.infolist(): print(i.filename + '\\t' + str(i.file_size))\n";
    spawn::Options o;
    o.program = "/usr/bin/python3";
    o.argv = {"/usr/bin/python3", "-c", kScript, archive.string()};
    spawn::RunLimits limits;
    limits.deadline = 120s;
    spawn::RunResult run = spawn::run(o, limits);
    Listing listing;
    if (!run.waitStatus || spawn::exitStatusFromWait(*run.waitStatus) != 0) return listing;
    listing.ok = true;
    size_t start = 0;
    while (start < run.output.size()) {
        size_t end = run.output.find('\n', start);
        if (end == std::string::npos) end = run.output.size();
        const std::string line = run.output.substr(start, end - start);
        const size_t tab = line.rfind('\t');
        if (tab != std::string::npos) listing.entries[line.substr(0, tab)] = std::stoll(line.substr(tab + 1));
        start = end + 1;
    }
    return listing;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class ExportFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = root_ / "home/alice";
        fs::create_directories(home_);
        completions_ = dispatch::WorkQueue::create("test.completions");
    }
    void TearDown() override {
        log_.reset();
    }

    ZemLogHelper& makeLog(ZemLogHelper::PrivilegedRunner admin = nullptr) {
        ZemLogHelper::Options o;
        o.home = home_.string();
        o.systemLog = [](const std::string&) {};
        o.runAsAdministrator = std::move(admin);
        o.revealFolder = [this](const std::string& folder) { revealed_.push_back(folder); };
        o.completionQueue = completions_;
        log_ = std::make_unique<ZemLogHelper>(o);
        return *log_;
    }

    struct Outcome {
        bool ok = false;
        std::optional<std::string> message;
        int calls = 0;
    };

    // Runs one export and waits for its completion; counts every completion call.
    Outcome exportInto(const fs::path& folder) {
        auto outcome = std::make_shared<Outcome>();
        auto done = std::make_shared<std::promise<void>>();
        log_->zipLogsWithDirectory(folder.string(),
                                   [outcome, done](bool ok, std::optional<std::string> message) {
                                       outcome->ok = ok;
                                       outcome->message = std::move(message);
                                       if (++outcome->calls == 1) done->set_value();
                                   });
        EXPECT_EQ(done->get_future().wait_for(120s), std::future_status::ready);
        log_->flush();
        completions_->dispatchSync([] {});
        return *outcome;
    }

    void seedSources() {
        writeFile(root_ / "Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log", "daemon line\n");
        writeFile(root_ / "Library/Logs/RavAviza/v5/Logs/.hidden", "left out\n");
        writeFile(root_ / "Library/Application Support/RavAviza/.ZemConfig", "config\n");
        writeFile(root_ / "Library/Application Support/RavAviza/sub dir/a b.archive", "ab\n");
        writeFile(root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$/Policy/policy.db", std::string(4096, 'p'));
        writeFile(root_ / "Library/Logs/com.velmora.nimbrel/agent.log", "vpn\n");
    }

    testsupport::TempRoot tempRoot_{"rav-uilog-export"};
    fs::path root_ = tempRoot_.path(), home_;
    std::shared_ptr<dispatch::WorkQueue> completions_;
    std::unique_ptr<ZemLogHelper> log_;
    std::vector<std::string> revealed_;
};

TEST_F(ExportFixture, WritesTheFiveArchivesIntoAFolderWithSpacesReplacingOlderOnes) {
    seedSources();
    ZemLogHelper& log = makeLog();
    log.writeLog("user line");
    const fs::path chosen = root_ / "home/alice/My Exports/log folder";
    const fs::path out = chosen / "HuxLogs";
    for (const char* stale :
         {"HuxCloudLogs.zip", "HuxUserLogs.zip", "HuxCloud.zip", "HuxSqlite.zip", "HuxNimbrel.zip"})
        writeFile(out / stale, "stale, not a zip");

    Outcome outcome = exportInto(chosen);
    EXPECT_TRUE(outcome.ok);
    EXPECT_FALSE(outcome.message);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(revealed_, std::vector<std::string>{chosen.string()});

    const std::map<std::string, std::map<std::string, long long>> expected = {
        {"HuxCloudLogs.zip", {{"Hollin-Info-1.log", 12}}},
        {"HuxCloud.zip", {{".ZemConfig", 7}, {"sub dir/", 0}, {"sub dir/a b.archive", 3}}},
        {"HuxSqlite.zip", {{"Policy/", 0}, {"Policy/policy.db", 4096}}},
        {"HuxNimbrel.zip", {{"agent.log", 4}}},
    };
    for (const auto& [name, entries] : expected) {
        SCOPED_TRACE(name);
        Listing listing = listZip(out / name);
        ASSERT_TRUE(listing.ok);
        if (name == "HuxCloud.zip") {
            // The top level's hidden entries are left out, as a shell's "*" leaves them out.
            EXPECT_EQ(listing.entries,
                      (std::map<std::string, long long>{{"sub dir/", 0}, {"sub dir/a b.archive", 3}}));
        } else {
            EXPECT_EQ(listing.entries, entries);
        }
    }
    Listing user = listZip(out / "HuxUserLogs.zip");
    ASSERT_TRUE(user.ok);
    EXPECT_EQ(user.entries.size(), 3u);
    EXPECT_GT(user.entries["RavAviza-Info-1.log"], 0);
    for (const auto& entry : fs::directory_iterator(out)) {
        EXPECT_EQ(entry.path().extension(), ".zip") << entry.path();  // no temporaries left
    }
}

TEST_F(ExportFixture, LargeLogsArriveWhole) {
    seedSources();
    // Incompressible data, so the archive is as large as its source.
    std::mt19937_64 random(7);
    std::string big(24u << 20, '\0');
    for (size_t i = 0; i + 8 <= big.size(); i += 8) {
        uint64_t v = random();
        std::memcpy(&big[i], &v, 8);
    }
    writeFile(root_ / "Library/Logs/RavAviza/v5/Logs/Hollin-Info-2.log", big);
    makeLog();
    Outcome outcome = exportInto(root_ / "export");
    ASSERT_TRUE(outcome.ok);
    Listing listing = listZip(root_ / "export/HuxLogs/HuxCloudLogs.zip");
    ASSERT_TRUE(listing.ok);
    EXPECT_EQ(listing.entries["Hollin-Info-2.log"], static_cast<long long>(big.size()));
}

TEST_F(ExportFixture, FailedSystemLogArchiveAnswersNoAndMakesNoOtherArchive) {
    seedSources();
    fs::remove_all(root_ / "Library/Logs/RavAviza/v5/Logs");
    writeFile(root_ / "Library/Logs/RavAviza/v5/Logs", "a file where the folder should be");
    makeLog();
    const fs::path out = root_ / "export/HuxLogs";
    writeFile(out / "HuxCloudLogs.zip", "stale");
    Outcome outcome = exportInto(root_ / "export");
    EXPECT_FALSE(outcome.ok);
    ASSERT_TRUE(outcome.message);
    EXPECT_TRUE(outcome.message->starts_with("提取所有日志失败:")) << *outcome.message;
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_TRUE(revealed_.empty());
}

// A missing log folder is handed back to the user by an administrator through pkexec. The
// recording pkexec in the product's tool folder shows the argument vector, which folder the
// chown's path reaches while it runs, and answers as told.
TEST_F(ExportFixture, MissingLogFolderAsksAnAdministratorForTheUsersOwnFolder) {
    seedSources();
    const fs::path tools = paths::toolFolder();
    const fs::path record = root_ / "pkexec.args";
    makeLog();
    const fs::path rootPath = home_ / "Library/Logs/RavAviza";
    const fs::path logs = rootPath / "Logs";
    struct Case {
        int pkexecStatus;
        bool ok;
    } cases[] = {{126, false}, {0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pkexecStatus);
        fs::remove_all(logs);
        fs::remove(record);
        writeFile(tools / "pkexec", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                        record.string() + "'\nstat -L -c %i \"$3\" >> '" + record.string() +
                                        "'\nexit " + std::to_string(c.pkexecStatus) + "\n");
        fs::permissions(tools / "pkexec", fs::perms::owner_all);
        const fs::path chosen = root_ / ("export " + std::to_string(c.pkexecStatus));
        Outcome outcome = exportInto(chosen);
        EXPECT_EQ(outcome.ok, c.ok);
        EXPECT_EQ(outcome.calls, 1);
        // The user and the user's own primary group (root's here); the folder as this process's
        // descriptor of the user's own rootPath.
        const std::string chown = fs::exists("/bin/chown") ? "/bin/chown" : "/usr/bin/chown";
        const std::string recorded = testsupport::readText(record);
        const std::string fdPrefix = chown + "\nroot:root\n/proc/" + std::to_string(::getpid()) + "/fd/";
        EXPECT_TRUE(recorded.starts_with(fdPrefix)) << recorded;
        struct stat st {};
        ASSERT_EQ(::stat(rootPath.c_str(), &st), 0);
        EXPECT_TRUE(recorded.ends_with("\n" + std::to_string(st.st_ino) + "\n")) << recorded;
        if (c.ok) {
            EXPECT_FALSE(outcome.message);
            EXPECT_TRUE(fs::is_regular_file(logs / "RavAviza-Info-3.log"));
            EXPECT_TRUE(listZip(chosen / "HuxLogs/HuxUserLogs.zip").ok);
        } else {
            EXPECT_EQ(outcome.message, std::optional<std::string>("无法找到日志目录"));
            EXPECT_TRUE(fs::is_empty(chosen / "HuxLogs"));
        }
    }

    // A link on the way to the log folder (here to the system processes' log folders) is refused
    // before any administrator is asked.
    fs::remove(record);
    fs::remove_all(home_ / "Library");
    fs::create_directory_symlink(root_ / "Library", home_ / "Library");
    Outcome outcome = exportInto(root_ / "export link");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, std::optional<std::string>("无法找到日志目录"));
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(ExportFixture, CompletionArrivesOnTheAppsMainQueue) {
    seedSources();
    ZemLogHelper::Options o;
    o.home = home_.string();
    o.systemLog = [](const std::string&) {};
    o.revealFolder = [](const std::string&) {};
    log_ = std::make_unique<ZemLogHelper>(o);
    std::thread loop([] { dispatch::MainLoop::shared().run(); });
    std::promise<bool> onMain;
    log_->zipLogsWithDirectory((root_ / "export").string(), [&onMain](bool ok, std::optional<std::string>) {
        onMain.set_value(ok && dispatch::WorkQueue::main()->isCurrent());
    });
    auto future = onMain.get_future();
    ASSERT_EQ(future.wait_for(120s), std::future_status::ready);
    EXPECT_TRUE(future.get());
    dispatch::MainLoop::shared().stop();
    loop.join();
}

// The older export into the log folder itself, which nothing in the app calls but which must
// still leave whole archives.
TEST_F(ExportFixture, OlderExportZipsSystemLogsIntoTheLogFolderAndThatFolderBesideIt) {
    seedSources();
    ZemLogHelper& log = makeLog();
    log.writeLog("user line");
    auto done = std::make_shared<std::promise<std::pair<bool, std::optional<std::string>>>>();
    log.zipLogs([done](bool ok, std::optional<std::string> message) { done->set_value({ok, message}); });
    auto future = done->get_future();
    ASSERT_EQ(future.wait_for(120s), std::future_status::ready);
    auto [ok, message] = future.get();
    EXPECT_TRUE(ok);
    EXPECT_FALSE(message);
    const fs::path logs = home_ / "Library/Logs/RavAviza/Logs";
    Listing system = listZip(logs / "RavAvizaLogs.zip");
    ASSERT_TRUE(system.ok);
    EXPECT_EQ(system.entries, (std::map<std::string, long long>{{"Hollin-Info-1.log", 12}}));
    Listing all = listZip(logs.parent_path() / "RavAvizaAllLogs.zip");
    ASSERT_TRUE(all.ok);
    EXPECT_EQ(all.entries.count("RavAvizaLogs.zip"), 1u);
    EXPECT_EQ(all.entries.count("RavAviza-Info-1.log"), 1u);
    EXPECT_EQ(revealed_, std::vector<std::string>{logs.parent_path().string()});
}

// The zipper on its own: entry names, links not followed, and the archive kept out of itself.
TEST(ZipFolder, NamesEntriesRelativeToTheFolderAndNeverFollowsLinks) {
    const testsupport::TempFolder temp("rav-zipfolder");
    const fs::path dir = temp.path();
    writeFile(dir / "src/a.log", "a");
    writeFile(dir / "src/nested/.dot", "dot");
    writeFile(dir / "outside/secret", "secret");
    fs::create_directory_symlink(dir / "outside", dir / "src/linked");
    fs::create_symlink(dir / "outside/secret", dir / "src/secret.log");

    logexport::ZipOutcome made =
        logexport::zipFolder((dir / "src").string(), (dir / "src/self.zip").string());
    ASSERT_FALSE(made.error) << *made.error;
    EXPECT_EQ(made.files, 2u);
    EXPECT_EQ(made.skipped.size(), 2u);
    Listing listing = listZip(dir / "src/self.zip");
    ASSERT_TRUE(listing.ok);
    EXPECT_EQ(listing.entries,
              (std::map<std::string, long long>{{"a.log", 1}, {"nested/", 0}, {"nested/.dot", 3}}));

    made = logexport::zipFolder((dir / "missing").string(), (dir / "missing.zip").string());
    EXPECT_TRUE(made.error);
    EXPECT_FALSE(fs::exists(dir / "missing.zip"));

    fs::create_directory(dir / "empty");
    made = logexport::zipFolder((dir / "empty").string(), (dir / "empty.zip").string());
    EXPECT_FALSE(made.error);
    EXPECT_TRUE(listZip(dir / "empty.zip").ok);
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
    }
}

}  // namespace
