#include "RavAvizaQZNLogin.h"

#include <atomic>

#include "common/logger/LogSink.h"
#include "JsonFields.h"

using common::processLog;

namespace hux {

namespace {

std::atomic<AccountManager*> gManager{nullptr};

Completion rewrapping(Completion complete) {
    return [complete = std::move(complete)](Reply reply, Error error) {
        complete(std::move(reply), rewrapError(error));
    };
}

}  // namespace

Error rewrapError(const Error& error) {
    if (!error) return std::nullopt;
    ErrorValue out{error->domain, error->code, error->failureReason};
    if (out.failureReason.empty()) out.failureReason = "Fail:code=" + std::to_string(error->code);
    return out;
}

AccountManager& RavAvizaQZNLogin::manager() {
    AccountManager* m = gManager.load();
    return m ? *m : AccountManager::shareManager();
}

void RavAvizaQZNLogin::setManager(AccountManager* manager) {
    gManager.store(manager);
}

void RavAvizaQZNLogin::createQRForSize(float size,
                                       const std::function<void(std::optional<QRImage>)>& complete) {
    complete(manager().createQRForString(size));
}

void RavAvizaQZNLogin::loginAccount(const Json& param, Completion complete) {
    manager().PostResquestDicWithParamDic(param, rewrapping(std::move(complete)));
}

void RavAvizaQZNLogin::startCheckQRLoginState(int64_t clientoper, Completion complete) {
    manager().checkQRLoginState(clientoper, rewrapping(std::move(complete)));
}

void RavAvizaQZNLogin::logoutAccount(const Json& param, Completion complete) {
    manager().loginOut(param, rewrapping(std::move(complete)));
}

void RavAvizaQZNLogin::ResetPasswordState(const Json& param, Completion complete) {
    manager().ResetPassword(param, rewrapping(std::move(complete)));
}

void RavAvizaQZNLogin::checkTicket(const std::string& ticket, Completion complete) {
    manager().checkTicketState(ticket, rewrapping(std::move(complete)));
}

void RavAvizaQZNLogin::GetgeneralConfig(Completion complete) {
    manager().GeneralConfig([complete = std::move(complete)](Reply reply, Error error) {
        if (reply && reply->is_object()) {
            auto encoded = fields::text(*reply, "data");
            auto decoded = encoded ? AccountManager::decodeSM4(*encoded) : std::nullopt;
            if (decoded) {
                (*reply)["data"] = std::move(*decoded);
            } else {
                reply->erase("data");
            }
        }
        complete(std::move(reply), rewrapError(error));
    });
}

void RavAvizaQZNLogin::GetNetWorkType(const std::function<void(int64_t)>& complete) {
    manager().NetWorkType([&complete](int64_t type) {
        if (type != 0 && type != 1) {
            processLog().writeLog(
                "[AccountManager] RavAviza networktpye is no network,The default is Intranet");
            type = 0;
        }
        complete(type);
    });
}

void RavAvizaQZNLogin::checkDomainAccount(
    const std::string& account, const std::string& domain,
    std::function<void(bool, std::optional<std::string>, Error)> completion) {
    manager().checkDomainAccount(account, domain, std::move(completion));
}

}  // namespace hux
