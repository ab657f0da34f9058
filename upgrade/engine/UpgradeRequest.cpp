#include "UpgradeRequest.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/core/FileIO.h"

namespace {

struct Sink {
    std::string* buffer = nullptr;
    int fd = -1;
    uint64_t cap = 0;
    uint64_t written = 0;
    bool overCap = false;
    bool writeFailed = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    if (sink->written + n > sink->cap) {
        sink->overCap = true;
        return 0;
    }
    if (sink->buffer) {
        sink->buffer->append(data, n);
    } else if (!fileio::writeAll(sink->fd, {reinterpret_cast<const uint8_t*>(data), n})) {
        sink->writeFailed = true;
        return 0;
    }
    sink->written += n;
    return n;
}

void initCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

ErrorValue error(long code, std::string reason) {
    return ErrorValue{"", code, std::move(reason)};
}

// One GET into sink; the error, or nothing on status 200.
std::optional<ErrorValue> get(const std::string& url, Sink& sink, std::chrono::seconds timeout,
                              const UpgradeRequestLimits& limits) {
    initCurl();
    CURL* curl = curl_easy_init();
    if (!curl) return error(-1, "curl unavailable");
    char message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.lowSpeedTime.count()));
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.cap));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    char* scheme = nullptr;
    curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme);
    std::string schemeText = scheme ? scheme : "";
    curl_easy_cleanup(curl);

    if (rc != CURLE_OK) {
        std::string reason = message[0] ? message : curl_easy_strerror(rc);
        if (sink.overCap) reason = "download larger than " + std::to_string(sink.cap) + " bytes";
        return ErrorValue{UpgradeRequest::kCurlDomain, static_cast<long>(rc), reason};
    }
    if (schemeText != "HTTP" && schemeText != "HTTPS" && schemeText != "http" && schemeText != "https")
        return error(UpgradeRequest::kErrorNotHttp, "response failed." + schemeText);
    if (status != 200)
        return error(UpgradeRequest::kErrorStatus, "response failed." + std::to_string(status));
    return std::nullopt;
}

}  // namespace

UpgradeRequest& UpgradeRequest::sharedInstance() {
    static UpgradeRequest request;
    return request;
}

UpgradeRequest::UpgradeRequest(UpgradeRequestLimits limits) : limits_(limits) {}

void UpgradeRequest::downloadUpgradeXML(const std::optional<std::string>& url,
                                        const DataCompletion& completionBlock) {
    if (!url || url->empty()) {
        completionBlock(std::nullopt, error(kErrorNoUrl, "URL地址不能为空"));
        return;
    }
    std::string body;
    Sink sink;
    sink.buffer = &body;
    sink.cap = limits_.maxManifestBytes;
    if (auto failure = get(*url, sink, limits_.manifestTimeout, limits_)) {
        completionBlock(std::nullopt, failure);
        return;
    }
    completionBlock(std::move(body), std::nullopt);
}

void UpgradeRequest::downloadUpgradeApp(const std::optional<std::string>& url, const std::string& folder,
                                        std::optional<uint64_t> maxBytes,
                                        const FileCompletion& completionBlock) {
    if (!url || url->empty()) {
        completionBlock(std::nullopt, error(kErrorNoUrl, "URL地址不能为空"));
        return;
    }
    std::string path = folder + "/.download.XXXXXX";
    int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        completionBlock(std::nullopt, error(-1, "cannot create a temporary file in " + folder));
        return;
    }
    Sink sink;
    sink.fd = fd;
    sink.cap = maxBytes ? std::min(*maxBytes, limits_.maxPackageBytes) : limits_.maxPackageBytes;
    auto failure = get(*url, sink, limits_.packageTimeout, limits_);
    if (!failure && ::fsync(fd) != 0) failure = error(-1, "cannot write " + path);
    if (!failure && maxBytes && sink.written != *maxBytes)
        failure = error(-1, "package has " + std::to_string(sink.written) + " bytes, the manifest says " +
                                std::to_string(*maxBytes));
    ::close(fd);
    if (failure) {
        ::unlink(path.c_str());
        completionBlock(std::nullopt, failure);
        return;
    }
    completionBlock(path, std::nullopt);
}
