#include "ZemCheck.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>

#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"

using calix::TaskHelper;
using common::AccountModel;
using common::processLog;

namespace {

using namespace std::chrono_literals;

constexpr const char* kFindmnt = "/usr/bin/findmnt";
constexpr const char* kLsblk = "/usr/bin/lsblk";
constexpr const char* kSystemctl = "/usr/bin/systemctl";
constexpr const char* kRealm = "/usr/sbin/realm";
constexpr const char* kId = "/usr/bin/id";
constexpr const char* kGetent = "/usr/bin/getent";

std::string withoutLineBreaks(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }),
               text.end());
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t lead = line.find_first_not_of(" \t");
        if (lead != std::string::npos) lines.push_back(line.substr(lead));
        start = end + 1;
    }
    return lines;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<uint32_t> hex4(const std::string& s, size_t at) {
    if (at + 4 > s.size()) return std::nullopt;
    uint32_t v = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const char c = s[i];
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v |= static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v |= static_cast<uint32_t>(c - 'A' + 10);
        else
            return std::nullopt;
    }
    return v;
}

// The content of a quoted property-list string in text form: backslash escapes, "\U" followed by
// four hexadecimal digits as a UTF-16 unit (surrogate pairs joined).
std::string decodeQuotedPlistString(const std::string& body) {
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c != '\\' || i + 1 >= body.size()) {
            out += c;
            continue;
        }
        const char e = body[++i];
        switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'U': {
                auto unit = hex4(body, i + 1);
                if (!unit) {
                    out += e;
                    break;
                }
                i += 4;
                uint32_t cp = *unit;
                if (cp >= 0xD800 && cp < 0xDC00 && i + 6 < body.size() + 1 &&
                    body.compare(i + 1, 2, "\\U") == 0) {
                    if (auto low = hex4(body, i + 3); low && *low >= 0xDC00 && *low < 0xE000) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                        i += 6;
                    }
                }
                if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;  // a lone surrogate
                appendUtf8(out, cp);
                break;
            }
            default:
                out += e;
                break;
        }
    }
    return out;
}

// The account record of the signed-in user (login.archive).
class LoginArchiveStore : public AccountRecordStore {
  public:
    bool exists() override { return AccountModel::currentModel().has_value(); }
    bool saveDomainAccount(const std::string& uid, const std::string& userName,
                           const std::string& domainName) override {
        AccountModel model;
        model.zemStatus = 0;
        model.userid = uid;
        model.username = userName;
        model.loginType = 3;
        model.domainName = domainName;
        return model.save();
    }
};

}  // namespace

CheckCommandResult UiCommandRunner::run(const std::string& path, const std::vector<std::string>& args) {
    std::string output;
    ErrorValue error;
    auto handle = TaskHelper::sharedInstance().excuteTaskPath(path, args, kDeadline, &output, &error);
    CheckCommandResult result;
    if (!handle && error.failureReason.empty()) {
        result.error = path + ": no such program";
    } else if (!error.failureReason.empty()) {
        result.error = error.failureReason;
    } else if (!output.empty()) {
        result.output = output;
    }
    return result;
}

ZemCheck& ZemCheck::sharedInstance() {
    static ZemCheck* instance = new ZemCheck(Options{});  // lives for the whole process
    return *instance;
}

ZemCheck::ZemCheck(Options options) : options_(std::move(options)) {
    if (!options_.runner) options_.runner = std::make_shared<UiCommandRunner>();
    if (!options_.accounts) options_.accounts = std::make_shared<LoginArchiveStore>();
    mainQueue_ = options_.mainQueue ? options_.mainQueue : dispatch::WorkQueue::main();
}

ZemCheck::~ZemCheck() {
    mainQueue_->dispatchSync([this] {
        stopTimer();
        alive_.reset();
    });
}

void ZemCheck::setDomainAccountChecker(std::shared_ptr<DomainAccountChecker> checker) {
    onMain([this, checker = std::move(checker)]() mutable { checker_ = std::move(checker); });
}

void ZemCheck::log(const std::string& line) {
    (options_.log ? *options_.log : processLog()).writeLog(line, 1);
}

