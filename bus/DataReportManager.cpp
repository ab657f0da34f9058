#include "DataReportManager.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "bus/ZemBusCore.h"
#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "framework/encoding/Utf8.h"
#include "framework/encoding/ZipHelper.h"
#include "daemon/link/ZemHttpSession.h"
#include "common/logger/LogSink.h"

using calix::ZipHelper;
using common::ITDevice;
using common::NetworkCardInfoManager;
using common::processLog;
using hollin::ZemHttpReply;
using hollin::ZemHttpRequest;
using hollin::ZemHttpSession;

using Json = nlohmann::ordered_json;

namespace {

void log(const std::string& line) {
    processLog().writeLog(line);
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

// A header value on one line: CR, LF and NUL would end the header and start another.
std::string oneLine(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return value;
}

// A URL as it may appear in a log line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            out += '?';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string dumpText(const Json& j, int indent = -1) {
    return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// An array element in a "#"-joined body: text as it is, anything else as JSON.
std::string elementText(const Json& j) {
    return j.is_string() ? j.get<std::string>() : dumpText(j);
}

std::string joinedElements(const Json& items, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (i > from) out += '#';
        out += elementText(items[i]);
    }
    return out;
}

void appendField(std::string& list, const std::string& item) {
    if (!list.empty()) list += ',';
    list += item;
}

int32_t fieldCount(const std::string& text) {
    int32_t n = 1;
    for (char c : text) n += c == ',';
    return n;
}

std::string removeCrLf(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 2);
    return text;
}

// "ret" of an access-log reply: a reply that is not JSON, or has no "ret", counts as 0.
int64_t retOf(const std::string& text) {
    const Json reply = Json::parse(text, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) return 0;
    const auto ret = reply.find("ret");
    if (ret == reply.end()) return 0;
    if (ret->is_number_integer() || ret->is_number_unsigned()) return ret->get<int64_t>();
    if (ret->is_number_float()) return static_cast<int64_t>(ret->get<double>());
    if (ret->is_boolean()) return ret->get<bool>() ? 1 : 0;
    if (ret->is_string()) {
        try {
            return std::stoll(ret->get<std::string>());
        } catch (...) {
            return 0;
        }
    }
    return 0;
}

}  // namespace

ReportDeviceFacts ReportDeviceFacts::ofThisDevice() {
    ITDevice& device = ITDevice::currentDevice();
    ReportDeviceFacts facts;
    facts.uuid = device.uuid();
    facts.machineName = device.machineName();
    facts.macs = device.macAddresses();
    for (const auto& card : NetworkCardInfoManager::sharedInstance().currentNetworkCards())
        facts.ips.push_back(card.ip);
    return facts;
}

namespace bus {

std::string domainUserOf(const std::string& machineName) {
    return machineName.substr(0, machineName.find('-'));
}

RequestHead reportHeaders(const ReportDeviceFacts& f) {
    const std::string macs = joined(f.macs, ",");
    const std::string ips = joined(f.ips, ",");
    RequestHead head{{"Deviceid", f.uuid}, {"Location", "2"},    {"Ticket", "vwqp"},
                     {"Serial", "1"},      {"Count", "1"},       {"Number", "1"},
                     {"ZipFlag", "1"},     {"EncryptFlag", "0"}, {"MachineName", f.machineName},
                     {"ClientMac", macs},  {"ClientIp", ips},    {"DomainUser", domainUserOf(f.machineName)}};
    for (auto& entry : head) entry.second = oneLine(entry.second);
    return head;
}

std::string accessLogUrl(const std::string& url) {
    // The path starts after "scheme://host[:port]" and ends at "?" or "#".
    const size_t scheme = url.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t pathStart = url.find('/', hostStart);
    if (pathStart == std::string::npos) return url;
    const size_t pathEnd = std::min(url.find('?', pathStart), url.find('#', pathStart));
    const size_t end = pathEnd == std::string::npos ? url.size() : pathEnd;
    std::string out = url.substr(0, pathStart);
    size_t at = pathStart;
    while (at < end) {
        // url[at] is "/"; the segment runs to the next "/" or the end of the path.
        size_t next = url.find('/', at + 1);
        if (next == std::string::npos || next > end) next = end;
        const std::string segment = url.substr(at + 1, next - at - 1);
        out += '/';
        out += segment == "yj" ? "zem" : segment;
        at = next;
    }
    out += url.substr(end);
    return out;
}

std::string firstField(std::string_view text) {
    return std::string(text.substr(0, text.find('|')));
}

int64_t networkErrorCode(long status, bool tooLarge, const std::string& error) {
    if (tooLarge) return -1103;                                       // data length exceeds maximum
    if (status != 0 && (status < 200 || status > 299)) return -1011;  // bad server response
    // The transfer library's code closes the error text: "... (28)".
    const size_t open = error.rfind('(');
    int code = -1;
    if (open != std::string::npos) {
        try {
            code = std::stoi(error.substr(open + 1));
        } catch (...) {
            code = -1;
        }
    }
    switch (code) {
        case 3:
            return -1000;  // bad URL
        case 6:
            return -1003;  // cannot find host
        case 7:
            return -1004;  // cannot connect to host
        case 28:
            return -1001;  // timed out
        case 52:
        case 56:
            return -1005;  // network connection lost
        default:
            return -1;
    }
}

}  // namespace bus

