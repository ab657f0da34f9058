// The login session against the client-API test server: sign-in paths, the ticket and QR polls,
// sign-out, the state archives the daemon reads, server choice and the TLS rule.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/account/AccountModel.h"
#include "common/logger/LogSink.h"
#include "common/server/ZemServerConfig.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/paths/Paths.h"
#include "tests/records/support/RecordsTestSupport.h"
#include "tests/support/ClientApiServer.h"
#include "tests/support/PortServer.h"
#include "tests/support/SessionTestSupport.h"
#include "tests/support/TestFiles.h"
#include "ui/session/login/BodyCodec.h"
#include "ui/session/login/HttpSession.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui/session/login/RavAvizaQZNLogin.h"
#include "ui/session/login/TlsTrust.h"
#include "ui/session/login/UserStateFolder.h"

using common::AccountModel;
using common::ZemServerConfig;
using hux::Completion;
using hux::Error;
using hux::Json;
using hux::RavAvizaLoginHelper;
using hux::RavAvizaQZNLogin;
using hux::Reply;
using recordstest::TempRoot;
using recordstest::writeFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testsupport::capturedLog;
using ApiServer = testsupport::ClientApiServer;
using testsupport::runMainUntil;

namespace {

struct Outcome {
    bool called = false;
    Reply reply;
    Error error;
    bool signedIn = false;
    Completion completion() {
        return [this](Reply r, Error e) {
            reply = std::move(r);
            error = std::move(e);
            called = true;
        };
    }
    hux::SignInCompletion signInCompletion() {
        return [this](Reply r, Error e, bool stored) {
            signedIn = stored;
            completion()(std::move(r), std::move(e));
        };
    }
    bool wait() {
        return runMainUntil([this] { return called; });
    }
};

constexpr const char* kLoginPath = "/api/public/clientlogin/account_login";
constexpr const char* kTicketPath = "/api/public/clientlogin/ticket_auth";
constexpr const char* kLogoutPath = "/api/public/clientlogin/logout";
constexpr const char* kScanStatusPath = "/api/public/clientlogin/scan_status";

class LoginSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        capturedLog().clear();
        root_.signInAtScreen("root");
        fs::create_directories(root_.at("/root"));
        fs::create_directories(paths::machineSupportFolder());
        ASSERT_GT(server_.port(), 0);
        configure(server_.port(), testsupport::closedPort(), server_.port(), "127.0.0.1#portal");

        auto& helper = RavAvizaLoginHelper::sharedInstance();
        helper.setIsCheckAndShow(false);
        helper.setLoginBlock([this](int value) { blocks_.push_back(value); });
        hux::SessionPeers peers;
        peers.runTicketXPC = [this] { ++ticketServiceRuns_; };
        peers.closeQznServerXpc = [this] { ++ticketServiceCloses_; };
        peers.vpnRunning = [] { return false; };
        peers.admissionFollowUp = [this](const std::string& userid, const std::string& ticket) {
            admission_.push_back(userid + " " + ticket);
        };
        helper.setPeers(peers);
    }
    void TearDown() override { RavAvizaLoginHelper::sharedInstance().setLoginBlock({}); }

    // .ZemConfig with the intranet, extranet and domain servers, read afresh.
    void configure(int intranetPort, int extranetPort, int domainPort,
                   const std::string& domain = "127.0.0.1") {
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Array{"127.0.0.1", std::to_string(intranetPort)},
                           archive::Array{"127.0.0.1", std::to_string(extranetPort)},
                           archive::Array{domain, std::to_string(domainPort)}},
            paths::serverConfigFile()));
        ZemServerConfig::sharedInstance().updateServerConfig();
    }

    std::string statePath(const std::string& name) const {
        return root_.at("/root/Library/Application Support/RavAvizaL/") + name;
    }
    bool stateExists(const std::string& name) const { return fs::exists(statePath(name)); }
    std::optional<archive::Value> stateArchive(const std::string& name) const {
        auto decoded = archive::unarchiveObjectWithFile(statePath(name), {"AccountModel"});
        if (!decoded) return std::nullopt;
        return decoded.value;
    }
    std::string stateString(const std::string& name) const {
        auto value = stateArchive(name);
        return value && value->string() ? *value->string() : "";
    }
    ino_t inode(const std::string& name) const {
        struct stat st {};
        return ::stat(statePath(name).c_str(), &st) == 0 ? st.st_ino : 0;
    }

    void storeRecord(const std::string& ticket, int64_t loginType, int64_t islogout = 0) {
        AccountModel record;
        record.userid = "u7";
        record.username = "User Seven";
        record.setTicket(ticket);
        record.loginType = loginType;
        record.islogout = islogout;
        ASSERT_TRUE(record.save());
    }

    Outcome login(const Json& param) {
        Outcome outcome;
        RavAvizaLoginHelper::sharedInstance().login(param, outcome.signInCompletion());
        EXPECT_TRUE(outcome.wait());
        return outcome;
    }
    // The next-generation policy fetch a sign-in starts; waited for so that it never writes into a
    // later test's folder.
    void waitForPolicyFile() {
        EXPECT_TRUE(runMainUntil([this] { return stateExists("QZNPolicy.archive"); }));
    }

    TempRoot root_;
    ApiServer server_{root_.path() + "/server"};
    std::vector<int> blocks_;
    int ticketServiceRuns_ = 0;
    int ticketServiceCloses_ = 0;
    std::vector<std::string> admission_;
};

}  // namespace

