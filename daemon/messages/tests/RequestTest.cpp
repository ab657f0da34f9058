#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "MessagesTestSupport.h"
#include "common/command/ZemCMDManager.h"
#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "daemon/messages/ZemActions.h"
#include "daemon/messages/ZemModel.h"
#include "daemon/messages/ZemRequests.h"

using messagestest::builtRoot;
using messagestest::ipv4;
using recordstest::addNetInterface;
using recordstest::TempRoot;
using recordstest::writeFile;
using zem::ZemRequest;
using common::AccountModel;
using common::ITDevice;
using common::LogCoreHelper;
using common::NetworkCardInfoManager;
using common::ZemCMDManager;
using common::ZemCMDModel;
using hollin::ZemBaseRequest;
using hollin::ZemCommPoliceIDRequest;
using hollin::ZemConfigGetRequest;
using hollin::ZemFirePolicyRequest;
using hollin::ZemGetNetTypeRequest;
using hollin::ZemHeartBeatExtRequest;
using hollin::ZemHeartBeatRequest;
using hollin::ZemModel;
using hollin::ZemNetworkLocationRequest;
using hollin::ZemPoliceContentRequest;
using hollin::ZemReportMachineInfoRequest;
using hollin::ZemRequestSources;
using hollin::ZemUpdateRequest;
using hollin::ZemAction;
using hollin::kZemActions;
using hollin::zemActionFor;
using hollin::zemActionForTag;

namespace {

class serverlink_messages_Requests : public ::testing::Test {
  protected:
    void TearDown() override { LogCoreHelper::sharedInstance().flush(); }

    // Two hardware ports that are up: eth0 with an IPv4 address, wlan0 with IPv6 only.
    void addInterfaces() {
        addNetInterface(root_, "eth0", 2, "08:00:27:aa:bb:cc", true);
        addNetInterface(root_, "wlan0", 3, "a4:5e:60:01:02:03", true, true);
        sysinfo::InterfaceAddress wlan0 = ipv4("wlan0", "fe80::2", "");
        wlan0.family = sysinfo::AddressFamily::IPv6;
        addresses_ = {ipv4("eth0", "10.0.0.5"), wlan0};
    }

    ZemRequestSources sources() {
        return {.device = &device_, .commands = &commands_, .status = &status_, .cards = &cards_};
    }

    TempRoot root_;
    std::vector<sysinfo::InterfaceAddress> addresses_;
    ITDevice device_{[this] { return addresses_; }};
    NetworkCardInfoManager cards_{[this] { return addresses_; }};
    ZemCMDManager commands_{root_.at("/cmd.archive")};
    ZemModel status_;
};

struct RequestCase {
    const char* name;
    int32_t action;
    std::function<std::unique_ptr<ZemRequest>(ZemRequestSources)> make;
    int extensionNumber;  // of the typed body
};

template <typename T>
std::function<std::unique_ptr<ZemRequest>(ZemRequestSources)> factory() {
    return [](ZemRequestSources s) { return std::make_unique<T>(s); };
}

const std::vector<RequestCase>& allRequests() {
    static const std::vector<RequestCase> cases = {
        {"heartbeat", 1000, factory<ZemHeartBeatRequest>(), 1000},
        {"extended heartbeat", 1001, factory<ZemHeartBeatExtRequest>(), 1001},
        {"upgrade", 2000, factory<ZemUpdateRequest>(), 2000},
        {"fire policy", 5000, factory<ZemFirePolicyRequest>(), 5000},
        {"policy ids", 5001, factory<ZemCommPoliceIDRequest>(), 5001},
        {"policy contents", 5002, factory<ZemPoliceContentRequest>(), 5002},
        {"configuration", 6000, factory<ZemConfigGetRequest>(), 6000},
        {"network location", 8000, factory<ZemNetworkLocationRequest>(), 8000},
        {"network type", 8101, factory<ZemGetNetTypeRequest>(), 8101},
        {"machine information", 8300, factory<ZemReportMachineInfoRequest>(), 8300},
    };
    return cases;
}

// The extension numbers the body carries.
std::vector<int> bodyExtensions(const ZemV5Root& root) {
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    root.reqmsgbody().GetReflection()->ListFields(root.reqmsgbody(), &fields);
    std::vector<int> numbers;
    for (const auto* f : fields) numbers.push_back(f->number());
    return numbers;
}

}  // namespace

