#include "HttpSession.h"

#include <curl/curl.h>

#include <mutex>

#include "TlsTrust.h"

namespace hux {

namespace {

struct Sink {
    std::string body;
    bool tooLarge = false;
};

size_t collect(char* data, size_t size, size_t count, void* userdata) {
    auto* sink = static_cast<Sink*>(userdata);
    const size_t n = size * count;
    if (sink->body.size() + n > HttpSession::kMaxReplyBytes) {
        sink->tooLarge = true;
        return 0;  // ends the transfer
    }
    sink->body.append(data, n);
    return n;
}

ErrorValue transportError(CURLcode code, const char* text) {
    long number = HttpSession::kErrorOther;
    if (code == CURLE_OPERATION_TIMEDOUT) number = HttpSession::kErrorTimedOut;
    if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST)
        number = HttpSession::kErrorCannotConnect;
    return ErrorValue{"NSURLErrorDomain", number, (text && *text) ? text : curl_easy_strerror(code)};
}

}  // namespace

HttpSession::HttpSession(std::shared_ptr<dispatch::WorkQueue> queue,
                         std::shared_ptr<dispatch::WorkQueue> completionQueue)
    : queue_(std::move(queue)), completionQueue_(std::move(completionQueue)) {}

void HttpSession::send(HttpRequest request, std::function<void(HttpReply)> completion) {
    queue_->dispatch([request = std::move(request), completion = std::move(completion),
                      target = completionQueue_]() mutable {
        auto reply = std::make_shared<HttpReply>(perform(request));
        target->dispatch([completion = std::move(completion), reply] { completion(std::move(*reply)); });
    });
}

HttpReply HttpSession::perform(const HttpRequest& request) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    HttpReply reply;
    CURL* curl = curl_easy_init();
    if (!curl) {
        reply.error = ErrorValue{"NSURLErrorDomain", kErrorOther, "the HTTP client could not start"};
        return reply;
    }
    Sink sink;
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    for (const auto& h : request.headers) headers = curl_slist_append(headers, h.c_str());
    // An empty Content-Type line stops libcurl from adding its form type to a raw body.
    if (request.method == "POST" && request.headers.empty())
        headers = curl_slist_append(headers, "Content-Type:");
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    const TlsTrust trust = TlsTrust::current();
    trust.apply(curl, request.url);

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);

    if (sink.tooLarge) {
        reply.error =
            ErrorValue{"NSURLErrorDomain", kErrorTooLarge, "the reply is larger than the client accepts"};
    } else if (code != CURLE_OK) {
        reply.error = transportError(code, errorText);
    } else if (status < 200 || status > 299) {
        reply.error = ErrorValue{"HTTPStatus", status, ""};
    } else if (sink.body.find_first_not_of(" \t\r\n") == std::string::npos) {
        reply.json = Json();
    } else {
        Json parsed = Json::parse(sink.body, nullptr, false);
        if (parsed.is_discarded()) {
            reply.error = ErrorValue{"NSCocoaErrorDomain", kErrorNotJson,
                                     "The data couldn't be read because it isn't in the correct format."};
        } else {
            reply.json = std::move(parsed);
        }
    }
    return reply;
}

}  // namespace hux