// Sign-in ---------------------------------------------------------------------------------------

TEST_F(LoginSessionTest, AccountSignInSendsOtpOnlyWhenGivenAndStoresTheSession) {
    const struct {
        const char* otp;
        int logintype;
    } cases[] = {{"", 0}, {"493817", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.otp);
        AccountModel::deleteCurrentModel();
        fs::remove(statePath("QZNPolicy.archive"));
        RavAvizaLoginHelper::sharedInstance().createSoleidAndSave();
        const std::string soleid = stateString("soleid.archive");
        ASSERT_EQ(soleid.size(), 16u);

        auto outcome = login({{"userid", "alice"}, {"password", "pa ss+=word"}, {"otp", c.otp}});
        ASSERT_FALSE(outcome.error);
        EXPECT_TRUE(outcome.signedIn);

        auto body = server_.lastBody(kLoginPath);
        ASSERT_TRUE(body && body->is_object());
        EXPECT_EQ(body->contains("otp"), *c.otp != '\0');
        if (*c.otp) {
            EXPECT_EQ((*body)["otp"], c.otp);
        }
        EXPECT_EQ((*body)["logintype"], c.logintype);
        EXPECT_EQ((*body)["userid"], "alice");
        EXPECT_EQ((*body)["password"], "pa ss+=word");
        EXPECT_EQ((*body)["device_type"], "PC");
        EXPECT_EQ((*body)["soleid"], soleid);
        for (const char* key : {"deviceid", "hostname", "ip", "mac", "os", "timestamp"}) {
            EXPECT_TRUE(body->contains(key)) << key;
        }
        EXPECT_EQ(server_.requests(kLoginPath).back()["content_type"], nullptr);

        // The record holds the ticket enciphered; the nonce is spent.
        const std::string stored = recordstest::readFile(statePath("login.archive"));
        EXPECT_EQ(stored.find("TGT-alice-1"), std::string::npos);
        auto record = AccountModel::currentModel();
        ASSERT_TRUE(record);
        EXPECT_EQ(record->decryptTicket(), "TGT-alice-1");
        EXPECT_EQ(record->userid, "alice");
        EXPECT_EQ(record->username, "User alice");
        EXPECT_EQ(record->loginType, 1);
        EXPECT_EQ(stateString("userpolicy.archive"), "userPolicyRequest");
        EXPECT_FALSE(stateExists("soleid.archive"));
        EXPECT_TRUE(RavAvizaLoginHelper::iflogin());
        EXPECT_TRUE(RavAvizaLoginHelper::sharedInstance().isCheckAndShow());
        waitForPolicyFile();
    }
    EXPECT_EQ(blocks_, (std::vector<int>{1, 1}));
    EXPECT_EQ(ticketServiceRuns_, 2);

    // The policy the daemon reads holds the decoded fields.
    auto policy = stateArchive("QZNPolicy.archive");
    ASSERT_TRUE(policy && policy->dictionary());
    const auto& dict = *policy->dictionary();
    EXPECT_EQ(dict.at("code").integer(), 0);
    ASSERT_TRUE(dict.at("office_data").dictionary());
    EXPECT_EQ(*dict.at("office_data").dictionary()->at("office").string(), "on");
}

TEST_F(LoginSessionTest, SignInRepliesWithoutAUsableTicketStoreNothing) {
    const Json replies[] = {
        {{"ret", 0}, {"data", {{"state", 0}}}},
        {{"ret", 0}, {"data", {{"state", 0}, {"ticket", ""}}}},
        {{"ret", 0}, {"data", {{"state", 0}, {"ticket", 42}}}},
        {{"ret", 0}, {"data", {{"state", -3}, {"ticket", "T"}}}},
        {{"ret", 0}, {"data", "state 0"}},
        Json::array({1, 2}),
        {{"ret", 0}},
        {{"ret", 0}, {"data", {{"status", 0}, {"state", -3}}}},
        {{"ret", 0}, {"data", {{"state", 0}, {"ticket", "T"}}}},
        {{"ret", 0}, {"data", {{"state", 0}, {"ticket", "T"}, {"userid", ""}}}},
    };
    for (const auto& reply : replies) {
        SCOPED_TRACE(reply.dump());
        server_.script({{kLoginPath, {{{"json", reply}}}}});
        auto outcome = login({{"userid", "bob"}, {"password", "x"}, {"otp", ""}});
        EXPECT_FALSE(outcome.error);
        ASSERT_TRUE(outcome.reply);
        EXPECT_EQ(*outcome.reply, reply);
        EXPECT_FALSE(outcome.signedIn);
        EXPECT_FALSE(RavAvizaLoginHelper::sharedInstance().isCheckAndShow());
        EXPECT_FALSE(stateExists("login.archive"));
        EXPECT_FALSE(stateExists("userpolicy.archive"));
        EXPECT_TRUE(stateExists("soleid.archive"));
    }
    EXPECT_TRUE(blocks_.empty());
}

