// The debug-log job against the test management server (action 4000 on yj/debug, multipart
// uploads) and a loopback FTP server: the zip goes where the answer says, the last good answer
// serves when there is none, a stalled FTP server ends the job with a failure, and the zip is
// deleted afterwards. One run goes through the real `Tamber -run` and its vended connection.
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>

#include "daemon/link/tests/LinkTestSupport.h"
#include "tests/support/PortServer.h"
#include "tests/support/TempRoot.h"
#include "bus/ZemLogReportManager.h"
#include "framework/encoding/MD5.h"
#include "platform/ipc/NamedConnection.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "daemon/peers/ZemIPCManager.h"
#include "common/server/ZemServerConfig.h"
#include "tests/support/CapturingLog.h"

using common::LogSink;
using hollin::ZemIPCManager;
using common::ZemServerConfig;

using namespace linktest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> zipEntries(const std::string& path) {
    std::vector<std::string> names;
    unzFile zip = unzOpen64(path.c_str());
    if (!zip) return {};
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        char name[512];
        if (unzGetCurrentFileInfo64(zip, nullptr, name, sizeof name, nullptr, 0, nullptr, 0) == UNZ_OK)
            names.push_back(name);
    }
    unzClose(zip);
    return names;
}

class debug_log_upload : public ::testing::Test {
  protected:
    void SetUp() override {
        temp_.emplace("debug-upload");
        root_ = temp_->path();
        for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                 "ALL_PROXY", "ftp_proxy", "FTP_PROXY", "no_proxy", "NO_PROXY"})
            ::unsetenv(name);
        testsupport::capturedLog().clear();
        fs::create_directories(paths::machineSupportFolder());
        writeText(paths::daemonLogsFolder() + "/Hollin-Info-1.log", "daemon line\n");
        ftpRoot_ = root_ + "/ftp";
        fs::create_directories(ftpRoot_ + "/logs");
    }
    void TearDown() override {
        tamber_.stop();
        server_.stop();
        ftp_.reset();
        temp_.reset();
    }

    void startServer() {
        script_ = root_ + "/script.json";
        log_ = root_ + "/requests.jsonl";
        writeText(script_, "{}");
        ASSERT_TRUE(server_.start({RAVAVIZA_PYTHON, ZEM_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR,
                                   "--script", script_, "--log", log_}));
        const std::string line = server_.readLine();
        ASSERT_EQ(line.rfind("PORT ", 0), 0u) << line;
        port_ = std::stoi(line.substr(5));
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Value(archive::Array{"127.0.0.1", std::to_string(port_)})},
            paths::serverConfigFile()));
    }
    void startFtp(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{RAVAVIZA_PYTHON, FTP_TEST_SERVER, "--root", ftpRoot_};
        args.insert(args.end(), extra.begin(), extra.end());
        ftp_ = std::make_unique<testsupport::PortServer>(args);
        ASSERT_GT(ftp_->port(), 0);
    }
    Json ftpAnswer() const {
        return {{"uploadType", 1},    {"ftpSvrIp", "127.0.0.1"}, {"ftpPort", ftp_->port()},
                {"ftpPath", "/logs"}, {"ftpUser", "debug"},      {"ftpPasswd", "secret"}};
    }
    void script(const Json& value) { writeText(script_, value.dump()); }

    // Runs one job in this process and waits until it has ended.
    void runJob(ZemLogReportManager::Environment env = {}) {
        std::atomic<int> finished = 0;
        env.jobFinished = [&] { ++finished; };
        if (!env.currentDateString) {
            const std::string when = "2026-12-11 08:00:" + std::to_string(10 + jobs_++);
            env.currentDateString = [when] { return when; };
        }
        env.limits.lowSpeedTime = 2s;
        env.limits.responseTimeout = 2s;
        env.core = std::make_shared<ZemBusCore>(&config_);
        ZemLogReportManager manager(std::move(env));
        manager.reportDebugLog();
        ASSERT_TRUE(waitUntil([&] { return finished == 1 && manager.idle(); }, 60s));
    }

    std::vector<Json> records(const std::string& path) const {
        std::vector<Json> out;
        std::istringstream in(readText(log_));
        for (std::string line; std::getline(in, line);) {
            Json record = Json::parse(line, nullptr, false);
            if (!record.is_discarded() && record.value("path", "") == path) out.push_back(record);
        }
        return out;
    }
    static std::vector<std::string> zipsLeft() {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(paths::localLibraryFolder() + "/Logs/RavAviza/v5", ec))
            if (e.path().extension() == ".zip") names.push_back(e.path().filename());
        return names;
    }
    std::vector<std::string> ftpFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(ftpRoot_ + "/logs")) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::optional<testsupport::TempRoot> temp_;
    std::string root_, script_, log_, ftpRoot_;
    int port_ = 0;
    int jobs_ = 0;
    ZemServerConfig config_;
    Child server_, tamber_;
    std::unique_ptr<testsupport::PortServer> ftp_;
};

}  // namespace

