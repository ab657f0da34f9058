// The debug-log job's own parts: the zip's name, the FTP address, the stored settings and their
// file, the action-4000 messages, and the archive of the logs in a temporary root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>

#include "tests/support/TempRoot.h"
#include "platform/archive/KeyedArchive.h"
#include "bus/DebugLogFTPRequest.h"
#include "bus/ZemBusCore.h"
#include "bus/ZemDebugLogRequest.h"
#include "bus/ZemDebugModel.h"
#include "bus/ZemLogReportManager.h"
#include "platform/paths/Paths.h"
#include "proto/ZemUrlEncode.h"

using zem::ZemUrlEncode;

namespace fs = std::filesystem;

namespace {

class debug_log_root : public ::testing::Test {
  protected:
    void SetUp() override {
        temp_.emplace("debug-log");
        root_ = temp_->path();
    }
    void TearDown() override { temp_.reset(); }
    static void writeFile(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
    }
    std::optional<testsupport::TempRoot> temp_;
    std::string root_;
};

std::vector<std::string> zipEntries(const std::string& path) {
    std::vector<std::string> names;
    unzFile zip = unzOpen64(path.c_str());
    if (!zip) return {"<unreadable>"};
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        char name[512];
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) == UNZ_OK)
            names.push_back(name);
    }
    unzClose(zip);
    std::sort(names.begin(), names.end());
    return names;
}

ZemLogReportManager::Environment fixedEnvironment(std::optional<std::string> user) {
    ZemLogReportManager::Environment env;
    env.consoleUser = [user] { return user; };
    env.hardwareUuid = [] { return std::string("564D1234-ABCD-0000-1111-222233334444"); };
    env.networkCardIps = [] { return std::vector<std::string>{"10.0.0.5", "192.168.1.20"}; };
    env.currentDateString = [] { return std::string("2026-12-11 08:05:09"); };
    return env;
}

}  // namespace

TEST(debug_log, ZipNameJoinsUuidAddressesAndTime) {
    ZemLogReportManager manager(fixedEnvironment(std::nullopt));
    EXPECT_EQ(manager.zipName(),
              "mac_564D1234ABCD00001111222233334444_debuglog_10.0.0.5192.168.1.20-2026-12-11-08-05-09.zip");
}

TEST(debug_log, FtpUploadAddress) {
    struct Case {
        std::optional<std::string> host;
        uint32_t port;
        std::optional<std::string> path;
        std::optional<std::string> url;
    } cases[] = {
        {"10.0.0.8", 21, "/logs", "ftp://10.0.0.8:21/logs/z.zip"},
        {"10.0.0.8", 21, "/logs/", "ftp://10.0.0.8:21/logs/z.zip"},
        {"ftp.example.test", 2121, std::nullopt, "ftp://ftp.example.test:2121/z.zip"},
        {"10.0.0.8", 21, "/logs  ", "ftp://10.0.0.8:21/logs/z.zip"},  // trimmed at the ends
        {"", 21, "/logs", std::nullopt},
        {std::nullopt, 21, "/logs", std::nullopt},
        {"10.0.0.8", 21, "/logs\r\nDELE x", std::nullopt},
        {"10.0.0.8\r\nUSER x", 21, "/", std::nullopt},
        {"10.0.0.8", 21, "/my logs", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host.value_or("<unset>") + " " + c.path.value_or("<unset>"));
        ZemDebugModel model;
        model.ftpURL = c.host;
        model.ftp_port = c.port;
        model.ftp_path = c.path;
        model.fileName = "z.zip";
        EXPECT_EQ(DebugLogFTPRequest::ftpUploadURL(model), c.url);
    }
}

TEST(debug_log, UnusableAddressesFailWithoutATransfer) {
    struct Case {
        int32_t uploadType;
        std::string url;
    } cases[] = {{1, ""}, {0, ""}, {2, "http://h/up\r\nX-Injected: 1"}, {7, "http://h/a b"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uploadType);
        ZemDebugModel model;
        model.uploadType = c.uploadType;
        model.uploadURL = c.url;
        model.fileName = "z.zip";
        model.fileData = {1, 2, 3};
        int completions = 0;
        bool succeeded = true;
        DebugLogFTPRequest().uploadDebugLogToFTPServ(model, {}, [&](bool success, const std::string&) {
            ++completions;
            succeeded = success;
        });
        EXPECT_EQ(completions, 1);
        EXPECT_FALSE(succeeded);
    }
}