DataReportManager& DataReportManager::sharedInstance() {
    static DataReportManager instance;
    return instance;
}

DataReportManager::DataReportManager() : DataReportManager(Options{}) {}

DataReportManager::DataReportManager(Options options)
    : options_(std::move(options)),
      cacheFolder_(options_.cacheFolder.empty() ? cacheDirectory() : options_.cacheFolder),
      schedule_(options_.schedule ? *options_.schedule : UploadScheduleManager::sharedInstance()),
      queue_(dispatch::WorkQueue::create("com.velmora.busupload", dispatch::QueueAttr::Concurrent)),
      replyQueue_(dispatch::WorkQueue::create("data report")),
      sessionManager_(std::make_shared<ZemHttpSession>(queue_, kMaxReplyBytes)),
      requestHead_(std::make_shared<const RequestHead>()) {}

DataReportManager::~DataReportManager() {
    waitUntilIdle(options_.timeout * 3 + std::chrono::seconds(10));
}

double DataReportManager::now() const {
    return (options_.clock ? *options_.clock : dispatch::Clock::system()).now();
}

void DataReportManager::begin() {
    std::lock_guard lock(idleMutex_);
    ++running_;
}

void DataReportManager::end() {
    std::lock_guard lock(idleMutex_);
    if (--running_ == 0) idle_.notify_all();
}

bool DataReportManager::waitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(idleMutex_);
    return idle_.wait_for(lock, limit, [&] { return running_ == 0; });
}

void DataReportManager::setRequestHead() {
    auto head = std::make_shared<const RequestHead>(
        bus::reportHeaders(options_.facts ? options_.facts() : ReportDeviceFacts::ofThisDevice()));
    std::lock_guard lock(headMutex_);
    requestHead_ = std::move(head);
}

std::shared_ptr<const RequestHead> DataReportManager::requestHead() const {
    std::lock_guard lock(headMutex_);
    return requestHead_;
}

std::optional<UploadScheduleModel> DataReportManager::getUploadState(const std::string& type) {
    const auto models = schedule_.readSchedule();
    if (!models || models->empty()) {
        schedule_.startUploadScheduleRequest();
        log("get upload schedule info failed");
        return std::nullopt;
    }
    bool typeListed = false;
    for (const auto& m : *models) {
        if (m.type != type) continue;
        if (m.bEnabled == "1") return m;
        typeListed = true;
    }
    if (typeListed) return std::nullopt;
    for (const auto& m : *models) {
        if (m.type != "default") continue;
        UploadScheduleModel fallback = m;
        if (type == bus::kQorAccessLog) fallback.url = bus::accessLogUrl(fallback.url);
        return fallback;
    }
    return std::nullopt;
}

void DataReportManager::sendArrayReport(const std::optional<std::string>& json, const std::string& type,
                                        bool sizeInKiB, const char* nullLog, const char* noScheduleLog) {
    if (!json) {
        if (nullLog) log(nullLog);
        return;
    }
    const auto model = getUploadState(type);
    if (!model || model->bEnabled == "0") {
        if (noScheduleLog) log(noScheduleLog);
        return;
    }
    const Json items = Json::parse(*json, nullptr, false);
    if (items.is_discarded() || !items.is_array()) return;

    const bool accessLog = type == bus::kQorAccessLog;
    std::optional<ReportDeviceFacts> facts;
    if (accessLog) facts = options_.facts ? options_.facts() : ReportDeviceFacts::ofThisDevice();
    auto body = [&](size_t from, size_t to) {
        if (!accessLog) return joinedElements(items, from, to);
        Json device = Json::object();
        device["DeviceId"] = facts->uuid;
        device["MachineName"] = facts->machineName;
        device["ClientMac"] = joined(facts->macs, ",");
        device["ClientIp"] = joined(facts->ips, ",");
        device["DomainUser"] = bus::domainUserOf(facts->machineName);
        Json datas = Json::array();
        for (size_t i = from; i < to; ++i) datas.push_back(items[i]);
        device["Datas"] = std::move(datas);
        return dumpText(device, 2);
    };

    const uint64_t size = model->uploadsize;
    const uint64_t limit =
        sizeInKiB ? (size > std::numeric_limits<uint64_t>::max() / 1024 ? std::numeric_limits<uint64_t>::max()
                                                                        : size * 1024)
                  : size;
    const size_t count = items.size();
    // An empty array holds nothing to split: it goes as it is.
    if (size == 0 || json->size() <= limit || count == 0) {
        startReportRequest(body(0, count), type, model->url);
        return;
    }
    const uint64_t perItem = json->size() / count;
    const uint64_t first = perItem == 0 ? count : std::min<uint64_t>(size / perItem, count);
    startReportRequest(body(0, static_cast<size_t>(first)), type, model->url);
    startReportRequest(body(static_cast<size_t>(first), count), type, model->url);
}