TEST(serverlink_messages_Version, FourPartsGiveTheNumbersAnythingElseTheFallback) {
    struct Case {
        std::string text;
        int32_t major, minor, externV, build;
    };
    const std::vector<Case> cases = {
        {"5.2.1.3", 5, 2, 1, 3},
        {"5.2.1.300", 5, 2, 1, 300},
        {"5.2.1", 1, 0, 0, 100},
        {"", 1, 0, 0, 100},
        {"5.2.1.3.4", 1, 0, 0, 100},
        {"5.x.1.", 5, 0, 1, 0},                        // a part without digits reads as 0
        {"6.99999999999.-2.7b", 6, INT32_MAX, -2, 7},  // clamped, signed, leading digits
    };
    for (const auto& c : cases) {
        Head head;
        ZemBaseRequest::setVersion(head, c.text);
        EXPECT_EQ(head.zemver(), c.text);
        EXPECT_EQ(head.majorversion(), c.major) << c.text;
        EXPECT_EQ(head.minorversion(), c.minor) << c.text;
        EXPECT_EQ(head.externversion(), c.externV) << c.text;
        EXPECT_EQ(head.buildversion(), c.build) << c.text;
    }
}

TEST_F(serverlink_messages_Requests, EveryRequestCarriesItsActionTheCommonHeadAndOneTypedBody) {
    messagestest::setClientVersion("5.2.1.3");
    addInterfaces();
    for (const auto& c : allRequests()) {
        SCOPED_TRACE(c.name);
        auto request = c.make(sources());
        ZemV5Root root = builtRoot(*request);
        EXPECT_EQ(root.msghead().action(), c.action);
        EXPECT_EQ(root.msghead().zemver(), "5.2.1.3");
        EXPECT_EQ(root.msghead().majorversion(), 5);
        EXPECT_EQ(root.msghead().buildversion(), 3);
        EXPECT_EQ(root.msghead().devicemac(), "080027AABBCC;A45E60010203");
        EXPECT_EQ(root.msghead().clientip(), "10.0.0.5;0.0.0.0");
        EXPECT_TRUE(root.msghead().has_username());
        EXPECT_FALSE(root.has_msgrspbody());
        EXPECT_EQ(bodyExtensions(root), std::vector<int>{c.extensionNumber});
    }
}

TEST_F(serverlink_messages_Requests, NoInterfacesLeaveMacAndAddressUnset) {
    for (const auto& c : allRequests()) {
        SCOPED_TRACE(c.name);
        auto request = c.make(sources());
        ZemV5Root root = builtRoot(*request);
        EXPECT_FALSE(root.msghead().has_devicemac());
        EXPECT_FALSE(root.msghead().has_clientip());
        EXPECT_EQ(root.msghead().zemver(), "5.0.3.100");  // the default client version
    }
}

TEST_F(serverlink_messages_Requests, WithoutAccountNoUserIdNoTicketAndAnEmptyLoginUser) {
    messagestest::signInRoot(root_);
    ASSERT_FALSE(AccountModel::currentModel());

    ZemHeartBeatRequest heartbeat(sources());
    ZemV5Root root = builtRoot(heartbeat);
    EXPECT_FALSE(root.msghead().has_userid());
    const auto& body = root.reqmsgbody().GetExtension(ZemV5Root::heartbeatMsgReqBody);
    EXPECT_FALSE(body.has_userticket());
    EXPECT_TRUE(body.has_loginuser());
    EXPECT_EQ(body.loginuser(), "");

    ZemHeartBeatExtRequest ext(sources());
    root = builtRoot(ext);
    EXPECT_FALSE(root.msghead().has_userid());
    EXPECT_FALSE(root.reqmsgbody().GetExtension(ZemV5Root::heartbeatExtMsgReqBody).has_userticket());
    EXPECT_EQ(root.reqmsgbody().GetExtension(ZemV5Root::heartbeatExtMsgReqBody).loginuser(), "");
}

