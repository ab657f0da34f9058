#include "AccountManager.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/logger/LogSink.h"
#include "common/server/ZemServerConfig.h"

namespace common {

namespace {

constexpr size_t kMaxReplyBytes = 1u << 20;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t collect(char* data, size_t size, size_t count, void* userp) {
    auto* body = static_cast<std::string*>(userp);
    size_t n = size * count;
    if (body->size() + n > kMaxReplyBytes) return 0;  // aborts the transfer
    body->append(data, n);
    return n;
}

bool jsonReply(const std::string& body, const char* contentType) {
    if (std::all_of(body.begin(), body.end(), [](unsigned char c) { return std::isspace(c); })) return true;
    std::string type = contentType ? contentType : "";
    type = type.substr(0, type.find(';'));
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
    type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
    if (type != "application/json" && type != "text/json" && type != "text/javascript") return false;
    return nlohmann::json::accept(body);
}

std::string pingUrl(const std::optional<std::string>& host, uint64_t port) {
    return "http://" + host.value_or("") + ":" + std::to_string(port) + "/zem/ping";
}

}  // namespace

AccountManager& AccountManager::shareManager() {
    static AccountManager* manager = new AccountManager();
    return *manager;
}

bool AccountManager::pingSucceeds(const std::string& url, std::chrono::milliseconds timeout) {
    initCurlOnce();
    CURL* curl = curl_easy_init();
    if (!curl) return false;
    std::string body;
    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    bool ok = false;
    if (curl_easy_perform(curl) == CURLE_OK) {
        long status = 0;
        char* contentType = nullptr;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType);
        ok = status >= 200 && status <= 299 && jsonReply(body, contentType);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return ok;
}

void AccountManager::NetWorkType(const std::function<void(int64_t)>& completion) {
    NetWorkType(ZemServerConfig::sharedInstance(), completion);
}

void AccountManager::NetWorkType(ZemServerConfig& config, const std::function<void(int64_t)>& completion) {
    config.readServerConfig();
    std::optional<std::string> intranetUrl, extranetUrl;
    if (config.domain_server() && config.domain_port() != 0) {
        intranetUrl = pingUrl(config.intranet_server(), config.intranet_port());
        extranetUrl = pingUrl(config.extranet_server(), config.extranet_port());
    }
    bool intranet = intranetUrl && pingSucceeds(*intranetUrl, kRequestTimeout);
    bool extranet = !intranet && extranetUrl && pingSucceeds(*extranetUrl, kRequestTimeout);

    auto& log = processLog();
    int64_t type = 2;
    if (extranet) {
        log.writeLog("[AccountManager] RavAviza networktpye is Extranet URL:" + *extranetUrl);
        type = 1;
    } else if (intranet) {
        log.writeLog("[AccountManager] RavAviza networktpye is Intranet URL:" + *intranetUrl);
        type = 0;
    } else {
        log.writeLog("[AccountManager] RavAviza networktpye is no network");
    }
    if (completion) completion(type);
}

}  // namespace common