void DataReportManager::sendTextReport(const std::optional<std::string>& data, const std::string& type,
                                       const std::string& scheduleKey) {
    if (!data || !utf8::isValid(*data)) return;
    const auto model = getUploadState(scheduleKey);
    if (!model || model->bEnabled == "0" || model->uploadsize == 0) return;
    startReportRequest(*data, type, model->url);
}

void DataReportManager::setReportData(const std::optional<std::string>& json) {
    sendArrayReport(json, bus::kMacScript, true, nullptr, nullptr);
}

void DataReportManager::uploadQorAccesslog(const std::optional<std::string>& json) {
    log("start upload QorAccesslog data...");
    sendArrayReport(json, bus::kQorAccessLog, false, nullptr, nullptr);
}

void DataReportManager::uploadProcessDump(const std::optional<std::string>& json) {
    log("start upload Process snap data...");
    sendArrayReport(
        json, bus::kProcessList, false, "[DataReportManager]upload Process snap data is Null...",
        "[DataReportManager]upload Process snap data failed . because upload sechedule is Null...");
}

void DataReportManager::uploadAppList(const std::optional<std::string>& json) {
    log("start upload AppList data...");
    sendArrayReport(json, bus::kSoftwareList, false, "[DataReportManager]upload AppList data is Null...",
                    "[DataReportManager]upload AppList data failed . because upload sechedule is Null...");
}

void DataReportManager::uploadDiskEncryptState(const std::optional<std::string>& data) {
    sendTextReport(data, bus::kDiskEncrypt, bus::kDiskEncrypt);
}

void DataReportManager::uploadReinforceResult(const std::optional<std::string>& data) {
    if (!data) return;
    const std::string type = bus::firstField(*data);
    log("start upload " + type + " data...");
    sendTextReport(data, type, type);
}

void DataReportManager::uploadComplianceResult(const std::optional<std::string>& data) {
    if (!data || data->empty()) {
        log("[DataReportManager] Upload Compliance excuted result data is nil.");
        return;
    }
    const std::string name = bus::firstField(*data);
    if (name.empty()) {
        log("[DataReportManager] Upload Compliance policy name is nil.");
        return;
    }
    log("start upload " + name + " data...");
    sendTextReport(data, bus::kCompliance, name);
}

