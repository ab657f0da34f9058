#include "ClientAccountManager.h"

#include <qrencode.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "common/account/AccountManager.h"
#include "common/account/AccountModel.h"
#include "common/device/ITDevice.h"
#include "common/logger/LogSink.h"
#include "BodyCodec.h"
#include "JsonFields.h"
#include "RavAvizaQZNLogin.h"
#include "UserStateFolder.h"
#include "ZemAnalyseDomain.h"
#include "ZemUrlEncode.h"
#include "common/server/ZemServerConfig.h"

using common::AccountManager;
using common::AccountModel;
using common::ITDevice;
using common::ZemServerConfig;
using common::processLog;

namespace hux {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

void log(const std::string& line) {
    processLog().writeLog(line);
}

std::string describe(const ErrorValue& error) {
    return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) +
           (error.failureReason.empty() ? "" : " \"" + error.failureReason + "\"");
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ";") + item;
    return out;
}

bool extranetChosen() {
    auto type = UserStateFolder::readString("netType.archive");
    return type && *type == "1";
}

}  // namespace

std::optional<std::string> AcountIP_Config(ZemServerConfig& config) {
    return extranetChosen() ? config.extranet_server() : config.intranet_server();
}

uint64_t AcountIP_Port(ZemServerConfig& config) {
    return extranetChosen() ? config.extranet_port() : config.intranet_port();
}

AccountManager& AccountManager::shareManager() {
    static AccountManager* manager =
        new AccountManager(ZemServerConfig::sharedInstance(), dispatch::WorkQueue::main());
    return *manager;
}

AccountManager::AccountManager(ZemServerConfig& config, std::shared_ptr<dispatch::WorkQueue> completionQueue)
    : config_(config),
      sessionMgr_(std::make_unique<HttpSession>(dispatch::WorkQueue::create("com.velmora.Login"),
                                                std::move(completionQueue))) {}

Error AccountManager::noServerError() {
    return ErrorValue{"NSURLErrorDomain", kNoServerCode, kNoServerText};
}

std::optional<std::string> AccountManager::GetReqeustUrlWithPath(const std::string& path) {
    config_.readServerConfig();
    if (!config_.intranet_server() || config_.intranet_port() == 0) {
        log("Service Config no compliance,UrlStr==nil");
        return std::nullopt;
    }
    auto host = AcountIP_Config(config_);
    return "http://" + host.value_or(ZemServerConfig::kMissingHost) + ":" +
           std::to_string(AcountIP_Port(config_)) + path;
}

std::string AccountManager::requestUrlWithPath(const std::string& path) {
    config_.readServerConfig();
    ZemAnalyseDomain::sharedInstance().analyseServerConfig(config_.domain_server().value_or(""));
    auto host = AcountIP_Config(config_);
    return "http://" + host.value_or(ZemServerConfig::kMissingHost) + ":" +
           std::to_string(AcountIP_Port(config_)) + path;
}

std::string AccountManager::getSoleID() {
    std::string soleid = UserStateFolder::readString("soleid.archive").value_or("");
    log("[AccountManager] RavAviza get soleID:" + soleid);
    return soleid;
}

std::string AccountManager::getNowTimeTimestamp() {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    char text[32];
    std::snprintf(text, sizeof text, "%0.f", now);
    return text;
}

void AccountManager::GetMacAndIP() {
    auto& device = ITDevice::currentDevice();
    std::string mac = joined(device.macAddresses());
    std::string ip = joined(device.ipArray());
    std::lock_guard lock(mutex_);
    login_Mac_ = std::move(mac);
    login_ip_ = std::move(ip);
}

std::string AccountManager::login_Mac() const {
    std::lock_guard lock(mutex_);
    return login_Mac_;
}

std::string AccountManager::login_ip() const {
    std::lock_guard lock(mutex_);
    return login_ip_;
}

Json AccountManager::deviceFields() {
    GetMacAndIP();
    auto& device = ITDevice::currentDevice();
    return Json{{"device_type", "PC"},
                {"deviceid", device.uuid()},
                {"hostname", device.machineName()},
                {"ip", login_ip()},
                {"mac", login_Mac()},
                {"os", device.osName()},
                {"timestamp", getNowTimeTimestamp()},
                {"soleid", getSoleID()}};
}