TEST_F(serverlink_messages_Requests, AccountGivesUserIdTicketAndLoginUserWhereEachBelongs) {
    messagestest::signInRoot(root_);
    AccountModel account;
    account.userid = "u-17";
    account.username = "ana";
    account.setTicket("TGT-8841");
    ASSERT_TRUE(account.save());

    struct Case {
        const char* name;
        std::unique_ptr<ZemRequest> request;
        bool userId;
    };
    std::vector<Case> cases;
    cases.push_back({"heartbeat", std::make_unique<ZemHeartBeatRequest>(sources()), true});
    cases.push_back({"extended heartbeat", std::make_unique<ZemHeartBeatExtRequest>(sources()), true});
    cases.push_back({"policy ids", std::make_unique<ZemCommPoliceIDRequest>(sources()), true});
    cases.push_back({"upgrade", std::make_unique<ZemUpdateRequest>(sources()), false});
    cases.push_back({"configuration", std::make_unique<ZemConfigGetRequest>(sources()), false});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZemV5Root root = builtRoot(*c.request);
        EXPECT_EQ(root.msghead().has_userid(), c.userId);
        if (c.userId) {
            EXPECT_EQ(root.msghead().userid(), "u-17");
        }
    }

    ZemHeartBeatRequest heartbeat(sources());
    const auto main = builtRoot(heartbeat).reqmsgbody().GetExtension(ZemV5Root::heartbeatMsgReqBody);
    EXPECT_EQ(main.userticket(), "TGT-8841");
    EXPECT_EQ(main.loginuser(), "ana");
    ZemHeartBeatExtRequest ext(sources());
    const auto extended = builtRoot(ext).reqmsgbody().GetExtension(ZemV5Root::heartbeatExtMsgReqBody);
    EXPECT_EQ(extended.userticket(), "TGT-8841");
    EXPECT_EQ(extended.loginuser(), "ana");
}

TEST_F(serverlink_messages_Requests, HeartbeatsReportTimesStatusMachineFactsAndEveryCommandSequence) {
    writeFile(root_.at("/sys/class/dmi/id/board_serial"), "BRD-1\n");
    writeFile(root_.at("/sys/class/dmi/id/product_serial"), "C02XYZ\n");
    writeFile(root_.at("/sys/class/dmi/id/product_name"), "MacBookPro18,3\n");
    status_.setZemStatus(3);
    status_.setZemCoreStatus(9);
    status_.setLastUpdateTime(int64_t{1} << 33);
    ZemCMDModel policy = ZemCMDModel::initWithRsp(5, int64_t{1} << 35, 0);
    commands_.updateMemoryCmdModel(policy);
    commands_.waitForPendingChanges();

    const int64_t before = ::time(nullptr);
    ZemHeartBeatRequest heartbeat(sources());
    const auto main = builtRoot(heartbeat).reqmsgbody().GetExtension(ZemV5Root::heartbeatMsgReqBody);
    ZemHeartBeatExtRequest ext(sources());
    const auto extended = builtRoot(ext).reqmsgbody().GetExtension(ZemV5Root::heartbeatExtMsgReqBody);
    const int64_t after = ::time(nullptr);

    tm local{};
    const time_t now = before;
    ::localtime_r(&now, &local);
    EXPECT_GE(main.localtimegmt(), before);
    EXPECT_LE(main.localtimegmt(), after);
    EXPECT_EQ(main.localtime() - main.localtimegmt(), local.tm_gmtoff);
    EXPECT_EQ(main.status(), 3);
    EXPECT_EQ(main.lastupdtime(), int64_t{1} << 33);
    EXPECT_EQ(main.mbsn(), "BRD-1");
    EXPECT_EQ(main.biossnnum(), "C02XYZ");
    EXPECT_EQ(main.compmodelname(), "MacBookPro18,3");
    EXPECT_EQ(main.osbit(), device_.currentOsBit());

    EXPECT_EQ(extended.zemmasterstat(), 9);
    EXPECT_EQ(extended.status(), 3);
    EXPECT_GE(extended.localtimegmt(), before);

    for (const auto* items : {&main.reqitemsarray(), &extended.reqitemsarray()}) {
        ASSERT_EQ(items->size(), 8);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(items->Get(i).cmdtype(), i + 1);
            EXPECT_EQ(items->Get(i).lastseq(), i + 1 == 5 ? int64_t{1} << 35 : 0);
        }
    }
}

TEST_F(serverlink_messages_Requests, HeartbeatWithoutBoardSerialSendsNoBoardField) {
    ZemHeartBeatRequest heartbeat(sources());
    const auto main = builtRoot(heartbeat).reqmsgbody().GetExtension(ZemV5Root::heartbeatMsgReqBody);
    EXPECT_FALSE(main.has_mbsn());
    EXPECT_TRUE(main.has_biossnnum());
}