TEST(debug_log, SettingsArchiveKeysAndDefaults) {
    ZemDebugModel model;
    model.curSeq = 4;
    model.uploadType = 1;
    model.ftp_port = 2121;
    model.uploadURL = "http://h/u";
    model.ftpURL = "10.0.0.8";
    model.ftp_path = "/logs";
    model.ftp_user = "u";
    model.ftp_password = "p";
    const archive::Object object = model.encode();
    EXPECT_EQ(object.className, "ZemDebugModel");
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.fields) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"curseq", "ftppassword", "ftpport", "ftppth", "ftpurl",
                                              "ftpuser", "uploadtype", "uploadurl"}));

    const auto data = archive::archivedData(archive::Value(object));
    ASSERT_TRUE(data);
    const auto decoded = archive::unarchive(*data, {"ZemDebugModel"});
    ASSERT_TRUE(decoded) << decoded.error;
    const auto back = ZemDebugModel::decode(*decoded.value);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->curSeq, 4);
    EXPECT_EQ(back->ftp_port, 2121u);
    EXPECT_EQ(back->ftp_path, "/logs");
    EXPECT_EQ(back->ftp_password, "p");

    // Missing keys: integers 0, strings unset; another class is no model.
    const auto empty = ZemDebugModel::decode(archive::Value(archive::Object{"ZemDebugModel", {}}));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->uploadType, 0);
    EXPECT_FALSE(empty->ftpURL);
    EXPECT_FALSE(empty->ftp_password);
    EXPECT_FALSE(ZemDebugModel::decode(archive::Value(archive::Object{"AccountModel", {}})));
    EXPECT_EQ(model.description().find("p,"), std::string::npos) << "the password is never shown";
}

TEST_F(debug_log_root, SettingsFileIsRootOnlyAndEmptyMeansNone) {
    const std::string path = ZemDebugModelManager::_archivePath();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(ZemDebugModelManager::localDebugModel());

    ::chmod(path.c_str(), 0644);
    ZemDebugModel model;
    model.ftp_password = "secret";
    ASSERT_TRUE(ZemDebugModelManager::saveDebugModelToLocal(model));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::getuid());
    ASSERT_TRUE(ZemDebugModelManager::localDebugModel());
    EXPECT_EQ(ZemDebugModelManager::localDebugModel()->ftp_password, "secret");

    // A file that was left readable by others is narrowed when its path is asked for.
    ::chmod(path.c_str(), 0644);
    ZemDebugModelManager::_archivePath();
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Value(archive::Object{"AccountModel", {}}), path));
    EXPECT_FALSE(ZemDebugModelManager::localDebugModel());
}

TEST(debug_log, RequestCarriesTheArchiveFactsAndReplyIsRead) {
    ZemBusCore core(nullptr, bus::HeadFacts{"5.1.2.300", {"aabbccddeeff"}, {"10.0.0.5"}});
    auto request = core.getRequestWithType(bus::kDebugLogAction);
    ASSERT_TRUE(request);
    request->setUserInfo(
        {{"lastSeq", int64_t{0}}, {"logSize", int64_t{1234}}, {"logMd5", "abc"}, {"logName", "n.zip"}});
    request->generateMsgHead();
    request->generateMsgBody();
    ASSERT_TRUE(request->buildData());
    const ZemV5Root& root = request->rootMessage();
    EXPECT_EQ(root.msghead().action(), 4000);
    EXPECT_EQ(root.msghead().buildversion(), 300);
    const auto& body = root.reqmsgbody().GetExtension(ZemV5Root::debugLogUploadMsgReqBody);
    EXPECT_TRUE(body.has_lastseq());
    EXPECT_EQ(body.lastseq(), 0);
    EXPECT_EQ(body.logsize(), 1234);
    EXPECT_EQ(body.logmd5(), "abc");
    EXPECT_EQ(body.logname(), "n.zip");

    ZemV5Root reply;
    reply.mutable_msghead()->set_action(4000);
    auto* typed = reply.mutable_msgrspbody()->MutableExtension(ZemV5Root::debugLogUploadMsgRspBody);
    typed->set_uploadtype(1);
    typed->set_ftpsvrip("10.0.0.8");
    const std::string bytes = reply.SerializeAsString();
    const std::string encoded = ZemUrlEncode::urlencodWithData(bytes);
    struct Case {
        std::string body;
        bool success;
    } cases[] = {{encoded, true}, {"%ZZgarbage", false}, {"", false}};
    for (const auto& c : cases) {
        bool success = false;
        std::shared_ptr<const google::protobuf::Message> message;
        ZemBusCore::parseResponseData(std::vector<uint8_t>(c.body.begin(), c.body.end()),
                                      bus::kDebugLogAction, [&](bool ok, auto m, std::string) {
                                          success = ok;
                                          message = m;
                                      });
        EXPECT_EQ(success, c.success) << c.body;
        if (c.success) {
            const auto* rsp = dynamic_cast<const DebugLogUploadMsgRsp*>(message.get());
            ASSERT_NE(rsp, nullptr);
            EXPECT_EQ(rsp->ftpsvrip(), "10.0.0.8");
        }
    }
}

