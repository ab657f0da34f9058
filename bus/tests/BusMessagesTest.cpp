// The policy-state request as it goes on the wire: head fields from the device facts, each state
// converted, header lines that cannot carry a second header, and the reply's parse.
#include <gtest/gtest.h>

#include "bus/ZemBusCore.h"
#include "bus/ZemBusMessages.h"
#include "proto/ZemUrlEncode.h"

using archive::Array;
using archive::Dictionary;
using archive::Value;
using zem::ZemUrlEncode;

namespace {

ZemV5Root builtRoot(const bus::HeadFacts& facts, const Dictionary& userInfo) {
    ZemPoliceStatusRequest request(facts);
    request.setUserInfo(userInfo);
    request.generateMsgHead();
    request.generateMsgBody();
    EXPECT_TRUE(request.buildData());
    ZemV5Root root;
    EXPECT_TRUE(root.ParseFromString(request.data()));
    return root;
}

}  // namespace

TEST(report_messages, RunStateMapsToStatus) {
    struct Case {
        const char* name;
        std::optional<Value> runState;
        int32_t status;
    } cases[] = {
        {"text 0", Value("0"), 1},     {"text 1", Value("1"), 100},       {"number 2", Value(2), 101},
        {"text 3", Value("3"), 102},   {"text 7", Value("7"), 1},         {"absent", std::nullopt, 1},
        {"real 3.0", Value(3.0), 102}, {"text 2 padded", Value(" 2"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(bus::statusFromRunState(c.runState ? &*c.runState : nullptr), c.status);
    }
}

TEST(report_messages, HeadCarriesVersionPartsAddressesAndAction) {
    struct Case {
        std::string version;
        std::vector<std::string> macs, ips;
        bool parts;
        int32_t major, minor, ext, build;
        std::optional<std::string> mac, ip;
    } cases[] = {
        {"5.2.1.300", {"aa:bb", "cc:dd"}, {"10.0.0.2"}, true, 5, 2, 1, 300, "aa:bb;cc:dd", "10.0.0.2"},
        {"5.2.1", {}, {}, false, 0, 0, 0, 0, std::nullopt, std::nullopt},
        {"5.2.1.300.9", {"m"}, {"1.2.3.4", "5.6.7.8"}, false, 0, 0, 0, 0, "m", "1.2.3.4;5.6.7.8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        const ZemV5Root root = builtRoot({c.version, c.macs, c.ips}, {});
        const Head& head = root.msghead();
        EXPECT_EQ(head.action(), 8200);
        EXPECT_EQ(head.zemver(), c.version);
        EXPECT_EQ(head.has_majorversion(), c.parts);
        EXPECT_EQ(head.has_buildversion(), c.parts);
        EXPECT_EQ(head.majorversion(), c.major);
        EXPECT_EQ(head.minorversion(), c.minor);
        EXPECT_EQ(head.externversion(), c.ext);
        EXPECT_EQ(head.buildversion(), c.build);
        EXPECT_EQ(head.has_devicemac(), c.mac.has_value());
        if (c.mac) {
            EXPECT_EQ(head.devicemac(), *c.mac);
        }
        EXPECT_EQ(head.has_clientip(), c.ip.has_value());
        if (c.ip) {
            EXPECT_EQ(head.clientip(), *c.ip);
        }
    }
}

TEST(report_messages, BodyConvertsDictionariesInOrderAndSkipsTheRest) {
    Array states{
        Dictionary{{"policyId", "12"},
                   {"policyVersion", 3},
                   {"runState", "1"},
                   {"lastTimeStamp", "1970-01-02 08:00:00"}},
        Value("not a state"),
        Dictionary{{"policyId", 7}, {"runState", 2}},
        Dictionary{{"policyId", 8}, {"lastTimeStamp", "garbage"}},
    };
    const ZemV5Root root = builtRoot({"5.0.0.1", {}, {}}, {{"userInfo", states}});
    ASSERT_TRUE(root.reqmsgbody().HasExtension(ZemV5Root::policyStatReptMsgReqBody));
    const auto& report = root.reqmsgbody().GetExtension(ZemV5Root::policyStatReptMsgReqBody);
    ASSERT_EQ(report.policystatinfoarray_size(), 3);
    const auto& first = report.policystatinfoarray(0);
    EXPECT_EQ(first.policyid(), 12);
    EXPECT_EQ(first.policyversion(), 3);
    EXPECT_EQ(first.status(), 100);
    // UTC+8 wall-clock text: 08:00 on 2 January there is midnight UTC, one day after 1970.
    EXPECT_EQ(first.timestamp(), 86400u);
    EXPECT_EQ(report.policystatinfoarray(1).policyid(), 7);
    EXPECT_EQ(report.policystatinfoarray(1).status(), 101);
    EXPECT_EQ(report.policystatinfoarray(1).timestamp(), 0u);
    EXPECT_EQ(report.policystatinfoarray(2).timestamp(), 0u);
}

TEST(report_messages, MissingOrWrongUserInfoSendsAnEmptyReport) {
    for (const Dictionary& info : {Dictionary{}, Dictionary{{"userInfo", "text"}}}) {
        const ZemV5Root root = builtRoot({"5.0.0.1", {}, {}}, info);
        ASSERT_TRUE(root.reqmsgbody().HasExtension(ZemV5Root::policyStatReptMsgReqBody));
        EXPECT_EQ(
            root.reqmsgbody().GetExtension(ZemV5Root::policyStatReptMsgReqBody).policystatinfoarray_size(),
            0);
    }
}

TEST(report_messages, HeaderLinesRefuseLineBreaks) {
    struct Case {
        std::string name, value;
        bool ok;
    } cases[] = {
        {"Urlencode", "1", true},
        {"Content-Type", "a\r\nX-Injected: 1", false},
        {"Content-Type", "a\nb", false},
        {"Content-Type", "a\rb", false},
        {"Content-Type", std::string("a\0b", 3), false},
        {"X\r\nY", "1", false},
        {"Bad Name", "1", false},
        {"Bad:Name", "1", false},
        {"", "1", false},
        {"ClientMac", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + "|" + c.value);
        const auto line = bus::headerLine(c.name, c.value);
        EXPECT_EQ(line.has_value(), c.ok);
        if (line) {
            EXPECT_EQ(*line, c.value.empty() ? c.name + ";" : c.name + ": " + c.value);
        }
    }
    EXPECT_EQ(ZemBusCore::requestHeaders(42),
              (std::vector<std::string>{"Urlencode: 1", "Content-Length: 42",
                                        "Content-Type: application/x-www-form-urlencoded"}));
}

TEST(report_messages, ReplyParseSucceedsOnlyWithTheExtension) {
    auto encoded = [](const ZemV5Root& root) {
        const std::string text = ZemUrlEncode::urlencodWithData(root.SerializeAsString());
        return std::vector<uint8_t>(text.begin(), text.end());
    };
    ZemV5Root good;
    good.mutable_msghead()->set_action(8200);
    good.mutable_msgrspbody()->MutableExtension(ZemV5Root::policyStatReptMsgRspBody);
    ZemV5Root noExtension;
    noExtension.mutable_msghead()->set_action(8200);
    noExtension.mutable_msgrspbody();
    const std::string garbageText = "%ZZnot a message";
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        int32_t type;
        bool ok;
    } cases[] = {
        {"reply with extension", encoded(good), 8200, true},
        {"reply without extension", encoded(noExtension), 8200, false},
        {"empty", {}, 8200, false},
        {"garbage", std::vector<uint8_t>(garbageText.begin(), garbageText.end()), 8200, false},
        {"other type", encoded(good), 1234, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        bool success = false;
        std::shared_ptr<const google::protobuf::Message> reply;
        ZemBusCore::parseResponseData(c.data, c.type, [&](bool ok, auto message, std::string) {
            ++calls;
            success = ok;
            reply = message;
        });
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(success, c.ok);
        EXPECT_EQ(reply != nullptr, c.ok);
    }
}