TEST_F(serverlink_messages_Requests, BodiesCarryVersionFirePolicySequenceAndPolicyIdsInOrder) {
    messagestest::setClientVersion("5.3.0.12");
    commands_.updateMemoryCmdModel(ZemCMDModel::initWithRsp(2, 41, 0));
    commands_.waitForPendingChanges();

    ZemUpdateRequest update(sources());
    EXPECT_EQ(builtRoot(update).reqmsgbody().GetExtension(ZemV5Root::updateMsgReqBody).zemver(), "5.3.0.12");
    ZemFirePolicyRequest fire(sources());
    EXPECT_EQ(builtRoot(fire).reqmsgbody().GetExtension(ZemV5Root::firePoliceGetMsgReqBody).lastseq(), 41);

    struct Case {
        const char* name;
        archive::Dictionary userInfo;
        std::vector<int64_t> expected;
    };
    const int64_t big = (int64_t{1} << 32) + 5;
    const std::vector<Case> cases = {
        {"ids in order, above 32 bits",
         {{"policyId", archive::Array{archive::Value(int64_t{9}), archive::Value(big),
                                      archive::Value(int64_t{1} << 40), archive::Value(int64_t{1})}}},
         {9, big, int64_t{1} << 40, 1}},
        {"what is not a number is skipped",
         {{"policyId",
           archive::Array{archive::Value("12"), archive::Value(int64_t{3}), archive::Value(true)}}},
         {3}},
        {"no user info", {}, {}},
        {"not a list", {{"policyId", archive::Value(int64_t{4})}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZemPoliceContentRequest request(sources());
        request.setUserInfo(c.userInfo);
        const auto body = builtRoot(request).reqmsgbody().GetExtension(ZemV5Root::policyContGetMsgReqBody);
        EXPECT_EQ(std::vector<int64_t>(body.reqpolicyidarray().begin(), body.reqpolicyidarray().end()),
                  c.expected);
    }
}

TEST_F(serverlink_messages_Requests, MachineInfoReportsKindTwoAndTheNetworkType) {
    struct Case {
        const char* name;
        archive::Dictionary userInfo;
        std::string netType;
    };
    const std::vector<Case> cases = {
        {"no user info", {}, "0"},
        {"text", {{"netType", "1"}}, "1"},
        {"number", {{"netType", archive::Value(int64_t{2})}}, "2"},
        {"user info without the key", {{"other", "x"}}, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZemReportMachineInfoRequest request(sources());
        request.setUserInfo(c.userInfo);
        const auto body =
            builtRoot(request).reqmsgbody().GetExtension(ZemV5Root::reportMachineInfoMsgReqBody);
        ASSERT_EQ(body.reqitemsarray_size(), 1);
        const auto& item = body.reqitemsarray(0);
        EXPECT_EQ(item.type(), 1);
        ASSERT_EQ(item.valueitemsarray_size(), 2);
        EXPECT_EQ(item.valueitemsarray(0).key(), 1);
        EXPECT_EQ(item.valueitemsarray(0).value(), "2");
        EXPECT_EQ(item.valueitemsarray(1).key(), 2);
        EXPECT_EQ(item.valueitemsarray(1).value(), c.netType);
    }
}

TEST_F(serverlink_messages_Requests, LocationListsEachPortWithItsAddressesAndTheNameServers) {
    addNetInterface(root_, "eth0", 2, "08:00:27:aa:bb:cc", true);
    addNetInterface(root_, "wlan0", 3, "a4:5e:60:01:02:03", true, true);
    addNetInterface(root_, "eth1", 4, "08:00:27:00:00:01", true);
    addNetInterface(root_, "wlan1", 5, "a4:5e:60:01:02:04", true, true);
    addresses_ = {ipv4("eth0", "10.0.0.5", "255.255.0.0"), ipv4("eth1", "192.168.1.9"),
                  ipv4("wlan1", "172.16.4.2")};
    writeFile(root_.at("/proc/net/route"),
              "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n"
              "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n");
    recordstest::writeScript(root_.at("/usr/bin/nmcli"),
                             "#!/bin/sh\necho 'no:Other'\necho 'yes:Corp\\:Net'\n");
    writeFile(root_.at("/etc/resolv.conf"), "# test\nnameserver 10.0.0.53\nnameserver 10.0.0.54\n");

    ZemNetworkLocationRequest request(sources());
    const auto body = builtRoot(request).reqmsgbody().GetExtension(ZemV5Root::networkLocationGetMsgReqBody);
    ASSERT_EQ(body.adapterarray_size(), 4);
    const auto& eth0 = body.adapterarray(0);
    EXPECT_EQ(eth0.adaptername(), "eth0");
    EXPECT_EQ(eth0.clientip(), "10.0.0.5");
    EXPECT_EQ(eth0.subnetmask(), "255.255.0.0");
    EXPECT_EQ(eth0.defaultgateway(), "10.0.0.1");
    EXPECT_FALSE(eth0.has_wifissid());
    const auto& wlan0 = body.adapterarray(1);  // no IPv4 at all
    EXPECT_EQ(wlan0.adaptername(), "wlan0");
    EXPECT_EQ(wlan0.clientip(), "0.0.0.0");
    EXPECT_EQ(wlan0.subnetmask(), "0.0.0.0");
    EXPECT_EQ(wlan0.defaultgateway(), "0.0.0.0");
    EXPECT_FALSE(wlan0.has_wifissid());
    const auto& eth1 = body.adapterarray(2);  // an address but no router
    EXPECT_EQ(eth1.clientip(), "192.168.1.9");
    EXPECT_FALSE(eth1.has_defaultgateway());
    const auto& wlan1 = body.adapterarray(3);
    EXPECT_EQ(wlan1.clientip(), "172.16.4.2");
    EXPECT_EQ(wlan1.wifissid(), "Corp:Net");
    EXPECT_EQ(std::vector<std::string>(body.dnsarray().begin(), body.dnsarray().end()),
              (std::vector<std::string>{"10.0.0.53", "10.0.0.54"}));
}

TEST_F(serverlink_messages_Requests, LocationWithoutResolverFileSendsNoNameServers) {
    ZemNetworkLocationRequest request(sources());
    const auto body = builtRoot(request).reqmsgbody().GetExtension(ZemV5Root::networkLocationGetMsgReqBody);
    EXPECT_EQ(body.adapterarray_size(), 0);
    EXPECT_EQ(body.dnsarray_size(), 0);
}

TEST_F(serverlink_messages_Requests, RuntimeStatusListsTheCurrentCardsAndNameServers) {
    // The process-wide card list reads the kernel's addresses, which hold no fixture port: each
    // card shows up without an address.
    addNetInterface(root_, "eth7", 2, "08:00:27:aa:bb:cc", true);
    writeFile(root_.at("/etc/resolv.conf"), "nameserver 10.0.0.53\n");
    ZemModel& model = ZemModel::currentStatus();
    const std::vector<Adapter> adapters = model.adaptArray();
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].adaptername(), "eth7");
    EXPECT_EQ(adapters[0].clientip(), "0.0.0.0");
    EXPECT_EQ(adapters[0].subnetmask(), "0.0.0.0");
    EXPECT_EQ(adapters[0].defaultgateway(), "0.0.0.0");
    EXPECT_EQ(model.ipArray(), std::vector<std::string>{"0.0.0.0"});
    EXPECT_EQ(model.dnsArray(), std::vector<std::string>{"10.0.0.53"});
}

// The action table hands out the classes of each action: a request built from a row carries the
// row's action and its typed body, a reply class of a row takes that action's typed reply.
TEST_F(serverlink_messages_Requests, ActionTableMakesTheClassesOfEachAction) {
    const auto* pool = google::protobuf::DescriptorPool::generated_pool();
    for (const ZemAction& row : kZemActions) {
        SCOPED_TRACE(row.action);
        if (row.makeRequest) {
            auto request = row.makeRequest(sources());
            ZemV5Root root = builtRoot(*request);
            EXPECT_EQ(root.msghead().action(), row.action);
            EXPECT_EQ(bodyExtensions(root), std::vector<int>{row.action});
        }
        if (row.makeResponse) {
            const auto* extension = pool->FindExtensionByNumber(RspMsgBody::descriptor(), row.action);
            ASSERT_NE(extension, nullptr);
            ZemV5Root reply;
            reply.mutable_msghead()->set_retcode(0);
            RspMsgBody* body = reply.mutable_msgrspbody();
            body->GetReflection()->MutableMessage(body, extension);
            const std::string bytes = reply.SerializeAsString();
            auto response = row.makeResponse(std::vector<uint8_t>(bytes.begin(), bytes.end()));
            ASSERT_TRUE(response->parseData());
            ASSERT_NE(response->responseMsg(), nullptr);
            EXPECT_EQ(response->responseMsg()->GetDescriptor(), extension->message_type());
        }
        if (row.reqTag != ZemAction::kNoKind) {
            EXPECT_EQ(zemActionForTag(static_cast<uint64_t>(row.reqTag)), &row);
        }
    }
    EXPECT_EQ(zemActionFor(7000), nullptr);
}
