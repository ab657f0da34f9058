#include "ZemHttpSession.h"

#include <curl/curl.h>

#include <mutex>

namespace hollin {

namespace {

constexpr long kMaxRedirects = 16;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    std::vector<uint8_t>* body;
    size_t cap;
    CURL* curl;
    bool overflow = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    if (sink->body->size() + n > sink->cap) {
        sink->overflow = true;
        return 0;  // ends the transfer with a write error
    }
    if (sink->body->empty()) {
        // A declared length within the cap is taken at once, so a large body is not copied
        // through a series of growing buffers.
        curl_off_t declared = -1;
        if (curl_easy_getinfo(sink->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) == CURLE_OK &&
            declared > 0 && static_cast<uint64_t>(declared) <= sink->cap)
            sink->body->reserve(static_cast<size_t>(declared));
    }
    sink->body->insert(sink->body->end(), data, data + n);
    return n;
}

}  // namespace

// Idle easy handles keep their connection caches, so a kept-alive connection is used again.
struct ZemHttpSession::Pool {
    static constexpr size_t kMaxIdle = 4;
    size_t maxReplyBytes;
    std::mutex mutex;
    std::vector<CURL*> idle;

    explicit Pool(size_t cap) : maxReplyBytes(cap) {}
    ~Pool() {
        for (CURL* h : idle) curl_easy_cleanup(h);
    }
    CURL* take() {
        {
            std::lock_guard lock(mutex);
            if (!idle.empty()) {
                CURL* h = idle.back();
                idle.pop_back();
                curl_easy_reset(h);
                return h;
            }
        }
        return curl_easy_init();
    }
    void give(CURL* h) {
        {
            std::lock_guard lock(mutex);
            if (idle.size() < kMaxIdle) {
                idle.push_back(h);
                return;
            }
        }
        curl_easy_cleanup(h);
    }

    ZemHttpReply perform(const ZemHttpRequest& request) {
        ZemHttpReply reply;
        CURL* curl = take();
        if (!curl) {
            reply.error = "cannot create an HTTP handle";
            return reply;
        }
        curl_slist* headers = nullptr;
        for (const std::string& h : request.headers) headers = curl_slist_append(headers, h.c_str());
        // No "Expect: 100-continue" round trip before larger bodies.
        headers = curl_slist_append(headers, "Expect:");
        bool closing = false;
        for (const std::string& h : request.headers)
            if (h == "Connection: close") closing = true;

        Sink sink{&reply.body, maxReplyBytes, curl};
        const long timeoutMs = static_cast<long>(request.timeout.count());
        curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(request.body.data()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
        // The system's proxy is the one the environment names (http_proxy, no_proxy, ...), which
        // libcurl reads itself; redirects are followed as a URL session follows them.
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, closing ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

        const CURLcode rc = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        curl_slist_free_all(headers);
        give(curl);

        if (sink.overflow) {
            reply.tooLarge = true;
            reply.body.clear();
            reply.error = "reply larger than " + std::to_string(maxReplyBytes) + " bytes";
        } else if (rc != CURLE_OK) {
            reply.body.clear();
            reply.error =
                std::string(curl_easy_strerror(rc)) + " (" + std::to_string(static_cast<int>(rc)) + ")";
        } else if (reply.status < 200 || reply.status > 299) {
            reply.error = "HTTP status " + std::to_string(reply.status);
        }
        return reply;
    }
};

ZemHttpSession::ZemHttpSession(std::shared_ptr<dispatch::WorkQueue> queue, size_t maxReplyBytes)
    : queue_(std::move(queue)), pool_(std::make_shared<Pool>(maxReplyBytes)) {
    initCurlOnce();
}

ZemHttpSession::~ZemHttpSession() = default;

size_t ZemHttpSession::maxReplyBytes() const {
    return pool_->maxReplyBytes;
}

void ZemHttpSession::post(ZemHttpRequest request, Completion completion) {
    // The task holds the pool, so a transfer still running when the session goes away is safe.
    queue_->dispatch([pool = pool_, request = std::move(request), completion = std::move(completion)] {
        ZemHttpReply reply = pool->perform(request);
        if (completion) completion(std::move(reply));
    });
}

ZemHttpReply ZemHttpSession::postSync(const ZemHttpRequest& request) {
    return pool_->perform(request);
}

}  // namespace hollin
