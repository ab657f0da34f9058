#include "RavAvizaLoginHelper.h"

#include <cstdint>
#include <cstdio>
#include <future>
#include <random>
#include <span>

#include "JsonFields.h"
#include "RavAvizaQZNLogin.h"
#include "UserStateFolder.h"
#include "common/device/ITDevice.h"
#include "common/logger/LogSink.h"
#include "framework/encoding/MD5.h"
#include "framework/process/TaskHelper.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/paths/Paths.h"
#include "platform/process/ProcessList.h"

using calix::TaskHelper;
using common::AccountModel;
using common::ITDevice;
using common::processLog;

namespace hux {

namespace {

constexpr const char* kLoginFile = "login.archive";
constexpr const char* kUserPolicyFile = "userpolicy.archive";
constexpr const char* kGeneralConfigFile = "GeneralConfig.archive";
constexpr const char* kPolicyFile = "QZNPolicy.archive";
constexpr const char* kNetTypeFile = "netType.archive";
constexpr const char* kSoleIdFile = "soleid.archive";
constexpr const char* kUserPolicyRequest = "userPolicyRequest";

void log(const std::string& line) {
    processLog().writeLog(line);
}

// The fields of a successful sign-in: "data" with "state" 0, a non-empty "ticket" and a user id.
// Without them there is nothing to store, and so no sign-in.
struct SignIn {
    std::string username;
    std::string userid;
    std::string ticket;
};

std::optional<SignIn> signInFrom(const Json& reply) {
    const Json* data = fields::member(reply, "data");
    if (!data || fields::integer(*data, "state") != 0) return std::nullopt;
    auto ticket = fields::text(*data, "ticket");
    if (!ticket || ticket->empty()) return std::nullopt;
    auto userid = fields::textOrNumber(*data, "userid");
    if (!userid || userid->empty()) return std::nullopt;
    return SignIn{fields::textOrNumber(*data, "username").value_or(""), *userid, *ticket};
}

bool saveRecord(const SignIn& in, int64_t loginType) {
    AccountModel record;
    record.zemStatus = 0;
    record.username = in.username;
    record.userid = in.userid;
    record.setTicket(in.ticket);
    record.loginType = loginType;
    if (!record.save()) {
        log("[RavAvizaLoginHelper] RavAviza could not save login.archive");
        return false;
    }
    return true;
}

// "data" "state" of a reply; kNoState when there is no such number.
constexpr int64_t kNoState = INT64_MIN;
int64_t stateOf(const Json& reply) {
    const Json* data = fields::member(reply, "data");
    return data ? fields::integer(*data, "state").value_or(kNoState) : kNoState;
}

bool signsOut(int64_t state) {
    return state == -7 || state == -4 || state == -3 || state == -2;
}

// "ret" of a reply; nothing, with a log line, when the reply has no such number.
std::optional<int64_t> replyRet(const Reply& reply, const char* what) {
    auto ret = reply ? fields::integer(*reply, "ret") : std::nullopt;
    if (!ret) log(std::string("[RavAvizaLoginHelper] ") + what + ": the reply has no \"ret\" number");
    return ret;
}

std::optional<archive::Value> machineArchive(const char* name) {
    archive::DecodeLimits limits;
    limits.maxBytes = 8u << 20;
    auto decoded = archive::unarchiveObjectWithFile(paths::machineSupportFolder() + "/" + name, {}, limits);
    if (!decoded) return std::nullopt;
    return std::move(decoded.value);
}

const archive::Value* entry(const archive::Value& value, const char* key) {
    const auto* dict = value.dictionary();
    if (!dict) return nullptr;
    auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

// An integer entry, or a string holding one.
std::optional<int64_t> entryInteger(const archive::Value& value, const char* key) {
    const archive::Value* v = entry(value, key);
    if (!v) return std::nullopt;
    if (auto i = v->integer()) return i;
    if (const auto* s = v->string()) {
        try {
            size_t used = 0;
            long long n = std::stoll(*s, &used);
            if (used == s->size()) return n;
        } catch (...) {
        }
    }
    return std::nullopt;
}

bool nimbrelRunning() {
    return !proclist::processesRunning(paths::vpnAgentExecutable()).empty();
}

}  // namespace

archive::Value archiveValueFromJson(const Json& json) {
    switch (json.type()) {
        case Json::value_t::boolean:
            return json.get<bool>();
        case Json::value_t::number_integer:
            return json.get<int64_t>();
        case Json::value_t::number_unsigned:
            return static_cast<int64_t>(json.get<uint64_t>());
        case Json::value_t::number_float:
            return json.get<double>();
        case Json::value_t::string:
            return json.get<std::string>();
        case Json::value_t::array: {
            archive::Array out;
            for (const auto& item : json) out.push_back(archiveValueFromJson(item));
            return archive::Value(std::move(out));
        }
        case Json::value_t::object: {
            archive::Dictionary out;
            for (const auto& [key, item] : json.items()) out.emplace(key, archiveValueFromJson(item));
            return archive::Value(std::move(out));
        }
        default:
            return archive::Null{};
    }
}

RavAvizaLoginHelper& RavAvizaLoginHelper::sharedInstance() {
    static RavAvizaLoginHelper* helper = new RavAvizaLoginHelper();
    return *helper;
}

void RavAvizaLoginHelper::setPeers(SessionPeers peers) {
    std::lock_guard lock(mutex_);
    peers_ = std::move(peers);
}

SessionPeers RavAvizaLoginHelper::peers() const {
    std::lock_guard lock(mutex_);
    return peers_;
}

void RavAvizaLoginHelper::setLoginBlock(std::function<void(int)> block) {
    std::lock_guard lock(mutex_);
    loginBlock_ = std::move(block);
}

void RavAvizaLoginHelper::callLoginBlock(int value) {
    std::function<void(int)> block;
    {
        std::lock_guard lock(mutex_);
        block = loginBlock_;
    }
    if (block) block(value);
}

// Sign-in ------------------------------------------------------------------------------------

void RavAvizaLoginHelper::login(const Json& param, Completion complete) {
    login(param, [complete = std::move(complete)](Reply reply, Error error, bool) {
        if (complete) complete(std::move(reply), std::move(error));
    });
}

void RavAvizaLoginHelper::login(const Json& param, SignInCompletion complete) {
    createSoleidAndSave();
    RavAvizaQZNLogin::loginAccount(param, [this, complete = std::move(complete)](Reply reply, Error error) {
        if (error) {
            log(error->failureReason);
            return complete(std::move(reply), std::move(error), false);
        }
        bool signedIn = false;
        if (reply && signInFrom(*reply)) {
            // Set before the bookkeeping: its login block reads it. Undone when nothing was stored.
            const bool before = isCheckAndShow_.exchange(true);
            signedIn = loginSuccessToSaveAndLoadVPN(*reply);
            if (signedIn) {
                Get_GeneralQZNPolicy();
            } else {
                isCheckAndShow_ = before;
            }
        }
        complete(std::move(reply), std::nullopt, signedIn);
    });
}

void RavAvizaLoginHelper::resetPassword(const Json& param, Completion complete) {
    resetPassword(param, [complete = std::move(complete)](Reply reply, Error error, bool) {
        if (complete) complete(std::move(reply), std::move(error));
    });
}

void RavAvizaLoginHelper::resetPassword(const Json& param, SignInCompletion complete) {
    RavAvizaQZNLogin::ResetPasswordState(param,
                                         [this, complete = std::move(complete)](Reply reply, Error error) {
                                             if (error) {
                                                 log(error->failureReason);
                                                 return complete(std::move(reply), std::move(error), false);
                                             }
                                             bool signedIn = false;
                                             if (reply && signInFrom(*reply)) {
                                                 const bool before = isCheckAndShow_.exchange(true);
                                                 signedIn = loginSuccessToSaveAndLoadVPN(*reply);
                                                 if (!signedIn) isCheckAndShow_ = before;
                                             }
                                             complete(std::move(reply), std::nullopt, signedIn);
                                         });
}

void RavAvizaLoginHelper::retrievePassWordWithUserId(const std::string& userId, Completion complete) {
    RavAvizaQZNLogin::manager().retrievePassWord(Json{{"user_id", userId}}, std::move(complete));
}

bool RavAvizaLoginHelper::loginSuccessToSaveAndLoadVPN(const Json& reply) {
    auto in = signInFrom(reply);
    if (!in) return false;
    // A record that could not be stored is no sign-in: the daemon and every later start read it.
    if (!saveRecord(*in, 1)) return false;
    UserStateFolder::write(kUserPolicyFile, kUserPolicyRequest);
    if (auto run = peers().runTicketXPC) run();
    callLoginBlock(1);
    removeSoleID();
    return true;
}

// Sign-out -----------------------------------------------------------------------------------

void RavAvizaLoginHelper::logout(const Json& param, Completion complete) {
    dispatch::WorkQueue::global()->dispatch([this, param, complete = std::move(complete)]() mutable {
        RavAvizaQZNLogin::logoutAccount(
            param, [this, complete = std::move(complete)](Reply reply, Error error) {
                if (error) {
                    // The record may be gone already (signed out elsewhere): nothing to mark then.
                    if (auto record = AccountModel::currentModel()) {
                        record->islogout = 1;
                        record->save();
                    }
                    log("[RavAvizaLoginHelper] RavAviza logout fail because no network!!!");
                } else if (auto ret = replyRet(reply, "logout"); ret == 0) {
                    isCheckAndShow_ = false;
                    existNimbrel();
                    if (UserStateFolder::exists(kLoginFile)) {
                        AccountModel::deleteCurrentModel();
                        createSoleidAndSave();
                    }
                    if (auto close = peers().closeQznServerXpc) close();
                    callLoginBlock(0);
                }
                // Removed before the caller hears back, so what it sees is the settled state.
                UserStateFolder::remove(kUserPolicyFile);
                complete(std::move(reply), std::move(error));
            });
    });
}

void RavAvizaLoginHelper::localSignOut(const std::optional<AccountModel>& record) {
    if (!UserStateFolder::exists(kLoginFile) || !record || record->loginType == 3) return;
    AccountModel::deleteCurrentModel();
    existNimbrel();
    createSoleidAndSave();
    callLoginBlock(0);
}

// Polls ----------------------------------------------------------------------------------------

void RavAvizaLoginHelper::checkTicketStatus(Completion complete) {
    if (!iflogin()) return;
    auto record = AccountModel::currentModel();
    const std::string sent = record ? record->decryptTicket() : std::string();
    RavAvizaQZNLogin::checkTicket(
        sent, [this, record, sent, complete = std::move(complete)](Reply reply, Error error) {
            if (!error) {
                if (auto ret = replyRet(reply, "ticket check")) {
                    const Json* data = fields::member(*reply, "data");
                    const int64_t state = stateOf(*reply);
                    if (*ret != 0 || signsOut(state)) {
                        localSignOut(record);
                    } else if (state == 0) {
                        isCheckAndShow_ = true;
                        Get_GeneralQZNPolicy();
                        callLoginBlock(1);
                        auto ticket = fields::text(*data, "ticket");
                        if (ticket && !ticket->empty() && *ticket != sent) {
                            saveRecord(SignIn{fields::textOrNumber(*data, "username").value_or(""),
                                              fields::textOrNumber(*data, "userid").value_or(""), *ticket},
                                       1);
                        }
                    }
                }
            }
            complete(std::move(reply), std::move(error));
        });
}

void RavAvizaLoginHelper::CheckQRLoginState(Completion complete) {
    auto record = AccountModel::currentModel();
    const int64_t clientoper = (record && !record->userid.empty()) ? record->islogout : 0;
    RavAvizaQZNLogin::startCheckQRLoginState(
        clientoper, [this, record, complete = std::move(complete)](Reply reply, Error error) {
            if (error) {
                Get_network_type();
            } else if (replyRet(reply, "QR state") == 0) {
                const int64_t state = stateOf(*reply);
                if (auto in = signInFrom(*reply)) {
                    isCheckAndShow_ = true;
                    saveRecord(*in, 2);
                    UserStateFolder::write(kUserPolicyFile, kUserPolicyRequest);
                    auto p = peers();
                    if (p.runTicketXPC) p.runTicketXPC();
                    callLoginBlock(1);
                    if (p.admissionFollowUp) p.admissionFollowUp(in->userid, in->ticket);
                } else if (signsOut(state)) {
                    localSignOut(record);
                }
            }
            complete(std::move(reply), std::move(error));
        });
}

std::optional<QRImage> RavAvizaLoginHelper::getCurrentQR(float size) {
    auto promise = std::make_shared<std::promise<std::optional<QRImage>>>();
    auto future = promise->get_future();
    dispatch::WorkQueue::global()->dispatch([promise, size] {
        RavAvizaQZNLogin::createQRForSize(
            size, [&promise](std::optional<QRImage> image) { promise->set_value(std::move(image)); });
    });
    if (future.wait_for(std::chrono::seconds(3)) != std::future_status::ready) return std::nullopt;
    return future.get();
}

// Server state ---------------------------------------------------------------------------------

void RavAvizaLoginHelper::Get_network_type(std::function<void(int64_t)> done) {
    dispatch::WorkQueue::global()->dispatch([this, done = std::move(done)] {
        RavAvizaQZNLogin::GetNetWorkType([this, &done](int64_t type) {
            creatNetworkTpye(type);
            if (auto record = AccountModel::currentModel()) {
                const int64_t wanted = type != 0 ? 1 : 0;
                if ((record->networkType != 0) != (wanted != 0)) {
                    record->networkType = wanted;
                    record->save();
                }
            }
            if (done) done(type);
        });
    });
}

void RavAvizaLoginHelper::creatNetworkTpye(int64_t type) {
    char text[32];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(type));
    UserStateFolder::write(kNetTypeFile, std::string(text));
}

void RavAvizaLoginHelper::pingServerToResult(std::function<void(bool)> result) {
    RavAvizaQZNLogin::manager().pingServerResult(std::move(result));
}

void RavAvizaLoginHelper::Get_GeneralQZNPolicy(std::function<void()> done) {
    dispatch::WorkQueue::global()->dispatch([done = std::move(done)]() mutable {
        RavAvizaQZNLogin::manager().GetGeneralQZNPolicyRep(
            [done = std::move(done)](Reply reply, Error error) {
                if (!error && reply) {
                    if (auto code = fields::integer(*reply, "code"); code == 0) {
                        UserStateFolder::write(kPolicyFile, archiveValueFromJson(*reply));
                    } else if (!code) {
                        log("[RavAvizaLoginHelper] RavAviza QZN policy reply has no \"code\" number");
                    }
                }
                if (done) done();
            });
    });
}

void RavAvizaLoginHelper::Get_Save_Config(std::function<void()> done) {
    RavAvizaQZNLogin::GetgeneralConfig([done = std::move(done)](Reply reply, Error error) {
        if (error) {
            log("[RavAvizaLoginHelper] RavAviza get General fail!!!");
        } else if (replyRet(reply, "general configuration") == 0) {
            if (const Json* data = fields::member(*reply, "data")) {
                UserStateFolder::write(kGeneralConfigFile, archiveValueFromJson(*data));
            } else {
                UserStateFolder::remove(kGeneralConfigFile);
            }
            log("[RavAvizaLoginHelper] RavAviza get General Success!!!");
        }
        if (done) done();
    });
}

void RavAvizaLoginHelper::checkDomainAccount(
    const std::string& account, const std::string& domain,
    std::function<void(bool, std::optional<std::string>, Error)> completion) {
    RavAvizaQZNLogin::checkDomainAccount(account, domain, std::move(completion));
}

// VPN -----------------------------------------------------------------------------------------

void RavAvizaLoginHelper::existNimbrel() {
    const SessionPeers p = peers();
    const bool running = p.vpnRunning ? p.vpnRunning() : nimbrelRunning();
    if (!running) return;
    auto stop = p.stopAgent;
    auto onAccess = [stop](int64_t result) {
        if (result != 0) {
            log("[RavAvizaLoginHelper] RavAviza Fenwick Access Fail!!!");
            return;
        }
        if (!stop) return;
        stop([](int64_t, Reply reply, Error error) {
            if (error) {
                log("[RavAvizaLoginHelper] RavAviza Fenwick Stop Fail: " + error->failureReason);
                return;
            }
            const int64_t code = reply ? fields::integer(*reply, "code").value_or(-1) : -1;
            if (code == 0) {
                log("[RavAvizaLoginHelper] RavAviza Fenwick Stop Success!!!");
            } else {
                log("[RavAvizaLoginHelper] RavAviza Fenwick Stop Fail:code = " + std::to_string(code));
            }
        });
    };
    if (p.requestAccess) {
        p.requestAccess(onAccess);
    } else {
        onAccess(1);
    }
}

void RavAvizaLoginHelper::reloadNimbrel() {
    UserStateFolder::write(kUserPolicyFile, kUserPolicyRequest);
}

// Nonce ---------------------------------------------------------------------------------------

std::string RavAvizaLoginHelper::getNowTimestamp() {
    return AccountManager::getNowTimeTimestamp();
}

std::string RavAvizaLoginHelper::stringToMD5(const std::string& text) {
    const std::string hex = MD5::MD5HexDigest(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    return hex.size() >= 23 ? hex.substr(7, 16) : std::string();
}

void RavAvizaLoginHelper::createSoleidAndSave() {
    if (UserStateFolder::exists(kSoleIdFile) || iflogin()) return;
    std::random_device random;
    const uint32_t r = static_cast<uint32_t>(random()) % 99999999u + 1;
    auto& device = ITDevice::currentDevice();
    std::string macs;
    for (const auto& mac : device.macAddresses()) macs += (macs.empty() ? "" : ";") + mac;
    const std::string text =
        device.machineName() + getNowTimestamp() + std::to_string(r) + device.uuid() + macs;
    UserStateFolder::write(kSoleIdFile, stringToMD5(text));
}

std::optional<std::string> RavAvizaLoginHelper::getSoleID() {
    return UserStateFolder::readString(kSoleIdFile);
}

void RavAvizaLoginHelper::removeSoleID() {
    UserStateFolder::remove(kSoleIdFile);
}

// Queries -------------------------------------------------------------------------------------

bool RavAvizaLoginHelper::iflogin() {
    auto record = AccountModel::currentModel();
    return record && !record->userid.empty() && !record->decryptTicket().empty();
}

bool RavAvizaLoginHelper::ifOldLogin() {
    return UserStateFolder::exists(kLoginFile) && !iflogin();
}

bool RavAvizaLoginHelper::isDomainAutoLogin() {
    auto record = AccountModel::currentModel();
    return record && record->loginType == 3;
}

int64_t RavAvizaLoginHelper::currentLoginType() {
    auto record = AccountModel::currentModel();
    return record ? record->loginType : 0;
}

bool RavAvizaLoginHelper::isHideTray() {
    auto value = machineArchive("hidezemswitch.archive");
    return value && value->string() && *value->string() == "1";
}

bool RavAvizaLoginHelper::iShowOTP() {
    auto value = machineArchive("userlogin.archive");
    if (!value) return false;
    const archive::Value* flag = entry(*value, "double_factor_auth");
    if (!flag) return false;
    if (const auto* s = flag->string()) return *s == "1";
    return flag->integer() == 1;
}

bool RavAvizaLoginHelper::selectBtnTag() {
    auto value = machineArchive("userlogin.archive");
    if (!value) return false;
    return entryInteger(*value, "pc_account_login") == 1 && entryInteger(*value, "qrcode_login") == 0;
}

std::optional<archive::Value> RavAvizaLoginHelper::AppMgrList() {
    return machineArchive("appmgrlist.archive");
}

std::optional<archive::Value> RavAvizaLoginHelper::TrustedsAppList() {
    auto value = machineArchive("qzncloudlist.archive");
    if (!value) return std::nullopt;
    const archive::Value* list = entry(*value, "trustedapp");
    if (!list) return std::nullopt;
    return *list;
}

std::optional<std::string> RavAvizaLoginHelper::joinedDomainName() {
    std::string out;
    ErrorValue error;
    TaskHelper::sharedInstance().excuteTaskPath(paths::toolFolder() + "/dsconfigad", {"-show"},
                                                std::chrono::seconds(10), &out, &error);
    if (!error.failureReason.empty() && out.empty()) {
        log("Check join domain script excute failed with error: " + error.failureReason);
        return std::nullopt;
    }
    // The fifth blank-separated word of each "Active Directory Domain" line.
    std::string name;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        if (line.find("Active Directory Domain") != std::string::npos) {
            std::vector<std::string> words;
            size_t i = 0;
            while (i < line.size()) {
                while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
                size_t j = i;
                while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
                if (j > i) words.push_back(line.substr(i, j - i));
                i = j;
            }
            name += (words.size() >= 5 ? words[4] : std::string()) + "\n";
        }
        start = end + 1;
    }
    while (!name.empty() && name.back() == '\n') name.pop_back();
    if (name.empty()) return std::nullopt;
    return name;
}

}  // namespace hux