TEST_F(LoginSessionTest, SignInWhoseRecordCannotBeStoredIsNoSignIn) {
    // A folder where the record goes: the atomic replace cannot land.
    fs::create_directories(statePath("login.archive") + "/in-the-way");
    auto outcome = login({{"userid", "alice"}, {"password", "pw"}, {"otp", ""}});
    ASSERT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.reply);
    EXPECT_FALSE(outcome.signedIn);
    EXPECT_FALSE(AccountModel::currentModel());
    EXPECT_FALSE(RavAvizaLoginHelper::sharedInstance().isCheckAndShow());
    EXPECT_FALSE(stateExists("userpolicy.archive"));
    EXPECT_TRUE(blocks_.empty());
    EXPECT_EQ(ticketServiceRuns_, 0);
    EXPECT_TRUE(capturedLog().contains("could not save login.archive"));
}

TEST_F(LoginSessionTest, BadServerRepliesFailCleanly) {
    const struct {
        const char* name;
        Json entry;
        long code;
    } cases[] = {
        {"not JSON", {{"raw", "<html>busy</html>"}}, hux::HttpSession::kErrorNotJson},
        {"server error", {{"status", 500}}, 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.script({{kLoginPath, {c.entry}}});
        auto outcome = login({{"userid", "bob"}, {"password", "x"}, {"otp", ""}});
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, c.code);
        EXPECT_FALSE(outcome.reply);
        EXPECT_FALSE(stateExists("login.archive"));
        server_.script({});
    }
    // A status error has no text of its own: the facade gives it one.
    EXPECT_TRUE(capturedLog().contains("Fail:code=500"));
    EXPECT_TRUE(capturedLog().contains("Account login faild with error:"));
}

TEST_F(LoginSessionTest, PasswordChangeSignsInAndRetrievalSendsTheUserId) {
    Outcome changed;
    RavAvizaLoginHelper::sharedInstance().resetPassword(
        {{"userid", "carol"}, {"old_password", "old1"}, {"password", "new2"}}, changed.completion());
    ASSERT_TRUE(changed.wait());
    ASSERT_FALSE(changed.error);
    auto body = server_.lastBody("/api/public/clientlogin/resetpass");
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["userid"], "carol");
    EXPECT_EQ((*body)["old_password"], "old1");
    EXPECT_EQ((*body)["password"], "new2");
    EXPECT_EQ((*body)["logintype"], 0);
    EXPECT_EQ((*body)["device_type"], "PC");
    auto record = AccountModel::currentModel();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->decryptTicket(), "TGT-carol-1");
    EXPECT_EQ(record->loginType, 1);
    EXPECT_EQ(blocks_, std::vector<int>{1});
    // No policy fetch on this path.
    EXPECT_TRUE(server_.requests("/zem/qznpolicy").empty());

    Outcome mailed;
    RavAvizaLoginHelper::sharedInstance().retrievePassWordWithUserId("carol", mailed.completion());
    ASSERT_TRUE(mailed.wait());
    EXPECT_FALSE(mailed.error);
    EXPECT_EQ(server_.lastBody("/api/public/clientlogin/retrieve_password"), (Json{{"user_id", "carol"}}));

    server_.script({{"/api/public/clientlogin/retrieve_password", {{{"status", 404}}}}});
    Outcome refused;
    RavAvizaLoginHelper::sharedInstance().retrievePassWordWithUserId("carol", refused.completion());
    ASSERT_TRUE(refused.wait());
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->failureReason, "Fail:code=404");
}

// Ticket poll ------------------------------------------------------------------------------------

