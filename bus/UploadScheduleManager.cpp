#include "UploadScheduleManager.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/archive/KeyedArchive.h"
#include "bus/JsonValue.h"
#include "common/device/ITDevice.h"
#include "daemon/link/ZemHttpSession.h"
#include "common/logger/LogSink.h"
#include "framework/process/FileManager.h"
#include "common/server/ZemServerConfig.h"

using calix::FileManager;
using common::ITDevice;
using hollin::ZemHttpReply;
using hollin::ZemHttpRequest;
using hollin::ZemHttpSession;
using common::ZemServerConfig;
using common::processLog;

using Json = nlohmann::ordered_json;

namespace {

constexpr const char* kClassName = "UploadScheduleModel";
constexpr const char* kSettingFile = "ScheduleSetting.data";

void log(const std::string& line) {
    processLog().writeLog(line);
}

// A number or the leading integer of a text, as a number object answers integerValue.
int64_t integerValue(const Json& j) {
    if (j.is_boolean()) return j.get<bool>() ? 1 : 0;
    if (j.is_number_unsigned()) {
        const uint64_t u = j.get<uint64_t>();
        return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                   ? std::numeric_limits<int64_t>::max()
                   : static_cast<int64_t>(u);
    }
    if (j.is_number_integer()) return j.get<int64_t>();
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (!std::isfinite(d)) return 0;
        if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    if (j.is_string()) {
        const std::string& s = j.get_ref<const std::string&>();
        size_t i = 0;
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        bool negative = false;
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
        int64_t v = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
            if (v > (std::numeric_limits<int64_t>::max() - 9) / 10)
                return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
            v = v * 10 + (s[i] - '0');
        }
        return negative ? -v : v;
    }
    return 0;
}

// The unsigned 64-bit value of "uploadsize": negative numbers wrap as an unsigned read does.
uint64_t unsignedValue(const Json& j) {
    if (j.is_number_unsigned()) return j.get<uint64_t>();
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (!std::isfinite(d) || d <= 0) return static_cast<uint64_t>(integerValue(j));
        return d >= 1.8e19 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(d);
    }
    return static_cast<uint64_t>(integerValue(j));
}

std::string retcodeText(const Json& j) {
    if (j.is_string()) return j.get<std::string>();
    if (j.is_boolean()) return j.get<bool>() ? "1" : "0";
    if (j.is_number_integer() || j.is_number_unsigned()) return j.dump();
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (std::floor(d) == d && std::fabs(d) < 1e15) return std::to_string(static_cast<int64_t>(d));
        return j.dump();
    }
    return j.dump();
}

// A reply for the log, cut short: a schedule of thousands of entries is one bounded line.
std::string jsonText(const Json& j) {
    constexpr size_t kMaxLogged = 4096;
    std::string text = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (text.size() > kMaxLogged) text = text.substr(0, kMaxLogged) + "...";
    return text;
}

}  // namespace

archive::Value UploadScheduleModel::encode() const {
    archive::Object o;
    o.className = kClassName;
    o.fields.emplace("bEnabled", bEnabled);
    o.fields.emplace("uploadsize", static_cast<int64_t>(uploadsize));
    if (accumulatetime) o.fields.emplace("accumulatetime", *accumulatetime);
    o.fields.emplace("url", url);
    o.fields.emplace("type", type);
    return o;
}

std::optional<UploadScheduleModel> UploadScheduleModel::decode(const archive::Value& value) {
    const archive::Object* o = value.object();
    if (!o || o->className != kClassName) return std::nullopt;
    auto text = [&](const char* key) {
        auto it = o->fields.find(key);
        const std::string* s = it == o->fields.end() ? nullptr : it->second.string();
        return s ? *s : std::string();
    };
    UploadScheduleModel m;
    m.bEnabled = text("bEnabled");
    m.url = text("url");
    m.type = text("type");
    if (auto it = o->fields.find("uploadsize"); it != o->fields.end())
        if (auto n = it->second.integer()) m.uploadsize = static_cast<uint64_t>(*n);
    if (auto it = o->fields.find("accumulatetime"); it != o->fields.end() && !it->second.isNull())
        m.accumulatetime = it->second;
    return m;
}

namespace bus {

bool urlIsSendable(std::string_view url) {
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return false;
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

ScheduleReply parseScheduleReply(std::string_view body) {
    ScheduleReply out;
    const Json reply = Json::parse(body, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) return out;
    const auto retcode = reply.find("retcode");
    if (retcode == reply.end() || retcodeText(*retcode) != "0") {
        out.outcome = ScheduleReply::Outcome::ServerError;
        return out;
    }
    const auto control = reply.find("datacontrol");
    if (control == reply.end() || !control->is_object()) {
        out.outcome = ScheduleReply::Outcome::NoDataControl;
        return out;
    }
    if (control->size() > kMaxScheduleEntries) {
        out.outcome = ScheduleReply::Outcome::TooManyEntries;
        return out;
    }
    for (auto it = control->begin(); it != control->end(); ++it) {
        UploadScheduleModel m;
        m.type = it.key();
        // An entry that is no object has no settings: the type stays disabled.
        static const Json kNone = Json::object();
        const Json& entry = it.value().is_object() ? it.value() : kNone;
        const auto sw = entry.find("switch");
        m.bEnabled = sw != entry.end() && integerValue(*sw) >= 1 ? "1" : "0";
        if (auto size = entry.find("uploadsize"); size != entry.end()) m.uploadsize = unsignedValue(*size);
        if (auto acc = entry.find("accumulatetime"); acc != entry.end() && !acc->is_null())
            m.accumulatetime = bus::archiveValueFromJson(*acc);
        if (auto url = entry.find("url"); url != entry.end() && url->is_string())
            m.url = url->get<std::string>();
        out.models.push_back(std::move(m));
    }
    out.outcome = ScheduleReply::Outcome::Stored;
    return out;
}

}  // namespace bus

UploadScheduleManager& UploadScheduleManager::sharedInstance() {
    static UploadScheduleManager instance;
    return instance;
}

UploadScheduleManager::UploadScheduleManager() : UploadScheduleManager(Options{}) {}

UploadScheduleManager::UploadScheduleManager(Options options)
    : options_(std::move(options)),
      settingPath_(options_.settingPath.empty() ? createSettingPath() : options_.settingPath),
      session_(std::make_shared<ZemHttpSession>(dispatch::WorkQueue::create("com.velmora.Tamber.schedule"),
                                                kMaxReplyBytes)) {}

UploadScheduleManager::~UploadScheduleManager() {
    waitUntilIdle(kTimeout * 2);
}

bool UploadScheduleManager::waitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(idleMutex_);
    return idle_.wait_for(lock, limit, [&] { return running_ == 0; });
}

