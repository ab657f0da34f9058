#include "LoginReplies.h"

#include "common/cipher/StringExtension.h"
#include "ui/session/login/HttpSession.h"
#include "ui/session/login/JsonFields.h"

namespace LoginReplies {

namespace {

using hux::Json;

// The description of an error as the screens show it.
Message errorMessage(const ErrorValue& error) {
    if (error.code == hux::AccountManager::kNoServerCode &&
        error.failureReason == hux::AccountManager::kNoServerText)
        return Message::key(error.failureReason);
    return Message::literal(error.failureReason);
}

const ErrorValue& notJsonError() {
    static const ErrorValue error{"NSCocoaErrorDomain", hux::HttpSession::kErrorNotJson,
                                  "The data couldn't be read because it isn't in the correct format."};
    return error;
}

std::string serverMsg(const Json& reply) {
    return hux::fields::textOrNumber(reply, "msg").value_or("");
}

int64_t errorcode(const Json& reply) {
    return hux::fields::integer(reply, "errorcode").value_or(0);
}

// "data"/"status"; a reply without it reads "data"/"state", which is what the session signs in by,
// so that a refused device is never shown as signed in. Neither present counts as 0.
int64_t status(const Json& reply) {
    const Json* data = hux::fields::member(reply, "data");
    if (!data) return 0;
    if (hux::fields::member(*data, "status")) return hux::fields::integer(*data, "status").value_or(0);
    return hux::fields::integer(*data, "state").value_or(0);
}

Decision show(Message message) {
    return {Decision::Show, std::move(message), {}};
}

Decision byStatus(const Json& reply) {
    const int64_t value = status(reply);
    if (value == 0) return {Decision::Success, {}, {}};
    if (auto message = statusMessage(value)) return show(*message);
    return {};
}

// A sign-in's status: success only when the session stored it.
Decision bySignInStatus(const Json& reply, bool signedIn) {
    const int64_t value = status(reply);
    if (value == 0) return signedIn ? Decision{Decision::Success, {}, {}} : show(Message::key("Faillogin"));
    if (auto message = statusMessage(value)) return show(*message);
    return {};
}

// The reply's "ret", or nothing when the reply holds no object with that number.
std::optional<int64_t> ret(const hux::Reply& reply) {
    if (!reply || !reply->is_object()) return std::nullopt;
    return hux::fields::integer(*reply, "ret");
}

}  // namespace

std::optional<Message> statusMessage(int64_t status) {
    switch (status) {
        case -8:
            return Message::key("Deviceapproved");
        case -7:
            return Message::key("Devicelogout");
        case -6:
            return Message::key("Devicerejected");
        case -5:
            return Message::key("Devicereview");
        case -4:
            return Message::key("DevicenoRegister");
        case -3:
            return Message::key("Faillogin");
        case -2:
            return Message::key("NotLogin");
        case -1:
            return Message::literal(
                "\xE4\xBA\x8C\xE7\xBB\xB4\xE7\xA0\x81\xE5\xB7\xB2\xE6\x89\xAB\xE6\x8F\x8F");  // 二维码已扫描
        default:
            return std::nullopt;
    }
}

Message loginErrorMessage(int64_t errorcode, const std::string& msg) {
    switch (errorcode) {
        case 6:
            return Message::key("AccountOrPwdError");
        case 15:
            return Message::key("Userblocked");
        case 16:
            return Message::key("Userexpired");
        case 24:
            return Message::key("Devicebound");
        case 25:
            return Message::key("Deviceblocked");
        default:
            return Message::literal(msg);
    }
}

std::optional<Message> noticeMessage(int caseNumber) {
    switch (caseNumber) {
        case 1:
            return Message::key("PwdInconsistent");
        case 2:
            return Message::key("PwdRuleTips");
        case 3:
            return Message::key("PwdNotEmpty");
        case 4:
            return Message::key("NOUseOldPwd");
        case 5:
            return Message::key("NOGetOldAcountInfo");
        default:
            return std::nullopt;
    }
}

Decision loginReply(const hux::Reply& reply, const hux::Error& error, bool signedIn) {
    if (!error && !ret(reply)) return show(Message::key("NoAccount"));
    if (error) {
        if (error->code == hux::HttpSession::kErrorNotJson) return show(Message::key("NoAccount"));
        return show(errorMessage(*error));
    }
    if (*ret(reply) != 0) {
        const int64_t code = errorcode(*reply);
        if (code == 20) return {Decision::ForcedChange, {}, {}};
        return show(loginErrorMessage(code, serverMsg(*reply)));
    }
    return bySignInStatus(*reply, signedIn);
}

Decision forcedChangeReply(const hux::Reply& reply, const hux::Error& error, bool signedIn) {
    if (error) return show(errorMessage(*error));
    if (!ret(reply)) return show(errorMessage(notJsonError()));
    if (*ret(reply) != 0) {
        if (errorcode(*reply) == 21) return show(Message::key("ModifyPwdFailedForOldPwdError"));
        return show(Message::literal(serverMsg(*reply)));
    }
    return bySignInStatus(*reply, signedIn);
}

Decision sheetReply(const hux::Reply& reply, const hux::Error& error) {
    if (error) return show(errorMessage(*error));
    if (!ret(reply)) return show(errorMessage(notJsonError()));
    const int64_t value = *ret(reply);
    if (value == -1) {
        if (errorcode(*reply) == 21) return show(Message::key("OldPwdError"));
        return show(Message::literal(serverMsg(*reply)));
    }
    if (value == 0) return byStatus(*reply);
    return show(Message::literal(serverMsg(*reply)));
}

Decision retrievalReply(const hux::Reply& reply, const hux::Error& error) {
    if (error) return show(errorMessage(*error));
    if (!ret(reply)) return show(errorMessage(notJsonError()));
    if (*ret(reply) != 0) {
        switch (errorcode(*reply)) {
            case 11:
                return show(Message::key("RequestParameterError"));
            case 42:
                return show(Message::key("UserNoMailbox"));
            case 43:
                return show(Message::key("AdminNoMailbox"));
            case 44:
                return show(Message::key("BackPwdMailSendFail"));
            default:
                return show(Message::literal(serverMsg(*reply)));
        }
    }
    std::string email;
    if (const Json* data = hux::fields::member(*reply, "data"))
        email = hux::fields::textOrNumber(*data, "user_email").value_or("");
    return {Decision::MailSent, {}, email};
}

bool passwordPasses(const std::string& password) {
    return Extension::confirmPassFormat(std::string_view(password));
}

}  // namespace LoginReplies