TEST_F(LoginSessionTest, TicketPollFollowsTheStateTable) {
    enum Expect { kUnchanged, kSignedOut, kRewritten };
    const struct {
        const char* name;
        Json reply;
        int64_t loginType;
        Expect expect;
    } cases[] = {
        {"state 0, same ticket", {{"ret", 0}, {"data", {{"state", 0}, {"ticket", "TK-1"}}}}, 1, kUnchanged},
        {"state 0, new ticket, QR user",
         {{"ret", 0}, {"data", {{"state", 0}, {"ticket", "TK-2"}, {"username", "N"}, {"userid", "u7"}}}},
         2,
         kRewritten},
        {"state -2", {{"ret", 0}, {"data", {{"state", -2}}}}, 1, kSignedOut},
        {"state -3", {{"ret", 0}, {"data", {{"state", -3}}}}, 2, kSignedOut},
        {"state -4 as text", {{"ret", 0}, {"data", {{"state", "-4"}}}}, 1, kSignedOut},
        {"state -7", {{"ret", 0}, {"data", {{"state", -7}}}}, 1, kSignedOut},
        {"ret 1", {{"ret", 1}}, 1, kSignedOut},
        {"state -5", {{"ret", 0}, {"data", {{"state", -5}}}}, 1, kUnchanged},
        {"state -2, directory user", {{"ret", 0}, {"data", {{"state", -2}}}}, 3, kUnchanged},
        {"no ret", {{"data", {{"state", -2}}}}, 1, kUnchanged},
        {"ret as list", {{"ret", {0}}, {"data", {{"state", -2}}}}, 1, kUnchanged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        blocks_.clear();
        fs::remove(statePath("QZNPolicy.archive"));
        fs::remove(statePath("soleid.archive"));
        storeRecord("TK-1", c.loginType);
        const ino_t before = inode("login.archive");
        server_.script({{kTicketPath, {{{"json", c.reply}}}}});

        Outcome outcome;
        RavAvizaLoginHelper::sharedInstance().checkTicketStatus(outcome.completion());
        ASSERT_TRUE(outcome.wait());
        EXPECT_EQ((*server_.lastBody(kTicketPath))["ticket"], "TK-1");
        EXPECT_EQ((*server_.lastBody(kTicketPath))["userid"], "u7");

        auto record = AccountModel::currentModel();
        switch (c.expect) {
            case kUnchanged:
                EXPECT_EQ(inode("login.archive"), before);
                EXPECT_FALSE(stateExists("soleid.archive"));
                break;
            case kSignedOut:
                EXPECT_FALSE(record);
                EXPECT_TRUE(stateExists("soleid.archive"));
                EXPECT_EQ(blocks_, std::vector<int>{0});
                break;
            case kRewritten:
                ASSERT_TRUE(record);
                EXPECT_EQ(record->decryptTicket(), "TK-2");
                EXPECT_EQ(record->loginType, 1);
                break;
        }
        if (c.reply.contains("ret") && c.reply["ret"] == 0 && c.reply["data"]["state"] == 0) {
            EXPECT_EQ(blocks_, std::vector<int>{1});
            waitForPolicyFile();
        }
    }
    EXPECT_EQ(ticketServiceCloses_, 0) << "a local sign-out leaves the ticket service alone";
}

TEST_F(LoginSessionTest, TicketPollDoesNothingWhileSignedOut) {
    Outcome outcome;
    RavAvizaLoginHelper::sharedInstance().checkTicketStatus(outcome.completion());
    // Requests run in order on one queue: once a later ping is answered, any ticket check would
    // have been sent.
    bool pinged = false;
    RavAvizaLoginHelper::sharedInstance().pingServerToResult([&](bool) { pinged = true; });
    ASSERT_TRUE(runMainUntil([&] { return pinged; }));
    EXPECT_FALSE(outcome.called);
    EXPECT_TRUE(server_.requests(kTicketPath).empty());
    EXPECT_EQ(server_.requests("/zem/ping").size(), 1u);
}

// Sign-out ---------------------------------------------------------------------------------------

TEST_F(LoginSessionTest, AcceptedLogoutClearsTheSession) {
    storeRecord("TK-1", 1);
    ASSERT_TRUE(hux::UserStateFolder::write("userpolicy.archive", "userPolicyRequest"));
    RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(true);
    const Json param{{"userid", "u7"},  {"mac", "m"},       {"ip", "i"},
                     {"deviceid", "d"}, {"ticket", "TK-1"}, {"msg", "logout"}};
    Outcome outcome;
    RavAvizaLoginHelper::sharedInstance().logout(param, outcome.completion());
    ASSERT_TRUE(outcome.wait());
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(server_.lastBody(kLogoutPath), param);
    EXPECT_FALSE(stateExists("login.archive"));
    EXPECT_EQ(stateString("soleid.archive").size(), 16u);
    EXPECT_FALSE(stateExists("userpolicy.archive"));
    EXPECT_FALSE(RavAvizaLoginHelper::sharedInstance().isCheckAndShow());
    EXPECT_EQ(ticketServiceCloses_, 1);
    EXPECT_EQ(blocks_, std::vector<int>{0});

    // A "ret" other than 0 changes nothing but the policy request.
    storeRecord("TK-1", 1);
    ASSERT_TRUE(hux::UserStateFolder::write("userpolicy.archive", "userPolicyRequest"));
    server_.script({{kLogoutPath, {{{"json", {{"ret", 5}}}}}}});
    Outcome refused;
    RavAvizaLoginHelper::sharedInstance().logout(param, refused.completion());
    ASSERT_TRUE(refused.wait());
    EXPECT_FALSE(refused.error);
    EXPECT_TRUE(RavAvizaLoginHelper::iflogin());
    EXPECT_FALSE(stateExists("userpolicy.archive"));
    EXPECT_EQ(ticketServiceCloses_, 1);
    EXPECT_EQ(blocks_, std::vector<int>{0});
    server_.script({});
    AccountModel::deleteCurrentModel();

    // Without a record before, no nonce is made.
    fs::remove(statePath("soleid.archive"));
    Outcome again;
    RavAvizaLoginHelper::sharedInstance().logout(param, again.completion());
    ASSERT_TRUE(again.wait());
    EXPECT_FALSE(stateExists("soleid.archive"));
}

TEST_F(LoginSessionTest, LogoutWithoutNetworkKeepsTheUserSignedIn) {
    configure(testsupport::closedPort(), testsupport::closedPort(), server_.port());
    ASSERT_TRUE(hux::UserStateFolder::write("userpolicy.archive", "userPolicyRequest"));

    // No record at all: nothing is created.
    Outcome noRecord;
    RavAvizaLoginHelper::sharedInstance().logout({{"msg", "logout"}}, noRecord.completion());
    ASSERT_TRUE(noRecord.wait());
    ASSERT_TRUE(noRecord.error);
    EXPECT_FALSE(stateExists("login.archive"));
    EXPECT_FALSE(stateExists("userpolicy.archive"));

    storeRecord("TK-1", 1);
    Outcome outcome;
    RavAvizaLoginHelper::sharedInstance().logout({{"msg", "logout"}}, outcome.completion());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_FALSE(outcome.error->failureReason.empty());
    auto record = AccountModel::currentModel();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->islogout, 1);
    EXPECT_EQ(record->decryptTicket(), "TK-1");
    EXPECT_TRUE(RavAvizaLoginHelper::iflogin());
    EXPECT_TRUE(capturedLog().contains("[RavAvizaLoginHelper] RavAviza logout fail because no network!!!"));
    EXPECT_TRUE(blocks_.empty());

    // The next QR poll reports the pending logout as its client operation.
    configure(server_.port(), testsupport::closedPort(), server_.port());
    Outcome poll;
    RavAvizaLoginHelper::sharedInstance().CheckQRLoginState(poll.completion());
    ASSERT_TRUE(poll.wait());
    EXPECT_EQ((*server_.lastBody(kScanStatusPath))["clientoper"], 1);
}