ZemServerConfig& UploadScheduleManager::config() const {
    return options_.config ? *options_.config : ZemServerConfig::sharedInstance();
}

std::string UploadScheduleManager::createSettingPath() {
    const std::string root = FileManager::sharedInstance().createAppRootDirectory();
    return root + "/" + kSettingFile;
}

std::optional<std::vector<UploadScheduleModel>> UploadScheduleManager::readSchedule() const {
    archive::DecodeLimits limits;
    limits.maxBytes = 4u << 20;
    limits.maxObjects = 64u * bus::kMaxScheduleEntries;
    const auto decoded = archive::unarchiveObjectWithFile(settingPath_, {kClassName}, limits);
    if (!decoded) return std::nullopt;
    const archive::Array* items = decoded.value->array();
    if (!items) return std::nullopt;
    std::vector<UploadScheduleModel> models;
    for (const auto& item : *items)
        if (auto m = UploadScheduleModel::decode(item)) models.push_back(std::move(*m));
    return models;
}

bool UploadScheduleManager::writeSchedule(const std::vector<UploadScheduleModel>& models) const {
    archive::Array items;
    for (const auto& m : models) items.push_back(m.encode());
    // Written to a temporary file and renamed over the old one, so a report looking up its type
    // meanwhile finds the previous schedule rather than none.
    return archive::archiveRootObjectToFile(archive::Value(std::move(items)), settingPath_);
}

void UploadScheduleManager::startUploadScheduleRequest(std::function<void(bool)> done) {
    auto finish = [done](bool stored) {
        if (done) done(stored);
    };
    config().readServerConfig();
    const auto intranet = config().intranet_server();
    if (!intranet || intranet->empty() || *intranet == ZemServerConfig::kMissingHost) {
        log("[UploadScheme] host is null");
        finish(false);
        return;
    }
    const auto server = config().historyRecord_server();
    const std::string host = server && !server->empty() ? *server : *intranet;
    const uint64_t port = config().historyRecord_port();
    const std::string uuid = options_.deviceUuid ? options_.deviceUuid() : ITDevice::currentDevice().uuid();
    const std::string url = "http://" + host + ":" + std::to_string(port) +
                            "/yj/schedule?ZipFlag=0&EncryptFlag=0&deviceid=" + uuid +
                            "&ticket=vwqp&location=2&OsType=mac";
    log("调度接口:" + url);
    if (!bus::urlIsSendable(url)) {
        log("[UploadScheduleManager]get upload schedule failed，error :the URL is not valid");
        finish(false);
        return;
    }
    ZemHttpRequest request;
    request.url = url;
    request.headers = {"Content-Type: application/json", "Accept: application/json"};
    request.body = {'{', '}'};
    request.timeout = kTimeout;
    {
        std::lock_guard lock(idleMutex_);
        ++running_;
    }
    auto settled = [this, finish](bool stored) {
        finish(stored);
        std::lock_guard lock(idleMutex_);
        if (--running_ == 0) idle_.notify_all();
    };
    session_->post(std::move(request), [this, finish = std::move(settled)](ZemHttpReply reply) {
        if (!reply.succeeded()) {
            log("[UploadScheduleManager]get upload schedule failed，error :" + reply.error);
            finish(false);
            return;
        }
        const std::string body(reply.body.begin(), reply.body.end());
        const bus::ScheduleReply parsed = bus::parseScheduleReply(body);
        using Outcome = bus::ScheduleReply::Outcome;
        if (parsed.outcome == Outcome::NotDictionary) {
            finish(false);
            return;
        }
        const Json asJson = Json::parse(body, nullptr, false);
        log("get upload schedule msg：" + jsonText(asJson));
        switch (parsed.outcome) {
            case Outcome::ServerError:
                log("get upload schedule failed，error ：" + jsonText(asJson));
                finish(false);
                return;
            case Outcome::TooManyEntries:
                log("get upload schedule failed，error ：more than " +
                    std::to_string(bus::kMaxScheduleEntries) + " entries");
                finish(false);
                return;
            case Outcome::NoDataControl:
            case Outcome::NotDictionary:
                finish(false);
                return;
            case Outcome::Stored:
                break;
        }
        const bool stored = writeSchedule(parsed.models);
        if (!stored) log("[UploadScheduleManager]save upload schedule failed");
        finish(stored);
    });
}