void ZemCheck::onMain(dispatch::Task task) {
    if (mainQueue_->isCurrent()) {
        task();
    } else {
        mainQueue_->dispatch(std::move(task));
    }
}

void ZemCheck::checkWithModel(ZemCheckModel& item) {
    static const std::map<std::string, void (ZemCheck::*)(ZemCheckModel&)> kOperations = {
        {"checkFileVault:", &ZemCheck::checkFileVault},
        {"checkFireWall:", &ZemCheck::checkFireWall},
        {"checkJoinDomain:", &ZemCheck::checkJoinDomain},
        {"checkZemVersion:", &ZemCheck::checkZemVersion},
        {"checkPasswordSecurity:", &ZemCheck::checkPasswordSecurity},
    };
    if (item.selectorName.empty()) return;
    auto found = kOperations.find(item.selectorName);
    if (found != kOperations.end()) (this->*found->second)(item);
}

void ZemCheck::report(ZemCheckModel& item) {
    if (item.mainKey.empty()) {
        log("[ZemCheck] " + item.selectorName + " has no mainKey; not reported");
        return;
    }
    postNotfication(item.mainKey, item);
}

void ZemCheck::postNotfication(const std::string& mainKey, const ZemCheckModel& item) {
    dispatch::NotificationCenter* center =
        options_.center ? options_.center : &dispatch::NotificationCenter::defaultCenter();
    archive::Value object = archive::Dictionary{{mainKey, item.encode()}};
    mainQueue_->dispatch(
        [center, object = std::move(object)] { center->post(kCheckNotificationName, object); });
}