// QR sign-in --------------------------------------------------------------------------------------

TEST_F(LoginSessionTest, QrSignInCompletesAfterTheScan) {
    RavAvizaLoginHelper::sharedInstance().createSoleidAndSave();
    const std::string soleid = stateString("soleid.archive");

    auto image = RavAvizaLoginHelper::sharedInstance().getCurrentQR(180);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, image->height);
    EXPECT_LE(image->width, 180);
    EXPECT_GT(image->width, 150);
    EXPECT_EQ(image->at(0, 0), 0) << "the finder pattern's corner is dark";

    auto text = RavAvizaQZNLogin::manager().createQRPath();
    ASSERT_TRUE(text);
    const std::string prefix = "https://127.0.0.1:" + std::to_string(server_.port()) +
                               "/portal/api/public/clientlogin/scan_login?v=";
    ASSERT_EQ(text->rfind(prefix, 0), 0u) << *text;
    EXPECT_EQ(text->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789%",
                                      prefix.size()),
              std::string::npos);

    // A changed domain server takes effect in the running process.
    configure(server_.port(), testsupport::closedPort(), 8443, "127.0.0.1#other#v2");
    auto changed = RavAvizaQZNLogin::manager().createQRPath();
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->rfind("https://127.0.0.1:8443/other/v2/api/public/clientlogin/scan_login?v=", 0), 0u);
    configure(server_.port(), testsupport::closedPort(), 0, "127.0.0.1");
    EXPECT_FALSE(RavAvizaQZNLogin::manager().createQRPath()) << "no QR text without a domain port";
    configure(server_.port(), testsupport::closedPort(), server_.port(), "127.0.0.1#portal");

    // Before the scan the poll changes nothing.
    Outcome waiting;
    RavAvizaLoginHelper::sharedInstance().CheckQRLoginState(waiting.completion());
    ASSERT_TRUE(waiting.wait());
    EXPECT_FALSE(stateExists("login.archive"));
    auto status = server_.requests(kScanStatusPath).back();
    EXPECT_EQ(status["content_type"], "application/json");
    EXPECT_EQ(status["body"]["clientoper"], 0);
    EXPECT_EQ(status["body"]["soleid"], soleid);

    // The phone opens the QR text (here over plain HTTP) as user "dave".
    const std::string scanUrl =
        "http://127.0.0.1:" + std::to_string(server_.port()) +
        "/portal/api/public/clientlogin/scan_login?user=dave&v=" + text->substr(prefix.size());
    ASSERT_EQ(hux::HttpSession::perform({"GET", scanUrl, "", {}, 5s}).error, std::nullopt);
    auto scanned = server_.lastBody("/portal/api/public/clientlogin/scan_login");
    ASSERT_TRUE(scanned && scanned->is_object());
    EXPECT_EQ(scanned->size(), 9u) << scanned->dump();
    EXPECT_EQ((*scanned)["soleid"], soleid);
    EXPECT_EQ((*scanned)["device_type"], "PC");
    EXPECT_TRUE(scanned->contains("login_user"));

    Outcome done;
    RavAvizaLoginHelper::sharedInstance().CheckQRLoginState(done.completion());
    ASSERT_TRUE(done.wait());
    auto record = AccountModel::currentModel();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->loginType, 2);
    EXPECT_EQ(record->decryptTicket(), "QR-dave-1");
    EXPECT_EQ(stateString("userpolicy.archive"), "userPolicyRequest");
    EXPECT_EQ(stateString("soleid.archive"), soleid) << "a QR sign-in keeps the nonce";
    EXPECT_EQ(blocks_, std::vector<int>{1});
    EXPECT_EQ(ticketServiceRuns_, 1);
    EXPECT_EQ(admission_, std::vector<std::string>{"dave QR-dave-1"});
    EXPECT_TRUE(server_.requests("/zem/qznpolicy").empty());

    // A later poll saying the sign-in was revoked signs the QR user out.
    server_.script({{kScanStatusPath, {{{"json", {{"ret", 0}, {"data", {{"state", -4}}}}}}}}});
    Outcome revoked;
    RavAvizaLoginHelper::sharedInstance().CheckQRLoginState(revoked.completion());
    ASSERT_TRUE(revoked.wait());
    EXPECT_FALSE(stateExists("login.archive"));
    EXPECT_EQ(blocks_, (std::vector<int>{1, 0}));
}

