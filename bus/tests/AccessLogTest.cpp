// Access-log collection over real files in a temporary folder: field parsing, lines read once
// across passes and restarts, files that shrink, are replaced or rotate, and the position archive.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "tests/support/TempRoot.h"
#include "platform/archive/KeyedArchive.h"
#include "bus/ZemCollectQORLogManager.h"

namespace fs = std::filesystem;
using Record = ZemCollectQORLogManager::Record;

namespace {

std::string fifteen(const std::string& tag) {
    std::string line;
    for (int i = 0; i < 15; ++i) line += std::string(i ? "," : "") + "\"" + tag + std::to_string(i) + "\"";
    return line + "\n";
}

class access_logs : public ::testing::Test {
  protected:
    void SetUp() override {
        temp_.emplace("access-logs");
        dir_ = temp_->path();
        logs_ = dir_ + "/logs";
        archive_ = dir_ + "/qoraccesslog.archive";
        fs::create_directories(logs_);
    }
    void TearDown() override { temp_.reset(); }

    std::unique_ptr<ZemCollectQORLogManager> collector() {
        return std::make_unique<ZemCollectQORLogManager>(
            [this](const std::vector<uint8_t>& data) {
                auto parsed = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
                ASSERT_TRUE(parsed.is_array());
                handed_.push_back(parsed);
            },
            archive_, logs_);
    }
    void append(const std::string& name, const std::string& text) {
        std::ofstream(logs_ + "/" + name, std::ios::app) << text;
    }
    // The access_time values of each hand-over since the last call.
    std::vector<std::vector<std::string>> takeHanded() {
        std::vector<std::vector<std::string>> out;
        for (const auto& array : handed_) {
            out.emplace_back();
            for (const auto& record : array) out.back().push_back(record.value("access_time", "<none>"));
        }
        handed_.clear();
        return out;
    }

    std::optional<testsupport::TempFolder> temp_;
    std::string dir_, logs_, archive_;
    std::vector<nlohmann::json> handed_;
};

using Lines = std::vector<std::vector<std::string>>;

}  // namespace

