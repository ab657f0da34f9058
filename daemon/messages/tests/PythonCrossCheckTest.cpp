// Our encoded requests decoded by the test server's own Python code, and replies the Python side
// encodes parsed by our reply classes: an encoding fault on one side is not mirrored by the other.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "MessagesTestSupport.h"
#include "common/command/ZemCMDManager.h"
#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "daemon/messages/ZemModel.h"
#include "daemon/messages/ZemRequests.h"
#include "daemon/messages/ZemResponses.h"
#include "framework/process/TaskHelper.h"
#include "proto/ZemUrlEncode.h"

using recordstest::addNetInterface;
using recordstest::TempRoot;
using recordstest::writeFile;
using calix::TaskHelper;
using zem::ZemRequest;
using zem::ZemUrlEncode;
using common::ITDevice;
using common::LogCoreHelper;
using common::NetworkCardInfoManager;
using common::ZemCMDManager;
using common::ZemCMDModel;
using hollin::ZemCommPoliceIDResponse;
using hollin::ZemConfigGetResponse;
using hollin::ZemHeartBeatRequest;
using hollin::ZemHeartBeatResponse;
using hollin::ZemModel;
using hollin::ZemPoliceContentRequest;
using hollin::ZemReportMachineInfoRequest;
using hollin::ZemRequestSources;
using hollin::ZemUpdateResponse;

namespace {

// Runs the test server's helper mode; the standard output, or "" with a test failure.
std::string runServerHelper(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ZEM_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    ErrorValue error;
    auto handle = TaskHelper::sharedInstance().excuteTaskPath(RAVAVIZA_PYTHON, argv, std::chrono::seconds(30),
                                                              &out, &error);
    EXPECT_TRUE(handle.has_value());
    EXPECT_EQ(error.failureReason, "");
    return out;
}

class serverlink_messages_PythonCrossCheck : public ::testing::Test {
  protected:
    void TearDown() override { LogCoreHelper::sharedInstance().flush(); }

    ZemRequestSources sources() {
        return {.device = &device_, .commands = &commands_, .status = &status_, .cards = &cards_};
    }

    // The server's record of what it decoded from our POST body.
    nlohmann::json decodedByServer(ZemRequest& request) {
        request.generateMsgHead();
        request.generateMsgBody();
        EXPECT_TRUE(request.buildData());
        std::string path = root_.at("/body.txt");
        writeFile(path, ZemUrlEncode::urlencodWithData(request.data()));
        std::string out = runServerHelper({"--decode", path});
        return nlohmann::json::parse(out, nullptr, false);
    }

    // The reply body the server gives for the action under the script.
    std::vector<uint8_t> replyFromServer(int action, const nlohmann::json& script) {
        std::string path = root_.at("/script.json");
        writeFile(path, script.dump());
        std::string text = runServerHelper({"--reply", std::to_string(action), "--script", path});
        size_t len = 0;
        std::vector<uint8_t> bytes = ZemUrlEncode::urldecode(text, &len);
        EXPECT_EQ(len, bytes.size());
        return bytes;
    }

    TempRoot root_;
    std::vector<sysinfo::InterfaceAddress> addresses_;
    ITDevice device_{[this] { return addresses_; }};
    NetworkCardInfoManager cards_{[this] { return addresses_; }};
    ZemCMDManager commands_{root_.at("/cmd.archive")};
    ZemModel status_;
};

}  // namespace

