// The fixture of the in-process link tests: one temporary root for the whole test process (the
// logger fixes its paths at first use), a fresh folder, configuration and command store per test,
// a manual clock, and links that the test ticks itself.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LinkTestSupport.h"
#include "tests/support/TempRoot.h"
#include "platform/archive/KeyedArchive.h"
#include "common/command/ZemCMDManager.h"
#include "platform/dispatch/Clock.h"
#include "daemon/link/ZemLinkContext.h"
#include "daemon/link/ZemSocketManager.h"
#include "daemon/link/ZemSocketReadManager.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "common/server/ZemNetworkInfoModel.h"
#include "common/server/ZemServerConfig.h"

namespace linktest {

// Created on first use, removed when the process ends.
inline const std::string& processRoot() {
    struct Root : testsupport::TempRoot {
        Root() : TempRoot("serverlink-link") { testsupport::clearProxyEnvironment(); }
    };
    static const Root root;
    return root.path();
}

class LinkFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string& root = processRoot();
        ASSERT_FALSE(root.empty());
        std::error_code ec;
        std::filesystem::remove_all(paths::machineSupportFolder(), ec);
        std::filesystem::create_directories(paths::machineSupportFolder());
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = root + "/cases/" + info->test_suite_name() + "." + info->name();
        std::filesystem::remove_all(folder_, ec);
        std::filesystem::create_directories(folder_);
        commands_ = std::make_unique<common::ZemCMDManager>(folder_ + "/cmd.archive");
        freshConfig();
    }

    void TearDown() override {
        for (auto& link : links_) {
            link->invalidate();
            link->readSocketManager().waitForPendingReads(std::chrono::seconds(10));
        }
        links_.clear();
        commands_->waitForPendingChanges();
        common::LogCoreHelper::sharedInstance().flush();
    }

    // A configuration object that has read nothing yet (it reads .ZemConfig only once).
    void freshConfig() {
        config_ = std::make_unique<common::ZemServerConfig>();
        config_->setServerRecordWriter(true);
    }

    hollin::ZemLinkContext context() {
        hollin::ZemLinkContext c;
        c.clock = &clock_;
        c.serverConfig = config_.get();
        c.cmdManager = commands_.get();
        c.startWriteTimer = false;
        c.networkChangeDelay = std::chrono::milliseconds(0);
        return c;
    }

    // .ZemConfig naming loopback servers: the first is the intranet, the second the extranet.
    static void configure(const std::vector<int>& ports) {
        archive::Array entries;
        for (int port : ports) entries.push_back(archive::Array{"127.0.0.1", std::to_string(port)});
        ASSERT_TRUE(archive::archiveRootObjectToFile(entries, paths::serverConfigFile()));
    }

    // The round robin walks the list of all servers (intranet, then extranet).
    static void walkAllServers() {
        common::ZemNetworkInfoModel record;
        record.networkType = 2;
        ASSERT_TRUE(record.saveModelRecord());
    }

    // A link pointed at the first server of the round robin, as the core creates it.
    std::shared_ptr<hollin::ZemSocketManager> connectLink(hollin::ZemLinkContext c) {
        config_->readServerConfig();
        const std::string first = config_->updateLoopServers();
        auto link = std::make_shared<hollin::ZemSocketManager>(std::move(c));
        link->init();
        const size_t colon = first.find(':');
        link->startConnectToHost(first.substr(0, colon), std::stoll(first.substr(colon + 1)));
        links_.push_back(link);
        return link;
    }
    std::shared_ptr<hollin::ZemSocketManager> connectLink() { return connectLink(context()); }

    hollin::ZemSocketMessagePtr record(uint64_t reqTag, bool isCmdSend = false, std::string body = "body") {
        auto r = hollin::ZemSocketMessageModel::create(reqTag, std::vector<uint8_t>(body.begin(), body.end()),
                                               clock_.now());
        r->isCmdSend = isCmdSend;
        return r;
    }

    // Command type 5 carried out at sequence 8 after 7: a roll-back returns it to 7.
    void storePolicyCommandAt8() {
        for (int64_t seq : {7, 8}) {
            common::ZemCMDModel m;
            m.cmd_type = 5;
            m.curr_seq = seq;
            commands_->updateMemoryCmdModel(m);
        }
        commands_->waitForPendingChanges();
    }
    int64_t storedSeq(int64_t type) {
        commands_->waitForPendingChanges();
        auto stored = commands_->localCmds();
        if (!stored) return -1;
        for (const common::ZemCMDModel& m : *stored)
            if (m.cmd_type == type) return m.curr_seq;
        return -1;
    }

    static std::string logText() {
        common::LogCoreHelper::sharedInstance().flush();
        std::string all;
        for (const char* name : {"Hollin-Info-1.log", "Hollin-Info-2.log", "Hollin-Info-3.log"})
            all += readText(paths::daemonLogsFolder() + "/" + name);
        return all;
    }

    static size_t logMark() { return logText().size(); }
    static std::string logSince(size_t mark) {
        const std::string all = logText();
        return all.substr(std::min(mark, all.size()));
    }
    static size_t countSince(size_t mark, const std::string& text) {
        const std::string log = logSince(mark);
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

    static std::optional<common::ZemNetworkInfoModel> lastGoodServer() {
        return common::ZemNetworkInfoModel::currentNetRecord();
    }

    static int32_t statusOf(const std::shared_ptr<hollin::ZemSocketManager>& link, const hollin::ZemSocketMessagePtr& r) {
        for (const auto& q : link->reqModels())
            if (q == r) return q->sendStatus;
        return 99;  // not queued
    }

    dispatch::ManualClock clock_;
    std::string folder_;
    std::unique_ptr<common::ZemCMDManager> commands_;
    std::unique_ptr<common::ZemServerConfig> config_;
    std::vector<std::shared_ptr<hollin::ZemSocketManager>> links_;
};

}  // namespace linktest