std::optional<std::string> AccountManager::encryptResquestParams(const Json& param) {
    return ClientBody::encryptResquestParams(param);
}

std::optional<Json> AccountManager::decodeSM4(const std::string& text) {
    return ClientBody::decodeSM4(text);
}

std::optional<std::string> AccountManager::createAccountUrl(const Json& param) {
    Json body = deviceFields();
    const std::string otp = fields::text(param, "otp").value_or("");
    if (!otp.empty()) body["otp"] = otp;
    body["logintype"] = otp.empty() ? 0 : 1;
    body["password"] = fields::text(param, "password").value_or("");
    body["userid"] = fields::text(param, "userid").value_or("");
    return encryptResquestParams(body);
}

std::optional<std::string> AccountManager::encodeResetPassword(const Json& param) {
    Json body = deviceFields();
    body["userid"] = fields::text(param, "userid").value_or("");
    body["old_password"] = fields::text(param, "old_password").value_or("");
    body["password"] = fields::text(param, "password").value_or("");
    body["logintype"] = 0;
    return encryptResquestParams(body);
}

std::optional<std::string> AccountManager::checkTicketParam(const std::string& ticket) {
    GetMacAndIP();
    auto record = AccountModel::currentModel();
    Json body{{"ticket", ticket},
              {"hostname", ITDevice::currentDevice().machineName()},
              {"mac", login_Mac()},
              {"userid", record ? record->userid : std::string()},
              {"deviceid", ITDevice::currentDevice().uuid()}};
    return encryptResquestParams(body);
}

Json AccountManager::checkStatusParam(int64_t clientoper) {
    GetMacAndIP();
    return Json{{"hostname", ITDevice::currentDevice().machineName()},
                {"deviceid", ITDevice::currentDevice().uuid()},
                {"mac", login_Mac()},
                {"clientoper", clientoper},
                {"soleid", getSoleID()}};
}

void AccountManager::sendEncrypted(const std::string& url, std::string body, milliseconds timeout,
                                   std::function<void(HttpReply)> done) {
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.body = std::move(body);
    request.timeout = timeout;
    sessionMgr_->send(std::move(request), std::move(done));
}

void AccountManager::get(const std::string& url, milliseconds timeout, std::function<void(HttpReply)> done) {
    HttpRequest request;
    request.url = url;
    request.timeout = timeout;
    sessionMgr_->send(std::move(request), std::move(done));
}

namespace {

// The standard shape of the encrypted POSTs: failure line, success line, reply or error.
std::function<void(HttpReply)> relay(std::string failure, std::string success, Completion complete) {
    return [failure = std::move(failure), success = std::move(success),
            complete = std::move(complete)](HttpReply reply) {
        if (reply.error) {
            log(failure + describe(*reply.error));
            complete(std::nullopt, std::move(reply.error));
            return;
        }
        log(success);
        complete(std::move(reply.json), std::nullopt);
    };
}

Error encodingError() {
    return ErrorValue{"NSCocoaErrorDomain", 3851, "The request body could not be encoded."};
}

}  // namespace

void AccountManager::PostResquestDicWithParamDic(const Json& param, Completion complete) {
    auto body = createAccountUrl(param);
    auto url = GetReqeustUrlWithPath("/api/public/clientlogin/account_login");
    if (!url) return complete(std::nullopt, noServerError());
    if (!body) return complete(std::nullopt, encodingError());
    log("[AccountManager] RavAviza account login url:" + *url + " param:" + *body);
    sendEncrypted(*url, std::move(*body), seconds(20),
                  relay("Account login faild with error:", "[AccountManager] RavAviza login success in xpc",
                        std::move(complete)));
}

void AccountManager::checkQRLoginState(int64_t clientoper, Completion complete) {
    Json param = checkStatusParam(clientoper);
    auto url = GetReqeustUrlWithPath("/api/public/clientlogin/scan_status");
    if (!url) return complete(std::nullopt, noServerError());
    log("[AccountManager] RavAviza check QR stauts url:" + *url);
    HttpRequest request;
    request.method = "POST";
    request.url = *url;
    request.body = param.dump();
    request.headers = {"Content-Type: application/json"};
    request.timeout = seconds(2);
    sessionMgr_->send(std::move(request), [complete = std::move(complete)](HttpReply reply) {
        if (reply.error) {
            log("Check QR status faild with error:" + describe(*reply.error));
            return complete(std::nullopt, std::move(reply.error));
        }
        complete(std::move(reply.json), std::nullopt);
    });
}