TEST_F(LoginSessionTest, QrPollErrorProbesTheNetworkAgain) {
    server_.script({{kScanStatusPath, {{{"status", 503}}}}});
    fs::remove(statePath("netType.archive"));
    Outcome outcome;
    RavAvizaLoginHelper::sharedInstance().CheckQRLoginState(outcome.completion());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->failureReason, "Fail:code=503");
    EXPECT_TRUE(runMainUntil([this] { return stateString("netType.archive") == "0"; }));
}

// Directory account ----------------------------------------------------------------------------

TEST_F(LoginSessionTest, DirectoryAccountCheck) {
    const struct {
        const char* name;
        std::optional<Json> entry;
        bool ok;
        std::optional<std::string> user;
    } cases[] = {
        {"accepted", std::nullopt, true, "erin"},
        {"accepted without a name", Json{{"json", {{"ret", 0}, {"data", {{"x", 1}}}}}}, true, ""},
        {"data not a dictionary", Json{{"json", {{"ret", 0}, {"data", "erin"}}}}, true, std::nullopt},
        {"refused", Json{{"json", {{"ret", 1}}}}, false, std::nullopt},
        {"empty reply", Json{{"raw", ""}}, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.script(c.entry ? Json{{"/api/public/clientlogin/ad_auth", {*c.entry}}} : Json::object());
        bool called = false, ok = false;
        std::optional<std::string> user;
        Error error;
        RavAvizaLoginHelper::sharedInstance().checkDomainAccount(
            "erin", "corp.example", [&](bool o, std::optional<std::string> u, Error e) {
                called = true, ok = o, user = u, error = e;
            });
        ASSERT_TRUE(runMainUntil([&] { return called; }));
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(user, c.user);
        EXPECT_FALSE(error);
        auto body = server_.lastBody("/api/public/clientlogin/ad_auth");
        EXPECT_EQ((*body)["uid"], "erin");
        EXPECT_EQ((*body)["dc"], "corp.example");
    }
}

// Server choice ----------------------------------------------------------------------------------

TEST_F(LoginSessionTest, UnreachableIntranetMovesLaterCallsToTheExtranet) {
    ApiServer extranet(root_.path() + "/extranet");
    ASSERT_GT(extranet.port(), 0);
    configure(testsupport::closedPort(), extranet.port(), extranet.port());

    // The probe answers on the global queue.
    std::atomic<int64_t> type{-1};
    RavAvizaLoginHelper::sharedInstance().Get_network_type([&](int64_t t) { type = t; });
    ASSERT_TRUE(runMainUntil([&] { return type == 1; }));
    EXPECT_EQ(stateString("netType.archive"), "1");

    auto outcome = login({{"userid", "frank"}, {"password", "x"}, {"otp", ""}});
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(extranet.requests(kLoginPath).size(), 1u);
    EXPECT_TRUE(server_.requests(kLoginPath).empty());
    EXPECT_TRUE(runMainUntil([this] { return stateExists("QZNPolicy.archive"); }));

    // Both servers silent: the probe answers intranet and says so.
    configure(testsupport::closedPort(), testsupport::closedPort(), server_.port());
    const ino_t before = inode("netType.archive");
    type = -1;
    RavAvizaLoginHelper::sharedInstance().Get_network_type([&](int64_t t) { type = t; });
    ASSERT_TRUE(runMainUntil([&] { return type != -1; }));
    EXPECT_EQ(type, 0);
    EXPECT_EQ(stateString("netType.archive"), "0");
    EXPECT_NE(inode("netType.archive"), before);
    EXPECT_TRUE(capturedLog().contains(
        "[AccountManager] RavAviza networktpye is no network,The default is Intranet"));
    auto record = AccountModel::currentModel();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->networkType, 0);
}

TEST_F(LoginSessionTest, IntranetPortZeroFailsAtOnceWithCode1234) {
    ApiServer extranet(root_.path() + "/extranet");
    configure(0, extranet.port(), extranet.port());
    ASSERT_TRUE(hux::UserStateFolder::write("netType.archive", "1"));

    bool called = false;
    Error error;
    RavAvizaQZNLogin::loginAccount({{"userid", "g"}, {"password", "x"}, {"otp", ""}},
                                   [&](Reply reply, Error e) {
                                       called = true;
                                       error = e;
                                       EXPECT_FALSE(reply);
                                   });
    EXPECT_TRUE(called) << "on the caller's thread, before returning";
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "NSURLErrorDomain");
    EXPECT_EQ(error->code, 1234);
    EXPECT_EQ(error->failureReason, "NoIPofIntranet");
    EXPECT_TRUE(capturedLog().contains("Service Config no compliance,UrlStr==nil"));

    bool reachable = true;
    RavAvizaLoginHelper::sharedInstance().pingServerToResult([&](bool r) { reachable = r; });
    EXPECT_FALSE(reachable);
    EXPECT_TRUE(extranet.requests(kLoginPath).empty());
}

