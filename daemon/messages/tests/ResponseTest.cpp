#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daemon/messages/ZemModel.h"
#include "daemon/messages/ZemResponses.h"

using zem::ZemResponse;
using hollin::ZemCommPoliceIDResponse;
using hollin::ZemConfigGetResponse;
using hollin::ZemFirePolicyResponse;
using hollin::ZemGetNetTypeResponse;
using hollin::ZemHeartBeatExtResponse;
using hollin::ZemHeartBeatResponse;
using hollin::ZemModel;
using hollin::ZemNetworkLocationResponse;
using hollin::ZemPoliceContentResponse;
using hollin::ZemReportMachineInfoResponse;
using hollin::ZemUpdateResponse;

namespace {

using Bytes = std::vector<uint8_t>;

struct ReplyCase {
    const char* name;
    std::function<std::unique_ptr<ZemResponse>(Bytes)> make;
    // Puts a filled typed reply into the body and returns a copy of it.
    std::function<std::shared_ptr<google::protobuf::Message>(RspMsgBody&)> fill;
    bool succeedsWithoutExtension;
};

template <typename T>
std::function<std::unique_ptr<ZemResponse>(Bytes)> factory() {
    return [](Bytes data) { return std::make_unique<T>(std::move(data)); };
}

template <typename Extension, typename Filler>
std::function<std::shared_ptr<google::protobuf::Message>(RspMsgBody&)> filler(const Extension& extension,
                                                                              Filler fillMessage) {
    return [&extension, fillMessage](RspMsgBody& body) {
        auto* message = body.MutableExtension(extension);
        fillMessage(*message);
        using Message = std::decay_t<decltype(*message)>;
        return std::shared_ptr<google::protobuf::Message>(std::make_shared<Message>(*message));
    };
}

ZemModel& testStatus() {
    static ZemModel status;
    return status;
}

const std::vector<ReplyCase>& allReplies() {
    static const std::vector<ReplyCase> cases = {
        {"heartbeat", factory<ZemHeartBeatResponse>(),
         filler(ZemV5Root::heartbeatMsgRspBody,
                [](HeartbeatMsgRsp& m) {
                    auto* item = m.add_reqitemsarray();
                    item->set_cmdtype(5);
                    item->set_cmdseq(int64_t{1} << 40);
                    item->set_deadline(1700000000);
                    m.set_userticket("TGT-1");
                    m.set_ticketstate(2);
                }),
         false},
        {"extended heartbeat", factory<ZemHeartBeatExtResponse>(),
         filler(ZemV5Root::heartbeatExtMsgRspBody,
                [](HeartbeatExtMsgRsp& m) { m.add_reqitemsarray()->set_cmdseq(-1); }),
         false},
        {"upgrade", factory<ZemUpdateResponse>(),
         filler(ZemV5Root::updateMsgRspBody,
                [](UpdateMsgRsp& m) {
                    m.set_uptype(1);
                    m.set_updateurl("http://127.0.0.1/p.deb");
                    m.set_md5("0123456789abcdef0123456789abcdef");
                }),
         false},
        {"fire policy", factory<ZemFirePolicyResponse>(),
         filler(ZemV5Root::firePoliceGetMsgRspBody, [](FirePoliceGetMsgRsp&) {}), false},
        {"policy ids", factory<ZemCommPoliceIDResponse>(),
         filler(ZemV5Root::policyIdgetMsgRspBody,
                [](PolicyIDGetMsgRsp& m) {
                    auto* item = m.add_rspitemsarray();
                    item->set_id_p((int64_t{1} << 32) + 1);
                    item->set_version(3);
                }),
         true},
        {"policy contents", factory<ZemPoliceContentResponse>(),
         filler(ZemV5Root::policyContGetMsgRspBody,
                [](PolicyContGetMsgRsp& m) {
                    auto* item = m.add_rspitemsarray();
                    item->set_id_p(12);
                    item->set_version(4);
                    item->set_content(R"({"module":"m","content":{}})");
                }),
         false},
        {"configuration", factory<ZemConfigGetResponse>(),
         filler(ZemV5Root::configGetMsgRspBody,
                [](ConfigGetMsgRsp& m) {
                    auto* item = m.add_configitemsarray();
                    item->set_type(7);
                    item->set_value("90");
                }),
         false},
        {"network location",
         [](Bytes data) {
             return std::make_unique<ZemNetworkLocationResponse>(std::move(data), &testStatus());
         },
         filler(ZemV5Root::networkLocationGetMsgRspBody,
                [](NetworkLocationGetMsgRsp& m) {
                    m.set_netlocation(1);
                    m.set_domainname("corp.example");
                    m.set_dns("10.0.0.53||10.0.0.54");
                }),
         false},
        {"network type", factory<ZemGetNetTypeResponse>(),
         filler(ZemV5Root::getNetTypeMsgRspBody, [](GetNetTypeMsgRsp& m) { m.set_type(2); }), false},
        {"machine information", factory<ZemReportMachineInfoResponse>(),
         filler(ZemV5Root::reportMachineInfoMsgRspBody, [](ReportMachineInfoMsgRsp&) {}), false},
    };
    return cases;
}

Bytes wire(const ZemV5Root& root) {
    std::string out;
    root.SerializeToString(&out);
    return Bytes(out.begin(), out.end());
}

ZemV5Root replyRoot(int32_t retcode = 0) {
    ZemV5Root root;
    root.mutable_msghead()->set_retcode(retcode);
    return root;
}

}  // namespace