TEST_F(debug_log_upload, ZipGoesWhereTheAnswerSaysAndIsDeletedAfterwards) {
    startServer();
    startFtp();
    struct Case {
        const char* name;
        Json answer;
        bool ftp;
    } cases[] = {
        {"FTP", ftpAnswer(), true},
        {"HTTP, type 0",
         {{"uploadType", 0}, {"uploadURL", "http://127.0.0.1:" + std::to_string(port_) + "/upload/debuglog"}},
         false},
        {"HTTP, type 2",
         {{"uploadType", 2}, {"uploadURL", "http://127.0.0.1:" + std::to_string(port_) + "/upload/debuglog"}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script({{"debug", c.answer}});
        const size_t asked = records("yj/debug").size();
        runJob();
        const auto requests = records("yj/debug");
        ASSERT_EQ(requests.size(), asked + 1);
        const Json& request = requests.back();
        EXPECT_EQ(request["action"], 4000);
        const Json& body = request["body"];
        EXPECT_EQ(body.value("lastSeq", "missing"), "0");
        const std::string name = body.value("logName", "");
        EXPECT_TRUE(std::regex_match(
            name, std::regex(R"(mac_[0-9A-Za-z]*_debuglog_[0-9.]*-2026-12-11-08-00-\d\d\.zip)")))
            << name;
        if (c.ftp) {
            const auto uploaded = bytesOf(ftpRoot_ + "/logs/" + name);
            EXPECT_EQ(MD5::MD5HexDigest(uploaded), body.value("logMd5", ""));
            EXPECT_EQ(static_cast<int64_t>(uploaded.size()), body.value("logSize", 0));
            const auto entries = zipEntries(ftpRoot_ + "/logs/" + name);
            EXPECT_NE(std::find(entries.begin(), entries.end(), "Hollin-Info-1.log"), entries.end());
        } else {
            const auto uploads = records("upload/debuglog");
            ASSERT_FALSE(uploads.empty());
            const Json& part = uploads.back()["upload"][0];
            EXPECT_EQ(part["name"], "file");
            EXPECT_EQ(part["filename"], name);
            EXPECT_EQ(part["type"], "application/zip");
            EXPECT_EQ(part["md5"], body.value("logMd5", ""));
            EXPECT_EQ(part["size"], body.value("logSize", 0));
        }
        EXPECT_TRUE(testsupport::capturedLog().contains("[DebugLog Report] upload debug log successful."));
        EXPECT_EQ(zipsLeft(), std::vector<std::string>{});
        // The answer is kept as the settings, readable by root only.
        const auto stored = ZemDebugModelManager::localDebugModel();
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->uploadType, c.answer.value("uploadType", 0));
        struct stat st {};
        ASSERT_EQ(::stat(ZemDebugModelManager::_archivePath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(debug_log_upload, WithoutAnAnswerTheLastGoodSettingsServe) {
    startServer();
    startFtp();
    script({{"debug", ftpAnswer()}});
    runJob();
    ASSERT_EQ(ftpFiles().size(), 1u);
    const auto storedBytes = bytesOf(ZemDebugModelManager::_archivePath());

    const Json noAnswers[] = {
        {{"status", 500}}, {{"garbage", true}}, {{"noExtension", true}}, {{"empty", true}}};
    size_t expected = 1;
    for (const auto& entry : noAnswers) {
        SCOPED_TRACE(entry.dump());
        script({{"debug", ftpAnswer()}, {"replies", {{"yj/debug", Json::array({entry})}}}});
        testsupport::capturedLog().clear();
        runJob();
        EXPECT_EQ(ftpFiles().size(), ++expected) << "the new archive went to the stored address";
        EXPECT_TRUE(testsupport::capturedLog().contains("get FTPInfo request failed. so user local cache"));
        EXPECT_EQ(bytesOf(ZemDebugModelManager::_archivePath()), storedBytes);
        EXPECT_EQ(zipsLeft(), std::vector<std::string>{});
    }
}

TEST_F(debug_log_upload, WithoutAnswerOrSettingsTheZipIsDeletedAndNothingSent) {
    startServer();
    startFtp();
    script({{"replies", {{"yj/debug", Json::array({{{"status", 500}}})}}}});
    runJob();
    EXPECT_EQ(records("yj/debug").size(), 1u);
    EXPECT_EQ(ftpFiles(), std::vector<std::string>{});
    EXPECT_EQ(zipsLeft(), std::vector<std::string>{});
    EXPECT_TRUE(testsupport::capturedLog().contains("[ZemBus] [DebugLogReport] get FTPInfo request is error."));
}

TEST_F(debug_log_upload, StalledFtpServerEndsTheJobWithAFailureAndTheZipDeleted) {
    startServer();
    startFtp({"--stall-after", "1000"});
    // Random bytes do not compress: the zip is larger than what the connection takes unread.
    std::vector<char> noise(8u << 20);
    std::mt19937 random(7);
    for (auto& b : noise) b = static_cast<char>(random());
    std::ofstream(paths::daemonLogsFolder() + "/noise.log", std::ios::binary)
        .write(noise.data(), noise.size());
    script({{"debug", ftpAnswer()}});
    const auto started = std::chrono::steady_clock::now();
    runJob();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 45s);
    EXPECT_TRUE(testsupport::capturedLog().contains(
        "[DebugLog Report] failed. Because error ftp://NSStreamEventErrorOccurred error -1000"));
    EXPECT_EQ(zipsLeft(), std::vector<std::string>{});
}

TEST_F(debug_log_upload, CommandsDuringAJobRunOneMoreJobAfterIt) {
    startServer();
    startFtp();
    // The first answer is slow, so the other commands arrive while the first job runs.
    script({{"debug", ftpAnswer()}, {"replies", {{"yj/debug", Json::array({{{"sleep", 1.0}}})}}}});
    std::atomic<int> finished = 0;
    std::atomic<int> when = 0;
    ZemLogReportManager::Environment env;
    env.jobFinished = [&] { ++finished; };
    env.currentDateString = [&] { return "2026-12-11 08:01:" + std::to_string(10 + when++); };
    env.core = std::make_shared<ZemBusCore>(&config_);
    ZemLogReportManager manager(std::move(env));
    for (int i = 0; i < 4; ++i) manager.reportDebugLog();
    ASSERT_TRUE(waitUntil([&] { return manager.idle(); }, 60s));
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(ftpFiles().size(), 2u);
    EXPECT_EQ(records("yj/debug").size(), 2u);
}

TEST_F(debug_log_upload, TheServiceUploadsWhenTheDaemonPassesADebugCommand) {
    if (::getuid() != 0) GTEST_SKIP() << "the service's -run mode needs root";
    startServer();
    startFtp();
    script({{"debug", ftpAnswer()}});
    ASSERT_TRUE(
        tamber_.start({TAMBER_EXECUTABLE, "-run"}, {"RAVAVIZA_ROOT=" + root_}, root_ + "/tamber.out"));
    ASSERT_TRUE(waitUntil(
        [&] { return ipc::ConnectionProxy::lookup("RavAviza_zem_bus_connection") != nullptr; }, 20s));
    // The daemon's own call path for a debug command.
    ZemIPCManager daemonSide;
    daemonSide.reportDebugLog();
    ASSERT_TRUE(waitUntil([&] { return ftpFiles().size() == 1 && zipsLeft().empty(); }, 60s))
        << readText(paths::daemonLogsFolder() + "/Tamber-Info-1.log");
    const auto requests = records("yj/debug");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ftpFiles()[0], requests[0]["body"].value("logName", ""));
    EXPECT_EQ(MD5::MD5HexDigest(bytesOf(ftpRoot_ + "/logs/" + ftpFiles()[0])),
              requests[0]["body"].value("logMd5", ""));
}

TEST_F(debug_log_upload, WithNoServerKnownTheJobEndsAndKeepsTheZip) {
    startFtp();
    runJob();
    EXPECT_EQ(ftpFiles(), std::vector<std::string>{});
    EXPECT_EQ(zipsLeft().size(), 1u);
    EXPECT_TRUE(
        testsupport::capturedLog().contains("send debug log request failed, because server config is null"));
}
