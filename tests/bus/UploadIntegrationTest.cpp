// The upload engine against the test management server on loopback: the schedule fetched at start
// and every 900 s of manual time, reports as gzip with the device headers, split when over their
// limit, statistics after ten uploads, and the failed-report cache sent again, removed on any
// reply and kept across a restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <optional>

#include "daemon/link/tests/LinkTestSupport.h"
#include "tests/support/TempRoot.h"
#include "platform/archive/KeyedArchive.h"
#include "bus/CommonTimerHelp.h"
#include "bus/DataReportManager.h"
#include "bus/ReportTimerHooks.h"
#include "bus/UploadScheduleManager.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/ipc/NamedConnection.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "common/server/ZemServerConfig.h"
#include "tests/support/CapturingLog.h"

using common::LogSink;
using common::ZemServerConfig;

using namespace linktest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const ReportDeviceFacts kFacts{"0A1B2C3D-UUID", "lab-mac07", {"aa:bb:cc:dd:ee:01"}, {"10.0.0.7"}};

class report_upload : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::capturedLog();
        temp_.emplace("report-upload");
        root_ = temp_->path();
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(name);
        fs::create_directories(paths::machineSupportFolder());
        script_ = root_ + "/script.json";
        log_ = root_ + "/requests.jsonl";
        setScript(Json::object());
        ASSERT_TRUE(server_.start({RAVAVIZA_PYTHON, ZEM_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR,
                                   "--script", script_, "--log", log_}));
        const std::string line = server_.readLine();
        ASSERT_EQ(line.rfind("PORT ", 0), 0u) << line;
        port_ = std::stoi(line.substr(5));
        pointConfigAt(port_);
        makeManagers();
    }
    void TearDown() override {
        dropManagers();
        server_.stop();
        temp_.reset();
    }

    void pointConfigAt(int port) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Value(archive::Array{"127.0.0.1", std::to_string(port)})},
            paths::serverConfigFile()));
        config_.readServerConfig();
    }
    void makeManagers() {
        schedule_ = std::make_unique<UploadScheduleManager>(UploadScheduleManager::Options{
            &config_, [] { return kFacts.uuid; }, root_ + "/ScheduleSetting.data"});
        DataReportManager::Options options;
        options.schedule = schedule_.get();
        options.facts = [this] { return facts_; };
        options.clock = &clock_;
        options.cacheFolder = root_ + "/cache";
        options.timeout = 10s;
        reports_ = std::make_unique<DataReportManager>(options);
    }
    void dropManagers() {
        if (reports_) {
            EXPECT_TRUE(reports_->waitUntilIdle(60s));
        }
        reports_.reset();
        schedule_.reset();
    }
    void setScript(const Json& script) { writeText(script_, script.dump()); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }

    // Fetches the schedule the script names and waits for it to be stored.
    void fetchSchedule() { ASSERT_EQ(fetch(), true); }
    // The outcome of one fetch; nothing when it never completed.
    std::optional<bool> fetch() {
        auto stored = std::make_shared<std::promise<bool>>();
        auto outcome = stored->get_future();
        schedule_->startUploadScheduleRequest([stored](bool ok) { stored->set_value(ok); });
        if (outcome.wait_for(60s) != std::future_status::ready) return std::nullopt;
        return outcome.get();
    }
    void useSchedule(const Json& datacontrol, Json replies = Json::object()) {
        setScript({{"schedule", {{"retcode", 0}, {"datacontrol", datacontrol}}}, {"replies", replies}});
        fetchSchedule();
    }

    std::vector<Json> records(const std::string& prefix) const {
        std::vector<Json> out;
        std::istringstream in(readText(log_));
        for (std::string line; std::getline(in, line);) {
            Json record = Json::parse(line, nullptr, false);
            if (!record.is_discarded() && record.value("path", "").rfind(prefix, 0) == 0)
                out.push_back(record);
        }
        return out;
    }
    std::vector<std::string> bodies(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& r : records(prefix)) out.push_back(r.value("body", ""));
        return out;
    }
    std::vector<std::string> cacheFiles() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(reports_->cacheFolder(), ec))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    void idle() { ASSERT_TRUE(reports_->waitUntilIdle(60s)); }

    std::optional<testsupport::TempRoot> temp_;
    std::string root_, script_, log_;
    int port_ = 0;
    Child server_;
    ZemServerConfig config_;
    dispatch::ManualClock clock_{1'796'860'800.0};  // 2026-12-10 08:00:00 in UTC+8
    std::unique_ptr<UploadScheduleManager> schedule_;
    ReportDeviceFacts facts_ = kFacts;
    std::unique_ptr<DataReportManager> reports_;
};