TEST_F(debug_log_root, ArchiveHoldsServiceLogsAndTheUsersQznLogsWithoutFollowingLinks) {
    const std::string logs = paths::daemonLogsFolder();
    writeFile(logs + "/Hollin-Info-1.log", "daemon line\n");
    writeFile(logs + "/sub/Tamber-Info-1.log", "report line\n");
    // Left by a job that failed: removed before the copy.
    writeFile(logs + "~/stale.log", "old\n");
    writeFile(root_ + "/etc/secret", "root only\n");

    // The user "nobody" has the home folder /nonexistent, here under the root prefix.
    const auto home = paths::homeFolder("nobody");
    ASSERT_TRUE(home);
    const std::string qzn = *home + "/Library/Logs/RavAviza/v5/QZN";
    writeFile(qzn + "/QZN-Info-1.log", "user line\n");
    fs::create_symlink(root_ + "/etc/secret", qzn + "/secret.log");
    fs::create_directory_symlink(root_ + "/etc", qzn + "/etc");
    for (fs::path p = qzn; p.string().size() >= home->size(); p = p.parent_path())
        ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::lchown((qzn + "/QZN-Info-1.log").c_str(), 65534, 65534), 0);

    const std::vector<std::string> serviceEntries = {"Hollin-Info-1.log", "sub/", "sub/Tamber-Info-1.log"};
    struct Case {
        std::optional<std::string> user;
        bool withQzn;
    } cases[] = {{"nobody", true}, {"nobody\n", true},    {"root", false},
                 {"ROOT", false},  {std::nullopt, false}, {"no-such-user", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user.value_or("<none>"));
        ZemLogReportManager manager(fixedEnvironment(c.user));
        ErrorValue error;
        const auto zip = manager.archiveZipWith(&error);
        ASSERT_TRUE(zip) << error.failureReason;
        EXPECT_EQ(*zip, paths::localLibraryFolder() + "/Logs/RavAviza/v5/" + manager.zipName());
        auto expected = serviceEntries;
        if (c.withQzn) {
            expected.push_back("QZN/");
            expected.push_back("QZN/QZN-Info-1.log");
        }
        std::sort(expected.begin(), expected.end());
        auto entries = zipEntries(*zip);
        // This test program's own log lines land in the same folder.
        std::erase_if(entries, [](const std::string& e) { return e.starts_with("report_debug_log_tests-"); });
        EXPECT_EQ(entries, expected);
        EXPECT_FALSE(fs::exists(ZemLogReportManager::tmpPathOfDebugInfo()));
        fs::remove(*zip);
    }
}

TEST(debug_log, ServerThatAcceptsAndNeverSpeaksEndsTheUploadWithAFailure) {
    // A listener nobody serves: connections complete in the kernel and then hear nothing.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uint32_t port = ntohs(address.sin_port);

    DebugLogUploadLimits limits;
    limits.connectTimeout = std::chrono::milliseconds(1000);
    limits.lowSpeedTime = std::chrono::seconds(1);
    limits.responseTimeout = std::chrono::seconds(1);
    for (int32_t uploadType : {1, 0}) {
        SCOPED_TRACE(uploadType);
        ZemDebugModel model;
        model.uploadType = uploadType;
        model.ftpURL = "127.0.0.1";
        model.ftp_port = port;
        model.ftp_path = "/logs";
        model.uploadURL = "http://127.0.0.1:" + std::to_string(port) + "/upload";
        model.fileName = "z.zip";
        model.fileData.assign(4096, 'z');
        const auto started = std::chrono::steady_clock::now();
        int completions = 0;
        std::string error;
        DebugLogFTPRequest(limits).uploadDebugLogToFTPServ(model, {},
                                                           [&](bool success, const std::string& text) {
                                                               ++completions;
                                                               if (!success) error = text;
                                                           });
        EXPECT_EQ(completions, 1);
        EXPECT_FALSE(error.empty());
        if (uploadType == 1) {
            EXPECT_EQ(error.rfind("ftp://NSStreamEventErrorOccurred error -1000", 0), 0u) << error;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    }
    ::close(listener);
}
