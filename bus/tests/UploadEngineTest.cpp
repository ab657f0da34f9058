// The upload engine's own logic without a server: the schedule reply and its archive, the lookup
// that gates every report type, the report headers, the access-log URL, and the failed-report
// cache's names, keys and removals.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "tests/support/TempRoot.h"
#include "bus/DataReportManager.h"
#include "bus/UploadScheduleManager.h"
#include "framework/cipher/AesString.h"
#include "common/server/ZemServerConfig.h"

using common::ZemServerConfig;

namespace fs = std::filesystem;
using Outcome = bus::ScheduleReply::Outcome;

namespace {

UploadScheduleModel model(std::string type, std::string enabled, uint64_t size, std::string url) {
    UploadScheduleModel m;
    m.type = std::move(type);
    m.bEnabled = std::move(enabled);
    m.uploadsize = size;
    m.url = std::move(url);
    return m;
}

std::string scheduleWith(size_t entries) {
    std::string body = R"({"retcode":0,"datacontrol":{)";
    for (size_t i = 0; i < entries; ++i)
        body += (i ? "," : "") + std::string("\"t") + std::to_string(i) +
                R"(":{"switch":1,"uploadsize":1,"url":"http://h/"})";
    return body + "}}";
}

// A temporary root; no server is configured, so a lookup without a schedule fetches nothing.
class upload_engine : public ::testing::Test {
  protected:
    void SetUp() override {
        temp_.emplace("upload-engine");
        root_ = temp_->path();
        schedule_ = std::make_unique<UploadScheduleManager>(UploadScheduleManager::Options{
            &noServer_, [] { return std::string("UUID-1"); }, root_ + "/ScheduleSetting.data"});
        DataReportManager::Options options;
        options.schedule = schedule_.get();
        options.facts = [] { return ReportDeviceFacts{"UUID-1", "mac-07", {"aa:bb"}, {"10.0.0.2"}}; };
        options.clock = &clock_;
        options.cacheFolder = root_ + "/cache";
        reports_ = std::make_unique<DataReportManager>(options);
    }
    void TearDown() override {
        ASSERT_TRUE(reports_->waitUntilIdle(std::chrono::seconds(30)));
        reports_.reset();
        schedule_.reset();
        temp_.reset();
    }
    std::vector<std::string> cacheFiles() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(reports_->cacheFolder(), ec))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string readFile(const std::string& name) const {
        std::ifstream in(reports_->cacheFolder() + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::optional<testsupport::TempRoot> temp_;
    std::string root_;
    ZemServerConfig noServer_;
    dispatch::ManualClock clock_{1'796'860'800.0};  // 2026-12-10 00:00:00 UTC
    std::unique_ptr<UploadScheduleManager> schedule_;
    std::unique_ptr<DataReportManager> reports_;
};

}  // namespace

TEST(upload_schedule, RepliesAreReadAsTheServerMeansThem) {
    struct Case {
        const char* name;
        std::string body;
        Outcome outcome;
        std::vector<std::pair<std::string, std::string>> typesEnabled;
    } cases[] = {
        {"number retcode",
         R"({"retcode":0,"datacontrol":{"qoraccesslog":{"switch":2,"uploadsize":512,"url":"http://s/yj/r"}}})",
         Outcome::Stored,
         {{"qoraccesslog", "1"}}},
        {"text retcode",
         R"({"retcode":"0","datacontrol":{"a":{"switch":1}}})",
         Outcome::Stored,
         {{"a", "1"}}},
        {"retcode 00", R"({"retcode":"00","datacontrol":{"a":{"switch":1}}})", Outcome::ServerError, {}},
        {"retcode 1", R"({"retcode":1,"datacontrol":{}})", Outcome::ServerError, {}},
        {"no retcode", R"({"datacontrol":{}})", Outcome::ServerError, {}},
        {"switch values",
         R"({"retcode":0,"datacontrol":{"z":{"switch":0},"n":{"switch":-3},"x":{},"s":{"switch":"3"},"o":5}})",
         Outcome::Stored,
         {{"z", "0"}, {"n", "0"}, {"x", "0"}, {"s", "1"}, {"o", "0"}}},
        {"no datacontrol", R"({"retcode":0})", Outcome::NoDataControl, {}},
        {"empty datacontrol", R"({"retcode":0,"datacontrol":{}})", Outcome::Stored, {}},
        {"array", "[1,2]", Outcome::NotDictionary, {}},
        {"not JSON", "<html>busy</html>", Outcome::NotDictionary, {}},
        {"largest accepted", scheduleWith(bus::kMaxScheduleEntries), Outcome::Stored, {}},
        {"thousands of entries", scheduleWith(5000), Outcome::TooManyEntries, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto reply = bus::parseScheduleReply(c.body);
        EXPECT_EQ(reply.outcome, c.outcome);
        if (c.outcome != Outcome::Stored || c.body.size() > 10000) continue;
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& m : reply.models) got.emplace_back(m.type, m.bEnabled);
        // The reply's key order is kept.
        EXPECT_EQ(got, c.typesEnabled);
    }
    const auto one = bus::parseScheduleReply(
        R"({"retcode":0,"datacontrol":{"qoraccesslog":{"switch":2,"uploadsize":512,"url":"http://s/yj/r"}}})");
    ASSERT_EQ(one.models.size(), 1u);
    EXPECT_EQ(one.models[0], model("qoraccesslog", "1", 512, "http://s/yj/r"));
    EXPECT_FALSE(one.models[0].accumulatetime.has_value());
}

TEST_F(upload_engine, ScheduleArchiveKeepsEveryFieldAndIsNeverMissingWhileReplaced) {
    std::vector<UploadScheduleModel> models{model("default", "0", 0, "http://h:80/yj/report"),
                                            model("macscript", "1", 300, "http://h/yj/s")};
    models[1].accumulatetime = archive::Value(archive::Dictionary{{"hours", 3}});
    models[1].uploadsize = (uint64_t{1} << 63) + 5;  // beyond the signed range
    ASSERT_TRUE(schedule_->writeSchedule(models));
    EXPECT_EQ(schedule_->readSchedule(), models);

    // A report looking up its type while the schedule is replaced finds the old or the new one.
    std::atomic<bool> stop{false};
    std::atomic<int> missing{0}, reads{0};
    std::thread reader([&] {
        while (!stop) {
            if (!schedule_->readSchedule()) ++missing;
            ++reads;
        }
    });
    for (int i = 0; i < 200; ++i) {
        models[0].uploadsize = static_cast<uint64_t>(i);
        ASSERT_TRUE(schedule_->writeSchedule(models));
    }
    while (reads < 50) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_EQ(missing, 0);
}

TEST_F(upload_engine, LookupGatesEveryType) {
    const std::string def = "http://yjhost.example:80/yj/report?from=yj";
    struct Case {
        const char* name;
        std::vector<UploadScheduleModel> schedule;
        std::string type;
        std::optional<std::string> url;
    } cases[] = {
        {"disabled type wins over the default",
         {model("macscript", "0", 0, "http://a/"), model("default", "1", 0, def)},
         "macscript",
         std::nullopt},
        {"first enabled entry of the type",
         {model("macscript", "0", 0, "http://a/"), model("macscript", "1", 0, "http://b/")},
         "macscript",
         "http://b/"},
        {"access logs go to the default with zem for yj",
         {model("default", "1", 0, def)},
         "qoraccesslog",
         "http://yjhost.example:80/zem/report?from=yj"},
        {"other types go to the default unchanged", {model("default", "1", 0, def)}, "macprocesslist", def},
        {"disabled default is still returned", {model("default", "0", 0, def)}, "macprocesslist", def},
        {"no entry and no default",
         {model("macscript", "1", 0, "http://a/")},
         "macprocesslist",
         std::nullopt},
        {"empty schedule", {}, "macscript", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(schedule_->writeSchedule(c.schedule));
        const auto found = reports_->getUploadState(c.type);
        EXPECT_EQ(found ? std::optional(found->url) : std::nullopt, c.url);
    }
    fs::remove(schedule_->settingPath());
    EXPECT_FALSE(reports_->getUploadState("macscript"));
}

TEST(upload_schedule, AccessLogUrlRewritesOnlyThePathSegment) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"http://yj.example.com:8080/yj/report", "http://yj.example.com:8080/zem/report"},
        {"http://h/yjdata/yj/x/yj", "http://h/yjdata/zem/x/zem"},
        {"http://h/a?yj=yj#yj", "http://h/a?yj=yj#yj"},
        {"http://h", "http://h"},
        {"http://h/yj?x=1", "http://h/zem?x=1"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(bus::accessLogUrl(c.in), c.out) << c.in;
}

TEST(upload_schedule, HeadersAreTheTwelveOnOneLineEach) {
    const RequestHead head = bus::reportHeaders(
        {"UUID\r\nX-Evil: 1", "lab-mac\n07", {"aa:bb", "cc:dd"}, {"10.0.0.2", "10.0.0.3"}});
    std::vector<std::string> names;
    for (const auto& [name, value] : head) {
        names.push_back(name);
        EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos) << name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Deviceid", "Location", "Ticket", "Serial", "Count", "Number",
                                               "ZipFlag", "EncryptFlag", "MachineName", "ClientMac",
                                               "ClientIp", "DomainUser"}));
    const std::map<std::string, std::string> byName(head.begin(), head.end());
    EXPECT_EQ(byName.at("Ticket"), "vwqp");
    EXPECT_EQ(byName.at("ZipFlag"), "1");
    EXPECT_EQ(byName.at("ClientMac"), "aa:bb,cc:dd");
    EXPECT_EQ(byName.at("ClientIp"), "10.0.0.2,10.0.0.3");
    EXPECT_EQ(byName.at("DomainUser"), "lab");
    EXPECT_EQ(bus::domainUserOf("nodash"), "nodash");
}