Json items(int count, size_t width) {
    Json a = Json::array();
    for (int i = 0; i < count; ++i) {
        std::string s = std::to_string(i);
        a.push_back(s + std::string(width > s.size() ? width - s.size() : 0, 'x'));
    }
    return a;
}

size_t fieldsOf(const std::string& body) {
    return body.empty() ? 0 : static_cast<size_t>(std::count(body.begin(), body.end(), '#')) + 1;
}

}  // namespace

TEST_F(report_upload, ScheduleIsFetchedAtStartAndEveryFifteenMinutesOfTicks) {
    setScript(
        {{"schedule",
          {{"retcode", 0},
           {"datacontrol",
            {{"qoraccesslog", {{"switch", 2}, {"uploadsize", 512}, {"url", url("yj/report/qor")}}},
             {"default",
              {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report")}, {"accumulatetime", 30}}}}}}}});
    dispatch::ManualTime time;
    std::atomic<int> resends{0};
    CommonTimerHelp::Hooks hooks = bus::reportTimerHooks(schedule_.get(), reports_.get());
    hooks.resendCache = [resend = hooks.resendCache, &resends] {
        resend();
        ++resends;
    };
    hooks.memoryMiB = [] { return 10.0; };
    hooks.threadCount = [] { return 5; };
    hooks.exit = [](int) {};
    {
        CommonTimerHelp timer(std::move(hooks));
        timer.startTimer();
        auto drain = [&] { timer.queue()->dispatchSync([] {}); };
        drain();
        ASSERT_TRUE(waitUntil([&] { return records("yj/schedule").size() == 1; }, 20s));
        ASSERT_TRUE(waitUntil([&] { return schedule_->readSchedule().has_value(); }, 20s));
        std::vector<size_t> fetchesAfterTick;
        for (int tick = 1; tick <= 12; ++tick) {
            time.advance(300s);
            drain();
            if (tick % 3 == 0) {
                EXPECT_TRUE(
                    waitUntil([&] { return records("yj/schedule").size() == size_t(1 + tick / 3); }, 20s));
            }
            fetchesAfterTick.push_back(records("yj/schedule").size());
        }
        EXPECT_EQ(fetchesAfterTick, (std::vector<size_t>{1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5}));
        ASSERT_TRUE(waitUntil([&] { return resends == 12; }, 20s));
        timer.queue()->dispatchSync([] {});
    }
    const Json first = records("yj/schedule").front();
    EXPECT_EQ(first["query"], (Json{{"ZipFlag", "0"},
                                    {"EncryptFlag", "0"},
                                    {"deviceid", kFacts.uuid},
                                    {"ticket", "vwqp"},
                                    {"location", "2"},
                                    {"OsType", "mac"}}));
    EXPECT_EQ(first["json"], Json::object());
    ASSERT_TRUE(schedule_->waitUntilIdle(60s));
    const auto stored = schedule_->readSchedule();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 2u);
    // The script's writer sorts its keys, so the reply names "default" first.
    EXPECT_EQ((*stored)[0].type, "default");
    EXPECT_EQ((*stored)[0].accumulatetime, archive::Value(30));
    EXPECT_EQ((*stored)[1].type, "qoraccesslog");
    EXPECT_EQ((*stored)[1].bEnabled, "1");
    EXPECT_EQ((*stored)[1].uploadsize, 512u);
    EXPECT_FALSE((*stored)[1].accumulatetime);
}

TEST_F(report_upload, HeadersWithoutAValueStillGoOut) {
    // A host without a readable UUID, a MAC or an IPv4 address: the three headers go out empty.
    facts_ = ReportDeviceFacts{"", "lab-mac07", {}, {}};
    useSchedule({{"default", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/all")}}}});
    reports_->uploadProcessDump(Json::array({"proc"}).dump());
    idle();
    ASSERT_EQ(records("yj/report/all").size(), 1u);
    const Json h = records("yj/report/all")[0]["headers"];
    for (const char* name : {"Deviceid", "ClientMac", "ClientIp"}) EXPECT_EQ(h.value(name, "<missing>"), "") << name;
    EXPECT_EQ(h.value("MachineName", "<missing>"), "lab-mac07");
}

TEST_F(report_upload, RefusedSchedulesLeaveTheStoredOneInForce) {
    useSchedule({{"macscript", {{"switch", 1}, {"url", url("yj/report")}}}});
    const std::string before = readText(schedule_->settingPath());
    Json many = Json::object();
    for (int i = 0; i < 3000; ++i)
        many["type" + std::to_string(i)] = {{"switch", 1}, {"url", url("yj/report")}};
    const Json cases[] = {
        {{"replies", {{"yj/schedule", {{{"status", 500}}}}}}},
        {{"schedule", {{"retcode", 3}, {"datacontrol", Json::object()}}}},
        {{"schedule", {{"retcode", 0}}}},
        {{"replies", {{"yj/schedule", {{{"raw", "<html>maintenance</html>"}}}}}}},
        {{"schedule", {{"retcode", 0}, {"datacontrol", many}}}},
    };
    for (const auto& script : cases) {
        SCOPED_TRACE(script.dump().substr(0, 120));
        setScript(script);
        EXPECT_EQ(fetch(), false);
        EXPECT_EQ(readText(schedule_->settingPath()), before);
    }
    EXPECT_TRUE(testsupport::capturedLog().contains("get upload schedule failed，error ：more than 512 entries"));
    // An empty list replaces the schedule; the engine then treats it as none.
    useSchedule(Json::object());
    EXPECT_EQ(schedule_->readSchedule(), std::vector<UploadScheduleModel>{});
}

TEST_F(report_upload, ReportsGoAsGzipWithTheTwelveDeviceHeaders) {
    useSchedule({{"default", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/all")}}}});
    reports_->uploadProcessDump(Json::array({"proc one", 7, Json{{"pid", 1}}}).dump());
    idle();
    reports_->uploadQorAccesslog(Json::array({Json{{"line", "a,\"b\""}}}).dump());
    idle();
    const auto sent = records("");
    ASSERT_EQ(records("yj/report/all").size(), 1u);
    ASSERT_EQ(records("zem/report/all").size(), 1u);  // the access log's path has zem for yj
    const Json dump = records("yj/report/all")[0];
    EXPECT_TRUE(dump["gzip"].get<bool>());
    EXPECT_EQ(dump["body"], "proc one#7#{\"pid\":1}");
    const Json& h = dump["headers"];
    const std::map<std::string, std::string> expected{{"Deviceid", kFacts.uuid},
                                                      {"Location", "2"},
                                                      {"Ticket", "vwqp"},
                                                      {"Serial", "1"},
                                                      {"Count", "1"},
                                                      {"Number", "1"},
                                                      {"ZipFlag", "1"},
                                                      {"EncryptFlag", "0"},
                                                      {"MachineName", "lab-mac07"},
                                                      {"ClientMac", "aa:bb:cc:dd:ee:01"},
                                                      {"ClientIp", "10.0.0.7"},
                                                      {"DomainUser", "lab"}};
    for (const auto& [name, value] : expected) EXPECT_EQ(h.value(name, "<missing>"), value) << name;

    // The first access-log report carries the headers too.
    const Json access = records("zem/report/all")[0];
    EXPECT_EQ(access["headers"].value("Deviceid", "<missing>"), kFacts.uuid);
    const Json device = Json::parse(access["body"].get<std::string>());
    EXPECT_EQ(device["DeviceId"], kFacts.uuid);
    EXPECT_EQ(device["DomainUser"], "lab");
    EXPECT_EQ(device["ClientIp"], "10.0.0.7");
    EXPECT_EQ(device["Datas"], Json::array({Json{{"line", "a,\"b\""}}}));

    // Text that barely compresses: the gzip buffer grows to what zlib needs.
    std::string noise(1u << 20, ' ');
    uint32_t seed = 7;
    for (char& c : noise) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(33 + (seed >> 24) % 94);
    }
    reports_->uploadProcessDump(Json::array({noise}).dump());
    idle();
    ASSERT_EQ(records("yj/report/all").size(), 2u);
    const Json big = records("yj/report/all")[1];
    EXPECT_TRUE(big["gzip"].get<bool>());
    EXPECT_EQ(big["body"], noise);
}

TEST_F(report_upload, ReportsOverTheirLimitAreSplitInTwo) {
    struct Case {
        const char* name;
        std::string type;
        uint64_t uploadsize;
        Json data;
        std::vector<size_t> parts;  // elements per request, in order
    } cases[] = {
        // 100 elements in 10,000 bytes: 100 bytes each, 1,000 bytes take 10.
        {"split by the per-item size", "macprocesslist", 1000, items(100, 97), {10, 90}},
        {"macscript counts its limit in KiB", "macscript", 300, items(2000, 100), {2000}},
        {"the others count bytes", "macsoftwarelist", 300 * 1024, items(2000, 100), {2000}},
        {"200 KiB over 300 bytes", "macprocesslist", 300, items(2000, 100), {2, 1998}},
        {"no limit", "macprocesslist", 0, items(2000, 100), {2000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useSchedule(
            {{c.type, {{"switch", 1}, {"uploadsize", c.uploadsize}, {"url", url("yj/report/split")}}}});
        const size_t before = records("yj/report/split").size();
        const std::string json = c.data.dump();
        if (std::string(c.name) == "split by the per-item size") {
            ASSERT_EQ(json.size(), 10'001u);
        }
        if (c.type == "macscript") {
            reports_->setReportData(json);
        } else if (c.type == "macsoftwarelist") {
            reports_->uploadAppList(json);
        } else {
            reports_->uploadProcessDump(json);
        }
        idle();
        std::vector<size_t> parts;
        const auto all = bodies("yj/report/split");
        for (size_t i = before; i < all.size(); ++i) parts.push_back(fieldsOf(all[i]));
        std::sort(parts.begin(), parts.end());
        auto expected = c.parts;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(parts, expected);
    }
}

TEST_F(report_upload, OnlyEnabledTypesAreSent) {
    useSchedule({{"macscript", {{"switch", 0}, {"uploadsize", 0}, {"url", url("yj/report/a")}}},
                 {"macdiskencrypt", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/b")}}},
                 {"baseline", {{"switch", 1}, {"uploadsize", 10}, {"url", url("yj/report/c")}}},
                 {"default", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/d")}}}});
    reports_->setReportData(R"(["x"])");                          // disabled, the default is not used
    reports_->uploadDiskEncryptState(std::string("on"));          // uploadsize 0: not sent
    reports_->uploadReinforceResult(std::string("baseline|ok"));  // sent to its own entry
    reports_->uploadComplianceResult(std::string("baseline|2"));  // looked up under its first field
    reports_->uploadProcessDump(R"({"not":"an array"})");         // not an array
    reports_->uploadAppList(std::nullopt);
    idle();
    std::vector<std::string> paths;
    for (const auto& r : records("yj/report"))
        paths.push_back(r["path"].get<std::string>() + " " + r["body"].get<std::string>());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"yj/report/c baseline|2", "yj/report/c baseline|ok"}));
    EXPECT_TRUE(testsupport::capturedLog().contains("[DataReportManager]upload AppList data is Null..."));
}

TEST_F(report_upload, StatisticsAreReportedAfterTenUploads) {
    Json replies = Json::array();
    for (int i = 0; i < 9; ++i) replies.push_back({{"raw", "0\r\n"}});
    replies.push_back({{"raw", "1,2"}});    // the tenth: a refusal of two codes
    replies.push_back({{"raw", "0"}});      // statistics not taken: no line end
    replies.push_back({{"raw", "0"}});      // the eleventh upload
    replies.push_back({{"raw", "0\r\n"}});  // statistics taken
    useSchedule({{"macprocesslist", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/stat")}}}},
                {{"yj/report/stat", replies}});
    for (int i = 0; i < 9; ++i) {
        reports_->uploadProcessDump(R"(["p"])");
        idle();
    }
    EXPECT_EQ(records("yj/report/stat").size(), 9u);
    EXPECT_EQ(reports_->uploadStatistics("macprocesslist")->successCount, 9);
    reports_->uploadProcessDump(R"(["refused"])");
    idle();
    reports_->uploadProcessDump(R"(["p"])");
    idle();
    const auto sent = bodies("yj/report/stat");
    ASSERT_EQ(sent.size(), 13u);
    EXPECT_EQ(sent[10], "zemstat_mac|upload|macprocesslist||1,2||11|9|2|1|1|0|0");
    EXPECT_EQ(sent[12], "zemstat_mac|upload|macprocesslist||1,2||12|10|2|1|1|0|0");
    EXPECT_EQ(records("yj/report/stat")[10]["headers"].value("ZipFlag", ""), "1");
    // Taken: counting starts again. The refused report waits in the cache.
    EXPECT_FALSE(reports_->uploadStatistics("macprocesslist"));
    EXPECT_EQ(cacheFiles().size(), 1u);
}

TEST_F(report_upload, CachedReportsGoSixAPassAndAnyReplyRemovesThem) {
    useSchedule({{"default", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/cache")}}}},
                {{"yj/report/cache", {{{"raw", "1"}}, {{"status", 200}, {"empty", true}}}}});
    std::set<std::string> saved;
    for (int i = 0; i < 8; ++i) {
        const std::string body = "report " + std::to_string(i);
        reports_->saveUploadDataToLocalCache(body, i % 2 ? "macscript" : "macprocesslist");
        saved.insert(body);
    }
    ASSERT_EQ(cacheFiles().size(), 8u);
    reports_->reuploadLocalCacheData();
    idle();
    EXPECT_EQ(records("yj/report/cache").size(), 6u);
    EXPECT_EQ(cacheFiles().size(), 2u);  // a refusal or an empty reply removes the file as well
    reports_->reuploadLocalCacheData();
    idle();
    const auto sent = bodies("yj/report/cache");
    EXPECT_EQ(std::set<std::string>(sent.begin(), sent.end()), saved);
    EXPECT_TRUE(cacheFiles().empty());
}

TEST_F(report_upload, TransportFailuresKeepAFileForADay) {
    useSchedule({{"default", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/fail")}}}},
                {{"yj/report/fail", {{{"status", 503}, {"repeat", true}}}}});
    struct Case {
        const char* type;
        double age;
        bool kept;
    } cases[] = {{"macscript", 3600, true},
                 {"macprocesslist", 25 * 3600, false},
                 {"macsoftwarelist", -25 * 3600, false}};
    for (const auto& c : cases) reports_->saveUploadDataToLocalCache("body", c.type);
    for (const auto& c : cases) {
        const std::string path = reports_->cacheFolder() + "/20261210080000-" + c.type;
        const timespec when{static_cast<time_t>(clock_.now() - c.age), 0};
        const timespec times[2] = {when, when};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }
    reports_->reuploadLocalCacheData();
    idle();
    EXPECT_EQ(records("yj/report/fail").size(), 3u);
    EXPECT_EQ(cacheFiles(), (std::vector<std::string>{"20261210080000-macscript"}));
}

TEST_F(report_upload, OverlappingPassesSendAFileOnce) {
    useSchedule({{"default", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/slow")}}}},
                {{"yj/report/slow", {{{"sleep", 1.5}}}}});
    reports_->saveUploadDataToLocalCache("once", "macscript");
    reports_->reuploadLocalCacheData();
    ASSERT_TRUE(waitUntil([&] { return records("yj/report/slow").size() == 1; }, 20s));
    reports_->reuploadLocalCacheData();  // the first request is still waiting for its reply
    idle();
    EXPECT_EQ(records("yj/report/slow").size(), 1u);
    EXPECT_TRUE(cacheFiles().empty());
}

TEST_F(report_upload, CachedReportsOutliveARestart) {
    useSchedule({{"default", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/r")}}}},
                {{"yj/report/r", {{{"status", 500}}, {{"status", 500}}}}});
    reports_->uploadProcessDump(R"(["first","second"])");
    reports_->uploadAppList(R"(["apps"])");
    idle();
    ASSERT_EQ(cacheFiles().size(), 2u);
    dropManagers();
    makeManagers();  // a new service start over the same folders
    reports_->reuploadLocalCacheData();
    idle();
    const auto sent = bodies("yj/report/r");
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(std::multiset<std::string>(sent.begin() + 2, sent.end()),
              (std::multiset<std::string>{"first#second", "apps"}));
    EXPECT_TRUE(cacheFiles().empty());
}

TEST_F(report_upload, UrlWithLineBreaksIsRefusedAndTheReportKept) {
    useSchedule({{"macscript",
                  {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/x") + "\r\nX-Injected: 1"}}}});
    reports_->setReportData(R"(["kept"])");
    idle();
    EXPECT_TRUE(records("yj/report").empty());
    EXPECT_TRUE(testsupport::capturedLog().contains("[DataReportManager] upload url is not valid: " + url("yj/report/x") +
                                        "\\r\\nX-Injected: 1"));
    EXPECT_EQ(cacheFiles().size(), 1u);
}

// The real service: its start fetches the schedule, and a report handed to its connection goes
// out as a gzip upload.
TEST_F(report_upload, ServiceFetchesTheScheduleAndUploadsWhatItIsHanded) {
    if (::getuid() != 0) GTEST_SKIP() << "the service's -run mode needs root";
    setScript(
        {{"schedule",
          {{"retcode", 0},
           {"datacontrol",
            {{"macprocesslist", {{"switch", 1}, {"uploadsize", 0}, {"url", url("yj/report/svc")}}}}}}}});
    Child tamber;
    ASSERT_TRUE(tamber.start({TAMBER_EXECUTABLE, "-run"}, {"RAVAVIZA_ROOT=" + root_}, root_ + "/tamber.out"));
    const std::string stored = paths::productRoot() + "/ScheduleSetting.data";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(stored); }, 30s));
    std::shared_ptr<ipc::ConnectionProxy> proxy;
    ASSERT_TRUE(waitUntil(
        [&] { return (proxy = ipc::ConnectionProxy::lookup("RavAviza_zem_bus_connection")) != nullptr; },
        20s));
    const std::string json = R"(["launchd","Hollin"])";
    const auto reply =
        proxy->call("uploadDumpData:", {archive::Value(archive::Data(json.begin(), json.end()))}, 10);
    ASSERT_TRUE(reply.ok()) << reply.error;
    ASSERT_TRUE(waitUntil([&] { return records("yj/report/svc").size() == 1; }, 30s));
    const Json sent = records("yj/report/svc")[0];
    EXPECT_TRUE(sent["gzip"].get<bool>());
    EXPECT_EQ(sent["body"], "launchd#Hollin");
    EXPECT_EQ(sent["headers"].value("Ticket", ""), "vwqp");
    EXPECT_EQ(records("yj/schedule").size(), 1u);
    tamber.stop();
}