void DataReportManager::post(const std::string& body, const std::string& url,
                             std::shared_ptr<const RequestHead> head,
                             std::function<void(const UploadResult&)> complete) {
    auto fail = [&](int64_t code, std::string text) {
        UploadResult result;
        result.transportError = true;
        result.errorCode = code;
        result.errorText = std::move(text);
        begin();
        replyQueue_->dispatch([this, complete = std::move(complete), result] {
            complete(result);
            end();
        });
    };
    std::optional<std::vector<uint8_t>> gzip;
    if (utf8::isValid(body))
        gzip = ZipHelper::gzipData(std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
    if (!gzip) {
        fail(kEncodeFailedCode, "the body could not be encoded or compressed");
        return;
    }
    if (!bus::urlIsSendable(url)) {
        log("[DataReportManager] upload url is not valid: " + printable(url));
        fail(kBadUrlCode, "unsupported URL");
        return;
    }
    ZemHttpRequest request;
    request.url = url;
    for (const auto& [name, value] : *head)
        if (auto line = bus::headerLine(name, value)) request.headers.push_back(*line);
    request.body = std::move(*gzip);
    request.timeout = options_.timeout;
    begin();
    sessionManager_->post(std::move(request), [this, complete = std::move(complete)](ZemHttpReply reply) {
        UploadResult result;
        result.status = reply.status;
        if (!reply.succeeded()) {
            result.transportError = true;
            result.errorCode = bus::networkErrorCode(reply.status, reply.tooLarge, reply.error);
            result.errorText = reply.error;
        } else if (!reply.body.empty()) {
            result.data = std::string(reply.body.begin(), reply.body.end());
        }
        replyQueue_->dispatch([this, complete, result = std::move(result)] {
            complete(result);
            end();
        });
    });
}

void DataReportManager::uploadDataRequest(const std::string& body, const std::string& url,
                                          std::function<void(const UploadResult&)> complete) {
    post(body, url, requestHead(), std::move(complete));
}

void DataReportManager::startReportRequest(const std::string& body, const std::string& type,
                                           const std::string& url) {
    // Access-log reports reuse the last headers, but never go without: the first one builds them.
    if (type != bus::kQorAccessLog || requestHead()->empty()) setRequestHead();
    post(body, url, requestHead(),
         [this, body, type, url](const UploadResult& result) { reportCompleted(type, body, url, result); });
}

void DataReportManager::reportCompleted(const std::string& type, const std::string& body,
                                        const std::string& url, const UploadResult& result) {
    auto found = uploadStatistics_.find(type);
    ZemUploadStatisticsModel model =
        found != uploadStatistics_.end() ? found->second : ZemUploadStatisticsModel{};
    model.type = type;
    if (result.transportError) {
        log("[DataReportManager][" + type + "] upload data failed : " + result.errorText + " (" +
            std::to_string(result.errorCode) + ")");
        appendField(model.networkErrCodeContents, std::to_string(result.errorCode));
        ++model.netErrCodeCount;
        saveUploadDataToLocalCache(body, type);
    } else if (!result.data) {
        log("[DataReportManager][" + type + "] send upload request failed, response is null");
        return;
    } else {
        const std::string text = removeCrLf(*result.data);
        const bool success = text == "0" || (type == bus::kQorAccessLog && retOf(text) == 0);
        const std::string head = "[DataReportManager][" + type + "] send upload request success";
        if (success) {
            log(head + " result：" + text);
            ++model.successCount;
        } else {
            log(head + " \n，but upload failed " + text);
            model.errCodeCount += fieldCount(text);
            appendField(model.errCodeContents, text);
            saveUploadDataToLocalCache(body, type);
        }
    }
    uploadStatistics_[type] = model;
    begin();
    dispatch::WorkQueue::global()->dispatch([this, model, url] {
        uploadResultState(model, url);
        end();
    });
}

void DataReportManager::uploadResultState(const ZemUploadStatisticsModel& model, const std::string& url) {
    const int64_t total = int64_t{model.successCount} + model.errCodeCount + model.netErrCodeCount;
    if (total < kStatisticsThreshold) return;
    const std::string text = "zemstat_mac|upload|" + model.type + "|" + model.networkErrCodeContents + "|" +
                             model.errCodeContents + "||" + std::to_string(total) + "|" +
                             std::to_string(model.successCount) + "|" +
                             std::to_string(int64_t{model.errCodeCount} + model.netErrCodeCount) + "|1|1|0|0";
    sendMonitorRequestWithContents(text, url, [this, type = model.type](bool ok) {
        // Counting starts again once the server has the figures; otherwise the next upload of
        // the type sends them again.
        if (ok) uploadStatistics_.erase(type);
    });
}

void DataReportManager::sendMonitorRequestWithContents(const std::string& contents, const std::string& url,
                                                       std::function<void(bool)> complete) {
    setRequestHead();
    if (contents.empty() || !utf8::isValid(contents)) return;  // nothing to compress: nothing sent
    post(contents, url, requestHead(), [complete = std::move(complete)](const UploadResult& result) {
        if (result.transportError && result.errorCode == kEncodeFailedCode) return;
        const std::string text = result.data.value_or("");
        const size_t line = text.find("\r\n");
        const bool ok = !result.transportError && line != std::string::npos && text.substr(0, line) == "0";
        if (ok) {
            log("start upload monitor data\n upload successfully");
        } else {
            log("start upload monitor data\n upload failed，error:" +
                (result.transportError ? result.errorText : std::string("(null)")) + "  response:" + text);
        }
        if (complete) complete(ok);
    });
}

std::optional<ZemUploadStatisticsModel> DataReportManager::uploadStatistics(const std::string& type) const {
    std::optional<ZemUploadStatisticsModel> out;
    replyQueue_->dispatchSync([&] {
        auto it = uploadStatistics_.find(type);
        if (it != uploadStatistics_.end()) out = it->second;
    });
    return out;
}