std::optional<std::string> ZemCheck::requirement(const std::string& key) const {
    const std::string path = options_.requirementPath.empty()
                                 ? paths::machineSupportFolder() + "/complianceInfo"
                                 : options_.requirementPath;
    archive::DecodeLimits limits;
    limits.maxBytes = 1u << 20;
    auto decoded = archive::unarchiveObjectWithFile(path, {}, limits);
    if (!decoded) return std::nullopt;
    const archive::Value* access = decoded.value->find("access");
    if (!access) return std::nullopt;
    const archive::Value* value = access->find(key);
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

std::optional<std::string> ZemCheck::installedVersion() const {
    const std::string bundle = options_.appBundle.empty() ? paths::uiAppBundle() : options_.appBundle;
    auto info = archive::readPlistFile(bundle + "/Contents/Info.plist", nullptr, 1u << 20);
    if (!info) return std::nullopt;
    const archive::Value* version = info->find("CFBundleVersion");
    if (!version || !version->string()) return std::nullopt;
    return *version->string();
}

void ZemCheck::checkFileVault(ZemCheckModel& item) {
    log("[ZemCheck]Start check FileVault");
    // The device under the root file system and the devices it stacks on; "crypt" among their
    // types means the root file system is encrypted.
    std::optional<std::string> status;
    CheckCommandResult source = options_.runner->run(kFindmnt, {"-n", "-o", "SOURCE", "/"});
    if (source.output) {
        const std::vector<std::string> lines = linesOf(*source.output);
        if (!lines.empty()) {
            CheckCommandResult stack =
                options_.runner->run(kLsblk, {"-n", "-s", "-o", "TYPE", lines.front()});
            status = stack.output;
        }
    }
    log("[ZemCheck] " + status.value_or("(null)"));
    bool encrypted = false;
    if (status) {
        for (const std::string& type : linesOf(*status)) encrypted = encrypted || type == "crypt";
    }
    item.isWarn = !encrypted;
    report(item);
}

void ZemCheck::checkFireWall(ZemCheckModel& item) {
    log("[ZemCheck]Start check FireWall");
    CheckCommandResult state = options_.runner->run(
        kSystemctl, {"is-active", "ufw.service", "firewalld.service", "nftables.service"});
    if (!state.output || state.error) {
        log("[ZemCheck] check FireWall failed : " + state.error.value_or("(null)"));
        item.isWarn = true;
    } else {
        log("[ZemCheck] check FireWall state : " + *state.output);
        const std::vector<std::string> lines = linesOf(*state.output);
        item.isWarn = std::find(lines.begin(), lines.end(), "active") == lines.end();
    }
    report(item);
}

void ZemCheck::checkJoinDomain(ZemCheckModel& item) {
    const std::optional<std::string> required = requirement("ent_domain");
    log("[ZemCheck] Start check JoinDomain");
    CheckCommandResult realms = options_.runner->run(kRealm, {"list", "--name-only"});
    log("[ZemCheck] check JoinDomain state : " + realms.output.value_or("(null)"));
    bool joined = false;
    if (required && !required->empty() && realms.output) {
        for (const std::string& realm : linesOf(*realms.output))
            joined = joined || equalsIgnoringCase(realm, *required);
    }
    item.isWarn = !joined;
    if (realms.error) log("[ZemCheck] check JoinDomain failed : " + *realms.error);
    report(item);
}

void ZemCheck::checkZemVersion(ZemCheckModel& item) {
    const std::optional<std::string> minimum = requirement("ent_zem");
    const std::optional<std::string> installed = installedVersion();
    // No minimum: nothing is required. A minimum with no readable installed version warns.
    if (!minimum || minimum->empty()) {
        item.isWarn = false;
    } else {
        item.isWarn = !installed || compareVersions(*installed, *minimum) < 0;
    }
    log("[ZemCheck] check Zem local version: " + installed.value_or("(null)") +
        ", min version: " + minimum.value_or("(null)"));
    report(item);
}

void ZemCheck::checkPasswordSecurity(ZemCheckModel&) {}

int ZemCheck::compareVersions(const std::string& a, const std::string& b) {
    auto parts = [](const std::string& v) {
        std::vector<std::string> out;
        size_t start = 0;
        while (true) {
            size_t dot = v.find('.', start);
            out.push_back(v.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        return out;
    };
    // A part is its leading number (leading zeros ignored) and then the rest as text.
    auto comparePart = [](const std::string& x, const std::string& y) {
        auto split = [](const std::string& p) {
            size_t digits = 0;
            while (digits < p.size() && std::isdigit(static_cast<unsigned char>(p[digits]))) ++digits;
            std::string number = p.substr(0, digits);
            number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
            return std::pair<std::string, std::string>(number, p.substr(digits));
        };
        auto [xn, xr] = split(x);
        auto [yn, yr] = split(y);
        if (xn.size() != yn.size()) return xn.size() < yn.size() ? -1 : 1;
        if (int c = xn.compare(yn); c != 0) return c < 0 ? -1 : 1;
        if (int c = xr.compare(yr); c != 0) return c < 0 ? -1 : 1;
        return 0;
    };
    std::vector<std::string> pa = parts(a), pb = parts(b);
    const size_t n = std::max(pa.size(), pb.size());
    pa.resize(n, "0");
    pb.resize(n, "0");
    for (size_t i = 0; i < n; ++i) {
        if (int c = comparePart(pa[i], pb[i]); c != 0) return c;
    }
    return 0;
}

std::string ZemCheck::replaceUnicode(const std::string& text) {
    std::string escaped;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'u') {
            escaped += "\\U";
            ++i;
        } else if (text[i] == '"') {
            escaped += "\\\"";
        } else {
            escaped += text[i];
        }
    }
    std::string decoded = decodeQuotedPlistString(escaped);
    std::string out;
    for (size_t i = 0; i < decoded.size(); ++i) {
        if (decoded[i] == '\r' && i + 1 < decoded.size() && decoded[i + 1] == '\n') {
            out += '\n';
            ++i;
        } else {
            out += decoded[i];
        }
    }
    return out;
}

std::optional<std::string> ZemCheck::joinedDomainName() {
    CheckCommandResult realms = options_.runner->run(kRealm, {"list", "--name-only"});
    if (realms.error) {
        log("[ZemCheck] DomainLogin: Check join domain script excute failed with error: " + *realms.error);
        return std::nullopt;
    }
    const std::vector<std::string> lines =
        realms.output ? linesOf(*realms.output) : std::vector<std::string>{};
    if (lines.empty()) return std::nullopt;
    log("[ZemCheck] DomainLogin: current joined domain: " + lines.front());
    return lines.front();
}

void ZemCheck::checkDomainLogin() {
    log("[ZemCheck] DomainLogin: Start check Domain login status");
    if (options_.accounts->exists()) {
        log("[ZemCheck] DomainLogin: QZN is start or Zem has been logined.");
        return;
    }
    // The signed-in user, who runs this app.
    CheckCommandResult who = options_.runner->run(kId, {"-un"});
    if (!who.output) return;
    std::string name = withoutLineBreaks(*who.output);
    if (name.empty()) return;
    if (name.find("\\u") != std::string::npos) name = replaceUnicode(name);

    // A directory account is one that sssd serves; "user@domain" names carry their domain.
    CheckCommandResult entry = options_.runner->run(kGetent, {"-s", "sss", "passwd", name});
    if (entry.error || !entry.output) {
        log("[ZemCheck] DomainLogin:  The login user account isn`t domain mobile account.");
        return;
    }
    const std::optional<std::string> joined = joinedDomainName();
    std::string uid = name;
    std::string domain = joined.value_or("");
    if (size_t at = name.rfind('@'); at != std::string::npos) {
        uid = name.substr(0, at);
        domain = name.substr(at + 1);
    }
    domain = withoutLineBreaks(domain);
    if (!joined || domain.empty() || !equalsIgnoringCase(domain, *joined)) {
        log("[ZemCheck] DomainLogin: The domain of mobile account is not be same the current domain.");
        return;
    }
    onMain([this, uid = std::move(uid), domain = std::move(domain)]() mutable {
        startDomainLogin(std::move(uid), std::move(domain));
    });
}

// A new login replaces any earlier one: its timer stops and its late answer is ignored.
void ZemCheck::startDomainLogin(std::string uid, std::string domain) {
    stopTimer();
    ++attempt_;
    uid_ = std::move(uid);
    domain_ = std::move(domain);
    isDomainLoginChecked_ = false;
    time_ = kRetryTicks;
    timeCount_ = 0;
    sendDomainAccountCheckRequest();
}

void ZemCheck::startTimer() {
    stopTimer();
    std::weak_ptr<bool> alive = alive_;
    timer_ = dispatch::TimerSource::create(mainQueue_, 0s, 1s, [this, alive] {
        if (alive.lock()) timerHandler();
    });
    timer_->resume();
}

void ZemCheck::stopTimer() {
    if (timer_) timer_->cancel();
    timer_.reset();
}

void ZemCheck::sendDomainAccountCheckRequest() {
    const uint64_t attempt = attempt_;
    std::weak_ptr<bool> alive = alive_;
    auto answered = [this, alive, attempt](bool valid, std::string userName,
                                           std::optional<ErrorValue> error) {
        if (!alive.lock()) return;
        if (error) {
            log("[ZemCheck] DomainLogin:  This is not network request.");
        } else if (valid) {
            log("[ZemCheck] DomainLogin:  The Domain login is success.");
        } else {
            log("[ZemCheck] DomainLogin:  The Domain login check AD accoount is invalid.");
        }
        onMain([this, alive, attempt, valid, userName = std::move(userName), failed = error.has_value()] {
            if (!alive.lock() || attempt != attempt_) return;
            if (failed) {
                isDomainLoginChecked_ = false;
                timeCount_ = time_;
                startTimer();
                return;
            }
            isDomainLoginChecked_ = true;
            stopTimer();
            if (valid) {
                size_t dot = domain_.find('.');
                const bool saved =
                    options_.accounts->saveDomainAccount(uid_, userName, upper(domain_.substr(0, dot)));
                log("[ZemCheck] DomainLogin:  The account model save result: " +
                    std::to_string(saved ? 1 : 0) + ".");
            }
        });
    };
    if (!checker_) {
        answered(false, "", ErrorValue{"ZemCheck", -1, "no directory-account check"});
        return;
    }
    checker_->checkDomainAccount(uid_, domain_, std::move(answered));
}

void ZemCheck::timerHandler() {
    if (timeCount_ != 0) {
        --timeCount_;
        return;
    }
    if (options_.accounts->exists()) {
        stopTimer();
        return;
    }
    if (!isDomainLoginChecked_) {
        stopTimer();
        sendDomainAccountCheckRequest();
    }
}