void AccountManager::loginOut(const Json& param, Completion complete) {
    auto body = encryptResquestParams(param);
    auto url = GetReqeustUrlWithPath("/api/public/clientlogin/logout");
    if (!url) return complete(std::nullopt, noServerError());
    if (!body) return complete(std::nullopt, encodingError());
    log("[AccountManager] RavAviza logout url:" + *url);
    sendEncrypted(
        *url, std::move(*body), seconds(20),
        relay("RavAviza logout faild with error:", " RavAviza logout response success", std::move(complete)));
}

void AccountManager::ResetPassword(const Json& param, Completion complete) {
    auto body = encodeResetPassword(param);
    auto url = GetReqeustUrlWithPath("/api/public/clientlogin/resetpass");
    if (!url) return complete(std::nullopt, noServerError());
    if (!body) return complete(std::nullopt, encodingError());
    log("[AccountManager] RavAviza resetpassword url:" + *url);
    sendEncrypted(*url, std::move(*body), seconds(20),
                  relay("RavAviza resetpassword faild with error:",
                        "[AccountManager] RavAviza resetpassword success in xpc", std::move(complete)));
}

void AccountManager::retrievePassWord(const Json& param, Completion complete) {
    auto body = encryptResquestParams(param);
    auto url = GetReqeustUrlWithPath("/api/public/clientlogin/retrieve_password");
    if (!url) return complete(std::nullopt, rewrapError(noServerError()));
    if (!body) return complete(std::nullopt, rewrapError(encodingError()));
    log("[AccountManager] RavAviza retrievePassWord url:" + *url);
    sendEncrypted(*url, std::move(*body), seconds(20), [complete = std::move(complete)](HttpReply reply) {
        if (reply.error) {
            log("RavAviza retrievePassWord faild with error:" + describe(*reply.error));
            return complete(std::nullopt, rewrapError(reply.error));
        }
        log(" RavAviza retrievePassWord response success");
        complete(std::move(reply.json), std::nullopt);
    });
}

void AccountManager::checkTicketState(const std::string& ticket, Completion complete) {
    auto body = checkTicketParam(ticket);
    auto url = GetReqeustUrlWithPath("/api/public/clientlogin/ticket_auth");
    if (!url) return complete(std::nullopt, noServerError());
    if (!body) return complete(std::nullopt, encodingError());
    log("[AccountManager] RavAviza check ticket status url:" + *url + " param:" + *body);
    sendEncrypted(*url, std::move(*body), seconds(3),
                  relay("checkTicketState faild with error:", "Check ticket success", std::move(complete)));
}

void AccountManager::checkDomainAccount(
    const std::string& account, const std::string& domain,
    std::function<void(bool, std::optional<std::string>, Error)> completion) {
    GetMacAndIP();
    Json param{{"uid", account},
               {"dc", domain},
               {"deviceid", ITDevice::currentDevice().uuid()},
               {"mac", login_Mac()}};
    const std::string url = requestUrlWithPath("/api/public/clientlogin/ad_auth");
    auto body = encryptResquestParams(param);
    if (!body) return completion(false, std::nullopt, encodingError());
    sendEncrypted(url, std::move(*body), seconds(20), [completion = std::move(completion)](HttpReply reply) {
        if (reply.error) {
            log("Check Domain account failed with error: " + describe(*reply.error));
            return completion(false, std::nullopt, std::move(reply.error));
        }
        const Json& json = *reply.json;
        if (fields::integer(json, "ret") != 0) {
            if (!fields::integer(json, "ret")) log("Check Domain account: the reply has no \"ret\" number");
            return completion(false, std::nullopt, std::nullopt);
        }
        std::optional<std::string> name;
        if (const Json* data = fields::member(json, "data"); data && data->is_object()) {
            name = fields::text(*data, "user_name").value_or("");
        }
        log("CHECK DOMAIN ACCOUNT SUCCESS");
        completion(true, std::move(name), std::nullopt);
    });
}