// State from the server --------------------------------------------------------------------------

TEST_F(LoginSessionTest, GeneralConfigurationIsStoredDecodedAndReplacedWhole) {
    bool done = false;
    RavAvizaLoginHelper::sharedInstance().Get_Save_Config([&] { done = true; });
    ASSERT_TRUE(runMainUntil([&] { return done; }));
    auto config = stateArchive("GeneralConfig.archive");
    ASSERT_TRUE(config && config->dictionary());
    EXPECT_EQ(*config->dictionary()->at("domain").dictionary()->at("auth_method").string(), "1");
    EXPECT_TRUE(capturedLog().contains("[RavAvizaLoginHelper] RavAviza get General Success!!!"));

    // A failed request keeps the file; "ret" other than 0 keeps it too.
    const ino_t before = inode("GeneralConfig.archive");
    server_.script({{"/api/public/client/start_config", {{{"status", 500}}, {{"json", {{"ret", 3}}}}}}});
    for (int i = 0; i < 2; ++i) {
        done = false;
        RavAvizaLoginHelper::sharedInstance().Get_Save_Config([&] { done = true; });
        ASSERT_TRUE(runMainUntil([&] { return done; }));
        EXPECT_EQ(inode("GeneralConfig.archive"), before);
    }
    EXPECT_TRUE(capturedLog().contains("[RavAvizaLoginHelper] RavAviza get General fail!!!"));
}

TEST_F(LoginSessionTest, PolicyFieldsThatDoNotDecodeAreDropped) {
    server_.script({{"/zem/qznpolicy",
                     {{{"json", {{"code", 0}, {"data", "not base64 %%%"}, {"office_data", {{"a", 1}}}}}}}}});
    bool done = false;
    RavAvizaLoginHelper::sharedInstance().Get_GeneralQZNPolicy([&] { done = true; });
    ASSERT_TRUE(runMainUntil([&] { return done; }));
    auto policy = stateArchive("QZNPolicy.archive");
    ASSERT_TRUE(policy && policy->dictionary());
    EXPECT_EQ(policy->dictionary()->count("data"), 0u);
    EXPECT_EQ(policy->dictionary()->count("office_data"), 0u);
    EXPECT_TRUE(capturedLog().contains("decodeSM4: the text is not Base64"));

    // "code" other than 0, or none, leaves the file as it is.
    const ino_t before = inode("QZNPolicy.archive");
    server_.script({{"/zem/qznpolicy", {{{"json", {{"code", 2}}}}, {{"json", Json::array()}}}}});
    for (int i = 0; i < 2; ++i) {
        done = false;
        RavAvizaLoginHelper::sharedInstance().Get_GeneralQZNPolicy([&] { done = true; });
        ASSERT_TRUE(runMainUntil([&] { return done; }));
        EXPECT_EQ(inode("QZNPolicy.archive"), before);
    }
}

// Machine-wide switches ---------------------------------------------------------------------------

TEST_F(LoginSessionTest, SwitchesReadFromTheDaemonsArchives) {
    const std::string support = paths::machineSupportFolder();
    const struct {
        archive::Value pc;
        archive::Value qr;
        bool tag;
    } cases[] = {{1, 0, true}, {1, 1, false}, {0, 0, false}, {"1", "0", true}};
    EXPECT_FALSE(RavAvizaLoginHelper::selectBtnTag());
    for (const auto& c : cases) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Dictionary{
                {"pc_account_login", c.pc}, {"qrcode_login", c.qr}, {"double_factor_auth", "1"}},
            support + "/userlogin.archive"));
        EXPECT_EQ(RavAvizaLoginHelper::selectBtnTag(), c.tag);
        EXPECT_TRUE(RavAvizaLoginHelper::iShowOTP());
    }
    EXPECT_FALSE(RavAvizaLoginHelper::isHideTray());
    ASSERT_TRUE(archive::archiveRootObjectToFile("1", support + "/hidezemswitch.archive"));
    EXPECT_TRUE(RavAvizaLoginHelper::isHideTray());
}

// TLS ------------------------------------------------------------------------------------------------

TEST_F(LoginSessionTest, HttpsVerifiesAgainstTheOrganisationCaUnlessUnverifiedIsSet) {
    ApiServer tls(root_.path() + "/tls", {"--tls", root_.path() + "/tls"});
    ASSERT_GT(tls.port(), 0);
    const hux::HttpRequest ping{
        "GET", "https://127.0.0.1:" + std::to_string(tls.port()) + "/zem/ping", "", {}, 5s};

    auto refused = hux::HttpSession::perform(ping);
    ASSERT_TRUE(refused.error) << "a certificate from an unknown CA is refused by default";

    fs::copy_file(tls.folder() + "/ca.pem", TlsTrust::organizationCAFile());
    ::chmod(TlsTrust::organizationCAFile().c_str(), 0644);
    auto trusted = hux::HttpSession::perform(ping);
    EXPECT_FALSE(trusted.error) << trusted.error->failureReason;

    // The host name is checked too: the certificate does not name this address.
    const hux::HttpRequest otherName{
        "GET", "https://127.0.0.2:" + std::to_string(tls.port()) + "/zem/ping", "", {}, 5s};
    auto wrongHost = hux::HttpSession::perform(otherName);
    EXPECT_TRUE(wrongHost.error);

    // A CA file others can write does not count.
    ::chmod(TlsTrust::organizationCAFile().c_str(), 0666);
    EXPECT_TRUE(hux::HttpSession::perform(ping).error);
    fs::remove(TlsTrust::organizationCAFile());

    ASSERT_TRUE(archive::writePlistFile(archive::Dictionary{{"AllowUnverifiedServers", true}},
                                        TlsTrust::settingsFile()));
    capturedLog().clear();
    EXPECT_FALSE(hux::HttpSession::perform(ping).error);
    EXPECT_FALSE(hux::HttpSession::perform(ping).error);
    EXPECT_EQ(capturedLog().count("TLS verification is off for " + ping.url), 2u);

    ASSERT_TRUE(archive::writePlistFile(archive::Dictionary{{"AllowUnverifiedServers", false}},
                                        TlsTrust::settingsFile()));
    EXPECT_TRUE(hux::HttpSession::perform(ping).error);
}