TEST_F(serverlink_messages_PythonCrossCheck, ServerDecodesOurHeartbeatAndPolicyRequests) {
    messagestest::setClientVersion("5.2.1.3");
    addNetInterface(root_, "eth0", 2, "08:00:27:aa:bb:cc", true);
    addresses_ = {messagestest::ipv4("eth0", "10.0.0.5")};
    commands_.updateMemoryCmdModel(ZemCMDModel::initWithRsp(5, (int64_t{1} << 33) + 7, 0));
    commands_.waitForPendingChanges();

    ZemHeartBeatRequest heartbeat(sources());
    nlohmann::json record = decodedByServer(heartbeat);
    ASSERT_TRUE(record.is_object()) << record;
    EXPECT_EQ(record["action"], 1000);
    EXPECT_EQ(record["extensions"], nlohmann::json::array({"heartbeatMsgReqBody"}));
    EXPECT_EQ(record["head"]["zemVer"], "5.2.1.3");
    EXPECT_EQ(record["head"]["majorVersion"], 5);
    EXPECT_EQ(record["head"]["buildVersion"], 3);
    EXPECT_EQ(record["head"]["deviceMac"], "080027AABBCC");
    EXPECT_EQ(record["head"]["clientip"], "10.0.0.5");
    const auto& items = record["body"]["reqItemsArray"];
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[4]["cmdType"], 5);
    EXPECT_EQ(items[4]["lastSeq"], "8589934599");  // 64-bit values travel as JSON text

    ZemPoliceContentRequest contents(sources());
    archive::Array ids{archive::Value((int64_t{1} << 32) + 5), archive::Value(int64_t{3})};
    contents.setUserInfo(archive::Dictionary{{"policyId", archive::Value(ids)}});
    record = decodedByServer(contents);
    EXPECT_EQ(record["action"], 5002);
    EXPECT_EQ(record["body"]["reqPolicyIdArray"], nlohmann::json::array({"4294967301", "3"}));

    ZemReportMachineInfoRequest machine(sources());
    record = decodedByServer(machine);
    EXPECT_EQ(record["body"]["reqItemsArray"][0]["valueItemsArray"][1],
              (nlohmann::json{{"key", 2}, {"value", "0"}}));
}

TEST_F(serverlink_messages_PythonCrossCheck, OurRepliesClassesParseWhatTheServerEncodes) {
    const nlohmann::json script = {
        {"commands",
         {{{"cmdType", 5}, {"cmdSeq", 4294967301LL}, {"deadline", 0}},
          {{"cmdType", 1}, {"cmdSeq", -1}, {"deadline", 1700000000}}}},
        {"userTicket", "TGT-5"},
        {"ticketState", 2},
        {"policies", {{{"id", 4294967301LL}, {"version", 2}, {"content", {{"module", "m"}}}}}},
        {"config", {{{"type", 7}, {"value", "90"}}}},
        {"upgrade", {{"upType", 1}, {"updateURL", "http://127.0.0.1/p.deb"}, {"md5", "ab%+ cd"}}},
    };

    ZemHeartBeatResponse heartbeat(replyFromServer(1000, script));
    ASSERT_TRUE(heartbeat.parseData());
    const auto* beat = dynamic_cast<const HeartbeatMsgRsp*>(heartbeat.responseMsg());
    ASSERT_NE(beat, nullptr);
    ASSERT_EQ(beat->reqitemsarray_size(), 2);
    EXPECT_EQ(beat->reqitemsarray(0).cmdseq(), 4294967301LL);
    EXPECT_EQ(beat->reqitemsarray(1).cmdseq(), -1);
    EXPECT_EQ(beat->reqitemsarray(1).deadline(), 1700000000);
    EXPECT_EQ(beat->userticket(), "TGT-5");
    EXPECT_EQ(beat->ticketstate(), 2);

    ZemCommPoliceIDResponse ids(replyFromServer(5001, script));
    ASSERT_TRUE(ids.parseData());
    const auto* list = dynamic_cast<const PolicyIDGetMsgRsp*>(ids.responseMsg());
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->rspitemsarray_size(), 1);
    EXPECT_EQ(list->rspitemsarray(0).id_p(), 4294967301LL);

    ZemConfigGetResponse config(replyFromServer(6000, script));
    ASSERT_TRUE(config.parseData());
    const auto* items = dynamic_cast<const ConfigGetMsgRsp*>(config.responseMsg());
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(items->configitemsarray(0).value(), "90");

    ZemUpdateResponse update(replyFromServer(2000, script));
    ASSERT_TRUE(update.parseData());
    const auto* order = dynamic_cast<const UpdateMsgRsp*>(update.responseMsg());
    ASSERT_NE(order, nullptr);
    EXPECT_EQ(order->md5(), "ab%+ cd");

    nlohmann::json withoutExtension = script;
    withoutExtension["replies"] = {{"5001", {{{"noExtension", true}}}}, {"1000", {{{"noExtension", true}}}}};
    ZemCommPoliceIDResponse bareIds(replyFromServer(5001, withoutExtension));
    EXPECT_TRUE(bareIds.parseData());
    EXPECT_EQ(bareIds.responseMsg(), nullptr);
    ZemHeartBeatResponse bareBeat(replyFromServer(1000, withoutExtension));
    EXPECT_FALSE(bareBeat.parseData());
}