TEST_F(upload_engine, CacheNamesStayDistinctWithinOneSecondAndDecryptUnderTheirKeys) {
    for (const char* body : {"first half", "second half", "third"})
        reports_->saveUploadDataToLocalCache(body, "macprocesslist");
    reports_->saveUploadDataToLocalCache("baseline", "sec-baseline");
    reports_->saveUploadDataToLocalCache("escape", "../../escape");
    const auto names = cacheFiles();
    // 2026-12-10 00:00:00 UTC is 08:00:00 in UTC+8.
    EXPECT_EQ(names, (std::vector<std::string>{"20261210080000-macprocesslist", "20261210080000-sec-baseline",
                                               "20261210080000_1-macprocesslist",
                                               "20261210080000_2-macprocesslist"}));
    EXPECT_FALSE(fs::exists(root_ + "/escape"));
    std::vector<std::string> bodies;
    for (const auto& name : names) {
        const std::string type = DataReportManager::reportTypeOfCacheFile(name);
        const std::string text = readFile(name);
        EXPECT_EQ(text.find("half"), std::string::npos) << "stored in clear: " << name;
        const auto body = UrlEncode::aes256_decrypt(text, DataReportManager::cacheKey(type, name));
        ASSERT_TRUE(body) << name;
        bodies.push_back(*body);
        struct stat st {};
        ASSERT_EQ(::stat((reports_->cacheFolder() + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"first half", "baseline", "second half", "third"}));
    EXPECT_EQ(DataReportManager::cacheKey("macscript", "20261210080000-macscript").size(), 2 * 9 + 16u);
}

TEST_F(upload_engine, UnreadableCacheFilesAreRemovedAndDisabledTypesKept) {
    ASSERT_TRUE(schedule_->writeSchedule({model("macscript", "0", 0, "http://127.0.0.1:9/yj/report")}));
    reports_->saveUploadDataToLocalCache("kept for later", "macscript");
    std::ofstream(reports_->cacheFolder() + "/20261209000000-macprocesslist");  // empty
    std::ofstream(reports_->cacheFolder() + "/20261209000001-macprocesslist") << "bm90IGVuY3J5cHRlZA==\r\n";
    fs::create_symlink("/etc/hostname", reports_->cacheFolder() + "/20261209000002-macprocesslist");
    std::ofstream(reports_->cacheFolder() + "/.hidden-macscript") << "x";
    reports_->reuploadLocalCacheData();
    ASSERT_TRUE(reports_->waitUntilIdle(std::chrono::seconds(30)));
    EXPECT_EQ(cacheFiles(), (std::vector<std::string>{".hidden-macscript", "20261210080000-macscript"}));
}