// VPN stop and directory domain ---------------------------------------------------------------------

TEST_F(LoginSessionTest, VpnStopAsksTheAgentOnlyWhenTheVpnRuns) {
    const struct {
        const char* name;
        bool running;
        std::optional<int64_t> access;  // nothing: no agent client
        int64_t stopCode;
        bool stopError;
        const char* line;
    } cases[] = {
        {"not running", false, 0, 0, false, nullptr},
        {"no agent client", true, std::nullopt, 0, false,
         "[RavAvizaLoginHelper] RavAviza Fenwick Access Fail!!!"},
        {"access refused", true, 7, 0, false, "[RavAvizaLoginHelper] RavAviza Fenwick Access Fail!!!"},
        {"stopped", true, 0, 0, false, "[RavAvizaLoginHelper] RavAviza Fenwick Stop Success!!!"},
        {"stop refused", true, 0, 3, false, "[RavAvizaLoginHelper] RavAviza Fenwick Stop Fail:code = 3"},
        {"stop failed", true, 0, 0, true, "[RavAvizaLoginHelper] RavAviza Fenwick Stop Fail: agent gone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capturedLog().clear();
        int accessAsked = 0, stopAsked = 0;
        hux::SessionPeers peers;
        peers.vpnRunning = [&c] { return c.running; };
        if (c.access) {
            peers.requestAccess = [&](std::function<void(int64_t)> done) {
                ++accessAsked;
                done(*c.access);
            };
        }
        peers.stopAgent = [&](std::function<void(int64_t, Reply, Error)> done) {
            ++stopAsked;
            if (c.stopError) {
                done(0, std::nullopt, ErrorValue{"agent", 1, "agent gone"});
            } else {
                done(0, Json{{"code", c.stopCode}}, std::nullopt);
            }
        };
        RavAvizaLoginHelper::sharedInstance().setPeers(peers);
        RavAvizaLoginHelper::sharedInstance().existNimbrel();
        EXPECT_EQ(accessAsked, c.running && c.access ? 1 : 0);
        EXPECT_EQ(stopAsked, c.running && c.access == 0 ? 1 : 0);
        if (c.line) {
            EXPECT_TRUE(capturedLog().contains(c.line));
        } else {
            EXPECT_FALSE(capturedLog().contains("Fenwick"));
        }
    }
}

TEST_F(LoginSessionTest, JoinedDomainNameComesFromTheDirectoryTool) {
    const std::string tool = paths::toolFolder() + "/dsconfigad";
    EXPECT_FALSE(RavAvizaLoginHelper::joinedDomainName());
    recordstest::writeScript(tool,
                             "#!/bin/sh\n[ \"$1\" = -show ] || exit 2\n"
                             "echo 'Active Directory Forest          = corp.example'\n"
                             "echo 'Active Directory Domain          = corp.example'\n"
                             "echo 'Computer Account                 = mc01$'\n");
    EXPECT_EQ(RavAvizaLoginHelper::joinedDomainName(), "corp.example");
    recordstest::writeScript(tool, "#!/bin/sh\necho 'Computer Account = x'\n");
    EXPECT_FALSE(RavAvizaLoginHelper::joinedDomainName());
}

TEST_F(LoginSessionTest, StateArchivesAreReplacedWithoutAGap) {
    configure(testsupport::closedPort(), testsupport::closedPort(), server_.port());
    ASSERT_TRUE(hux::UserStateFolder::write("netType.archive", "1"));
    // A reader (the daemon, the next request) must always find a whole file.
    std::atomic<bool> stop{false};
    std::atomic<int> gaps{0}, reads{0};
    std::thread reader([&] {
        while (!stop) {
            auto value = archive::unarchiveObjectWithFile(statePath("netType.archive"));
            if (!value) ++gaps;
            ++reads;
        }
    });
    for (int i = 0; i < 20; ++i) {
        std::atomic<int64_t> type{-1};
        RavAvizaLoginHelper::sharedInstance().Get_network_type([&](int64_t t) { type = t; });
        ASSERT_TRUE(runMainUntil([&] { return type != -1; }));
    }
    stop = true;
    reader.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(gaps, 0);
    EXPECT_EQ(stateString("netType.archive"), "0");
}
