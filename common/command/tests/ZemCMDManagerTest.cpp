#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/archive/KeyedArchive.h"
#include "common/command/ZemCMDManager.h"
#include "common/logger/LogSink.h"
#include "tests/support/TempRoot.h"

using common::ZemCMDManager;
using common::ZemCMDModel;
using common::flushProcessLog;

namespace fs = std::filesystem;

namespace {

class CmdStore : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$/cmd.archive").string();
    }
    void TearDown() override {
        // The shared logger may still be writing into the temporary root.
        flushProcessLog();
    }
    static ZemCMDModel command(int64_t type, int64_t seq) { return ZemCMDModel::initWithRsp(type, seq, 0); }
    static int64_t seqOf(ZemCMDManager& store, int64_t type) {
        for (const auto& m : store.localCMDModels()) {
            if (m.cmd_type == type) return m.curr_seq;
        }
        return -100;
    }

    testsupport::TempRoot tempRoot_{"rav-cmd"};
    fs::path root_ = tempRoot_.path();
    std::string path_;
};

TEST_F(CmdStore, FreshStoreHasEightTypesAtZeroInTheProductRoot) {
    ZemCMDManager store;
    EXPECT_EQ(store.archivePath(), path_);
    auto models = store.localCMDModels();
    ASSERT_EQ(models.size(), 8u);
    for (size_t i = 0; i < models.size(); ++i) {
        EXPECT_EQ(models[i].cmd_type, static_cast<int64_t>(i + 1));
        EXPECT_EQ(models[i].curr_seq, 0);
        EXPECT_EQ(models[i].last_seq, 0);
    }
    EXPECT_EQ(store.getFirePolicySeq(), 0);
    EXPECT_FALSE(store.checkCmdValidation(command(9, 5)));  // a type the store does not hold
}

TEST_F(CmdStore, NewCommandRuleStoreAndRollBack) {
    ZemCMDManager store;
    store.updateMemoryCmdModel(command(5, 7));
    struct Check {
        int64_t seq;
        bool isNew;
    } checks[] = {{8, true}, {7, false}, {6, false}, {-1, false}};
    for (const auto& c : checks) EXPECT_EQ(store.checkCmdValidation(command(5, c.seq)), c.isNew) << c.seq;

    store.updateMemoryCmdModel(command(5, 8));
    store.waitForPendingChanges();
    auto m = store.localCMDModels()[4];
    EXPECT_EQ(m.curr_seq, 8);
    EXPECT_EQ(m.last_seq, 7);

    store.reverseCMDSeq(command(5, 999));  // only the type is read
    store.waitForPendingChanges();
    EXPECT_EQ(seqOf(store, 5), 7);
    store.reverseCMDSeq(command(5, 0));
    store.waitForPendingChanges();
    EXPECT_EQ(seqOf(store, 5), 7);
    EXPECT_TRUE(store.checkCmdValidation(command(5, 8)));  // the command is seen again
}

TEST_F(CmdStore, SequencesSurviveARestart) {
    {
        ZemCMDManager store;
        store.updateMemoryCmdModel(command(2, 41));
        store.updateMemoryCmdModel(command(1, 3));
        store.reverseCMDSeq(command(1, 0));
        store.waitForPendingChanges();
    }
    ZemCMDManager again;
    EXPECT_EQ(again.getFirePolicySeq(), 41);
    EXPECT_EQ(seqOf(again, 1), 0);
    auto decoded = archive::unarchiveObjectWithFile(path_, {"ZemCMDModel"});
    ASSERT_TRUE(decoded) << decoded.error;
    ASSERT_EQ(decoded.value->array()->size(), 8u);
    const archive::Object* second = (*decoded.value->array())[1].object();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->className, "ZemCMDModel");
    EXPECT_EQ(*second->fields.at("curr_seq").integer(), 41);
    EXPECT_EQ(*second->fields.at("isUpgrade").boolean(), true);
}

TEST_F(CmdStore, DamagedArchiveGivesFreshModelsAndIsReplacedAtTheNextWrite) {
    archive::Array seven;
    for (int t = 1; t <= 7; ++t) {
        ZemCMDModel m;
        m.cmd_type = t;
        m.curr_seq = 50;
        seven.emplace_back(m.encode());
    }
    archive::Array wrongClass(8, archive::Value(archive::Object{"NotACommand", {}}));
    // Eight entries, but not one of each type: types 2 to 8 would be ignored for good.
    archive::Array allTypeOne;
    archive::Array typeTwiceNoEight = seven;
    for (int i = 0; i < 8; ++i) {
        ZemCMDModel m;
        m.cmd_type = 1;
        allTypeOne.emplace_back(m.encode());
    }
    {
        ZemCMDModel m;
        m.cmd_type = 2;
        typeTwiceNoEight.emplace_back(m.encode());
    }
    struct Case {
        const char* what;
        std::function<void()> write;
    } cases[] = {
        {"garbage", [&] { std::ofstream(path_) << "garbage that is no archive"; }},
        {"truncated",
         [&] {
             archive::Array eight = seven;
             eight.emplace_back(ZemCMDModel{}.encode());
             auto bytes = archive::archivedData(eight).value();
             bytes.resize(bytes.size() / 2);
             std::ofstream(path_, std::ios::binary)
                 .write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()));
         }},
        {"seven entries", [&] { ASSERT_TRUE(archive::archiveRootObjectToFile(seven, path_)); }},
        {"not an array",
         [&] {
             ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Dictionary{{"a", 1}}, path_));
         }},
        {"wrong class", [&] { ASSERT_TRUE(archive::archiveRootObjectToFile(wrongClass, path_)); }},
        {"eight of type 1", [&] { ASSERT_TRUE(archive::archiveRootObjectToFile(allTypeOne, path_)); }},
        {"type 2 twice, no type 8",
         [&] { ASSERT_TRUE(archive::archiveRootObjectToFile(typeTwiceNoEight, path_)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::create_directories(fs::path(path_).parent_path());
        c.write();
        ZemCMDManager store;
        EXPECT_EQ(seqOf(store, 3), 0);
        auto models = store.localCMDModels();
        ASSERT_EQ(models.size(), 8u);
        for (size_t i = 0; i < models.size(); ++i) EXPECT_EQ(models[i].cmd_type, static_cast<int64_t>(i + 1));
        EXPECT_TRUE(store.checkCmdValidation(command(8, 1)));
        store.updateMemoryCmdModel(command(3, 9));
        store.waitForPendingChanges();
        auto reread = store.localCmds();
        ASSERT_TRUE(reread.has_value());
        EXPECT_EQ(reread->size(), 8u);
        EXPECT_EQ((*reread)[2].curr_seq, 9);
    }
}

TEST_F(CmdStore, AFailedWriteIsReportedAndMemoryStaysInForce) {
    // A folder standing where the archive belongs cannot be replaced by the file.
    const std::string blocked = (root_ / "blocked.archive").string();
    fs::create_directories(fs::path(blocked) / "inside");
    ZemCMDManager store(blocked);
    EXPECT_FALSE(store.updateCMDModelOfLocal());
    store.updateMemoryCmdModel(command(4, 12));
    store.waitForPendingChanges();
    EXPECT_EQ(seqOf(store, 4), 12);
    EXPECT_TRUE(fs::is_directory(blocked));

    ZemCMDManager writable((root_ / "ok.archive").string());
    EXPECT_TRUE(writable.updateCMDModelOfLocal());
}

}  // namespace