void AccountManager::GeneralConfig(Completion complete) {
    auto url = GetReqeustUrlWithPath("/api/public/client/start_config");
    if (!url) return complete(std::nullopt, noServerError());
    get(*url, seconds(3), [complete = std::move(complete)](HttpReply reply) {
        if (reply.error) {
            log("Get Config faild with error:" + describe(*reply.error));
            return complete(std::nullopt, std::move(reply.error));
        }
        complete(std::move(reply.json), std::nullopt);
    });
}

void AccountManager::GetGeneralQZNPolicyRep(Completion complete) {
    auto url = GetReqeustUrlWithPath("/zem/qznpolicy?ostype=mac");
    if (!url) return complete(std::nullopt, noServerError());
    get(*url, seconds(3), [complete = std::move(complete)](HttpReply reply) {
        if (reply.error) {
            log("Get QZN Policy faild with error:" + describe(*reply.error));
            return complete(std::nullopt, std::move(reply.error));
        }
        Json copy = std::move(*reply.json);
        if (copy.is_object()) {
            for (const char* key : {"data", "office_data"}) {
                auto encoded = fields::text(copy, key);
                auto decoded = encoded ? decodeSM4(*encoded) : std::nullopt;
                if (decoded) {
                    copy[key] = std::move(*decoded);
                } else {
                    copy.erase(key);
                }
            }
        }
        log("Get QZN Policy success with reponse:" + copy.dump());
        complete(std::move(copy), std::nullopt);
    });
}

void AccountManager::pingServerResult(std::function<void(bool)> result) {
    config_.updateServerConfig();
    auto url = GetReqeustUrlWithPath("/zem/ping");
    if (!url) return result(false);
    get(*url, seconds(5), [result = std::move(result)](HttpReply reply) {
        if (reply.error) {
            log("ping server faild with error:" + describe(*reply.error));
            return result(false);
        }
        log("ping server success with response:" + reply.json->dump());
        result(true);
    });
}

void AccountManager::NetWorkType(const std::function<void(int64_t)>& completion) {
    ::AccountManager::shareManager().NetWorkType(config_, completion);
}

std::optional<std::string> AccountManager::createQRPath() {
    Json body = deviceFields();
    body["login_user"] = ITDevice::currentDevice().userName();
    auto encoded = encryptResquestParams(body);
    if (!encoded) return std::nullopt;
    const std::string text = ZemUrlEncode::urlencodWithData(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(encoded->data()), encoded->size()));
    config_.readServerConfig();
    auto domain = config_.domain_server();
    const uint64_t port = config_.domain_port();
    if (!domain || port == 0) return std::nullopt;
    auto& analysis = ZemAnalyseDomain::sharedInstance();
    analysis.analyseServerConfig(*domain);
    return "https://" + analysis.domain_config() + ":" + std::to_string(port) + analysis.path_config() +
           "/api/public/clientlogin/scan_login?v=" + text;
}

std::optional<QRImage> AccountManager::createQRForString(float size) {
    auto text = createQRPath();
    if (!text) return std::nullopt;
    log("[AccountManager] RavAviza create QR string:" + *text);
    QRcode* code = QRcode_encodeString(text->c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code) return std::nullopt;
    const int modules = code->width;
    const double scale = size / static_cast<double>(modules);
    QRImage image;
    image.width = image.height = static_cast<int>(std::floor(modules * scale));
    if (image.width <= 0) {
        QRcode_free(code);
        return std::nullopt;
    }
    image.pixels.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height));
    // Nearest module for each pixel: sharp edges, no interpolation.
    for (int y = 0; y < image.height; ++y) {
        const int my = std::min(modules - 1, static_cast<int>(y / scale));
        for (int x = 0; x < image.width; ++x) {
            const int mx = std::min(modules - 1, static_cast<int>(x / scale));
            const bool dark = code->data[my * modules + mx] & 1;
            image.pixels[static_cast<size_t>(y) * static_cast<size_t>(image.width) + x] = dark ? 0 : 255;
        }
    }
    QRcode_free(code);
    return image;
}

}  // namespace hux