TEST(serverlink_messages_Replies, EachClassStoresItsTypedReply) {
    for (const auto& c : allReplies()) {
        SCOPED_TRACE(c.name);
        ZemV5Root root = replyRoot();
        auto expected = c.fill(*root.mutable_msgrspbody());
        auto reply = c.make(wire(root));
        ASSERT_TRUE(reply->parseData());
        ASSERT_NE(reply->responseMsg(), nullptr);
        EXPECT_EQ(reply->responseMsg()->GetDescriptor(), expected->GetDescriptor());
        EXPECT_EQ(reply->responseMsg()->SerializeAsString(), expected->SerializeAsString());
    }
}

TEST(serverlink_messages_Replies, WithoutItsExtensionOnlyThePolicyIdReplySucceedsAndStoresNothing) {
    for (const auto& c : allReplies()) {
        SCOPED_TRACE(c.name);
        ZemV5Root empty = replyRoot();
        empty.mutable_msgrspbody();
        auto reply = c.make(wire(empty));
        EXPECT_EQ(reply->parseData(), c.succeedsWithoutExtension);
        EXPECT_EQ(reply->responseMsg(), nullptr);
        ASSERT_NE(reply->msgHead(), nullptr);  // still there for the failure log

        // Another action's typed reply is not this one's.
        ZemV5Root other = replyRoot();
        const ReplyCase& foreign = &c == &allReplies()[0] ? allReplies()[1] : allReplies()[0];
        foreign.fill(*other.mutable_msgrspbody());
        auto mismatched = c.make(wire(other));
        EXPECT_EQ(mismatched->parseData(), c.succeedsWithoutExtension);
        EXPECT_EQ(mismatched->responseMsg(), nullptr);
    }
}

TEST(serverlink_messages_Replies, NoReplyBodyFailsEveryClassWithTheHeadKept) {
    for (const auto& c : allReplies()) {
        SCOPED_TRACE(c.name);
        auto reply = c.make(wire(replyRoot(0)));
        EXPECT_FALSE(reply->parseData());
        ASSERT_NE(reply->msgHead(), nullptr);
        EXPECT_EQ(reply->msgHead()->retcode(), 0);
        EXPECT_EQ(reply->msgRspBody(), nullptr);
    }
}

TEST(serverlink_messages_Replies, GarbageTruncatedAndOversizedRepliesFailWithoutAMessage) {
    for (const auto& c : allReplies()) {
        SCOPED_TRACE(c.name);
        ZemV5Root root = replyRoot();
        c.fill(*root.mutable_msgrspbody());
        Bytes good = wire(root);
        // A head whose string runs past the end, and a typed reply cut inside.
        Bytes cut(good.begin(), good.end() - 1);
        Bytes garbage = {'%', '3', 'C', 'h', 't', 'm', 'l', '%', '3', 'E', 0xFF, 0x00, 0x12};
        ZemV5Root huge = replyRoot();
        c.fill(*huge.mutable_msgrspbody());
        huge.mutable_msghead()->set_zemver(std::string(ZemResponse::kMaxReplyBytes, 'x'));
        const std::vector<Bytes> inputs = {cut, garbage, wire(huge)};
        for (size_t i = 0; i < inputs.size(); ++i) {
            auto reply = c.make(inputs[i]);
            EXPECT_FALSE(reply->parseData()) << "input " << i;
            EXPECT_EQ(reply->responseMsg(), nullptr) << "input " << i;
        }
    }
}

TEST(serverlink_messages_Replies, LocationReplyUpdatesTheRuntimeStatus) {
    ZemModel status;
    ZemV5Root root = replyRoot();
    auto* location = root.mutable_msgrspbody()->MutableExtension(ZemV5Root::networkLocationGetMsgRspBody);
    location->set_netlocation(2);
    location->set_domainname("branch.example");
    ZemNetworkLocationResponse reply(wire(root), &status);
    ASSERT_TRUE(reply.parseData());
    EXPECT_EQ(status.networkLocation(), 2);
    EXPECT_EQ(status.domainName(), "branch.example");

    // A failed parse leaves the status as it was.
    ZemV5Root without = replyRoot();
    without.mutable_msgrspbody();
    ZemNetworkLocationResponse failed(wire(without), &status);
    EXPECT_FALSE(failed.parseData());
    EXPECT_EQ(status.networkLocation(), 2);
}