TEST(access_log_line, FieldsMapByPositionWithQuotesAndCommasInside) {
    struct Case {
        std::string line;
        Record expected;
    } cases[] = {
        {fifteen("f"),
         {{"access_time", "f0"},
          {"machine_name", "f1"},
          {"procname", "f2"},
          {"pid", "f3"},
          {"src_port", "f4"},
          {"agent_port", "f5"},
          {"local_ip", "f6"},
          {"dest_ip", "f7"},
          {"dest_port", "f8"},
          {"request_method", "f9"},
          {"request_url", "f10"},
          {"request_referer", "f11"},
          {"user-agent", "f12"},
          {"traceid", "f13"},
          {"current_user", "f14"},
          {"category", "qoraccesslog"}}},
        // A comma inside a quoted field, a doubled quote for a quote, and "," inside a field.
        {R"("2026-12-11 08:00:00","host,one","say ""hi""","a"",""b")"
         "\r\n",
         {{"access_time", "2026-12-11 08:00:00"},
          {"machine_name", "host,one"},
          {"procname", "say \"hi\""},
          {"pid", "a\",\"b"},
          {"category", "qoraccesslog"}}},
        // Fewer fields: only their keys; the last line of a file may lack its newline.
        {R"("t","m")", {{"access_time", "t"}, {"machine_name", "m"}, {"category", "qoraccesslog"}}},
        // Empty and unquoted fields keep their places.
        {R"("t",,42,"")"
         "\n",
         {{"access_time", "t"},
          {"machine_name", ""},
          {"procname", "42"},
          {"pid", ""},
          {"category", "qoraccesslog"}}},
        // An unterminated quote takes the rest of the line.
        {R"("t","open,end)"
         "\n",
         {{"access_time", "t"}, {"machine_name", "open,end"}, {"category", "qoraccesslog"}}},
        {"\n", {{"category", "qoraccesslog"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(ZemCollectQORLogManager::parseStrToDic(c.line), c.expected);
    }
    // Fields after the fifteenth are ignored.
    const Record longer =
        ZemCollectQORLogManager::parseStrToDic(fifteen("x").substr(0, 15 * 5) + ",\"extra\"\n");
    EXPECT_EQ(longer.size(), 16u);
}

TEST_F(access_logs, LinesAreReadOnceAcrossPassesAndRestarts) {
    append("nimbrel_access.log", fifteen("a") + fifteen("b"));
    collector()->CheckfilesInfo();
    EXPECT_EQ(takeHanded(), (Lines{{"a0", "b0"}}));

    auto running = collector();
    running->CheckfilesInfo();
    EXPECT_EQ(takeHanded(), Lines{}) << "nothing new";
    // Lines added within the same second as the last read are still found: the file grew.
    append("nimbrel_access.log", fifteen("c"));
    running->CheckfilesInfo();
    EXPECT_EQ(takeHanded(), (Lines{{"c0"}}));
    running.reset();

    // A restart reads on from the archived offset.
    append("nimbrel_access.log", fifteen("d"));
    collector()->CheckfilesInfo();
    EXPECT_EQ(takeHanded(), (Lines{{"d0"}}));

    const auto decoded = archive::unarchiveObjectWithFile(archive_, {"ZemQORFileInfoMode"});
    ASSERT_TRUE(decoded) << decoded.error;
    ASSERT_EQ(decoded.value->array()->size(), 1u);
    const auto* object = (*decoded.value->array())[0].object();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(*object->fields.at("fileName").string(), "nimbrel_access.log");
    EXPECT_EQ(*object->fields.at("fileCurrentOffset").integer(),
              static_cast<int64_t>(fs::file_size(logs_ + "/nimbrel_access.log")));
    EXPECT_EQ(object->fields.at("fileModifyTime").string()->size(), 19u);
}

TEST_F(access_logs, ShrunkOrReplacedFileIsReadFromItsStart) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> change;
        Lines expected;
    } cases[] = {
        {"truncated and rewritten shorter",
         [](const std::string& path) { std::ofstream(path, std::ios::trunc) << fifteen("n"); },
         {{"n0"}}},
        {"replaced by a new file as long as the old",
         [](const std::string& path) {
             std::ofstream(path + ".new") << fifteen("p") << fifteen("q") << fifteen("r");
             fs::rename(path + ".new", path);
         },
         {{"p0", "q0", "r0"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(logs_);
        fs::create_directories(logs_);
        fs::remove(archive_);
        append("nimbrel_access.log", fifteen("o") + fifteen("o2"));
        collector()->CheckfilesInfo();
        takeHanded();
        c.change(logs_ + "/nimbrel_access.log");
        collector()->CheckfilesInfo();
        EXPECT_EQ(takeHanded(), c.expected);
    }
}

TEST_F(access_logs, OpenLastLineIsOneRecordAndWhatFollowsStartsAnother) {
    append("nimbrel_access.log", fifteen("a") + "\"half\",\"line\"");
    auto c = collector();
    c->CheckfilesInfo();
    EXPECT_EQ(takeHanded(), (Lines{{"a0", "half"}}));
    append("nimbrel_access.log", ",\"rest\"\n" + fifteen("b"));
    c->CheckfilesInfo();
    // The rest starts with an empty field before its comma.
    EXPECT_EQ(takeHanded(), (Lines{{"", "b0"}}));
}

TEST_F(access_logs, EachChangedFileIsOneHandOverAndOnlyAccessLogsCount) {
    append("nimbrel_access.log", fifteen("a"));
    append("nimbrel_access.log.1", fifteen("r"));
    append("nimbrel_error.log", fifteen("e"));
    // A link is not followed, even when its name matches.
    fs::create_symlink(logs_ + "/nimbrel_error.log", logs_ + "/link_nimbrel_access.log");
    collector()->CheckfilesInfo();
    auto handed = takeHanded();
    std::sort(handed.begin(), handed.end());
    EXPECT_EQ(handed, (Lines{{"a0"}, {"r0"}}));
}

TEST_F(access_logs, MissingFolderOrArchiveOfAnotherShapeReadsNothingAndStartsEmpty) {
    ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Value("not a list"), archive_));
    fs::remove_all(logs_);
    auto c = collector();
    c->CheckfilesInfo();
    EXPECT_TRUE(c->filesArr().empty());
    EXPECT_EQ(takeHanded(), Lines{});
}

TEST_F(access_logs, ALargeBacklogIsHandedOverInBoundedParts) {
    std::string backlog;
    const std::string line = fifteen("x");
    const size_t lines = ZemCollectQORLogManager::kMaxBytesPerPass / line.size() + 10;
    for (size_t i = 0; i < lines; ++i) backlog += line;
    append("nimbrel_access.log", backlog);
    auto c = collector();
    c->CheckfilesInfo();
    c->CheckfilesInfo();
    c->CheckfilesInfo();
    const auto handed = takeHanded();
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[0].size() + handed[1].size(), lines);
}

TEST_F(access_logs, WithoutAReceiverNothingIsReadSoNoLineIsLost) {
    append("nimbrel_access.log", fifteen("a"));
    ZemCollectQORLogManager unwired(nullptr, archive_, logs_);
    unwired.CheckfilesInfo();
    EXPECT_TRUE(unwired.filesArr().empty());
    unwired.setUploadFunction([this](const std::vector<uint8_t>& data) {
        handed_.push_back(nlohmann::json::parse(data.begin(), data.end()));
    });
    unwired.CheckfilesInfo();
    EXPECT_EQ(takeHanded(), (Lines{{"a0"}}));
}
