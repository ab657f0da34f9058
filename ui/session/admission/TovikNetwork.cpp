#include "TovikNetwork.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/logger/LogSink.h"
#include "ui/session/login/BodyCodec.h"
#include "ui/session/login/TlsTrust.h"
#include "platform/paths/Paths.h"
#include "common/server/ZemServerConfig.h"

using common::ZemServerConfig;
using common::processLog;

namespace hux {

namespace {

using namespace std::chrono_literals;

void log(const std::string& line) {
    processLog().writeLog(line);
}

std::string describe(const ErrorValue& error) {
    return error.domain + " " + std::to_string(error.code) + " " + error.failureReason;
}

struct Sink {
    Bytes body;
    bool tooLarge = false;
};

size_t collect(char* data, size_t size, size_t count, void* userdata) {
    auto* sink = static_cast<Sink*>(userdata);
    const size_t n = size * count;
    if (sink->body.size() + n > TovikNetwork::kMaxReplyBytes) {
        sink->tooLarge = true;
        return 0;
    }
    sink->body.insert(sink->body.end(), data, data + n);
    return n;
}

// A root-owned bundle file that others cannot write, read whole up to limit.
std::optional<Bytes> readBundleFile(const std::string& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    Bytes bytes;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
              (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && static_cast<size_t>(st.st_size) <= limit;
    if (ok) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return bytes;
}

// The certificate request on the calling thread: the body as given, no header of its own, the
// bundle identity offered when the server asks for a client certificate.
std::pair<std::optional<Bytes>, Error> postRaw(const std::string& url, const std::string& body) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (!curl)
        return {std::nullopt, ErrorValue{"NSURLErrorDomain", HttpSession::kErrorOther, "no HTTP client"}};
    Sink sink;
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60'000L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    // Without a usable identity the handshake goes on without one (the server decides).
    auto identity = TovikNetwork::bundleClientIdentity();
    if (identity) {
        curl_blob blob{identity->data(), identity->size(), CURL_BLOB_COPY};
        curl_easy_setopt(curl, CURLOPT_SSLCERT_BLOB, &blob);
        curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "P12");
        curl_easy_setopt(curl, CURLOPT_KEYPASSWD, TovikNetwork::kClientIdentityPassphrase);
    }
    const TlsTrust trust = TlsTrust::current();  // apply() keeps a pointer into it until the transfer ends
    trust.apply(curl, url);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);

    if (sink.tooLarge)
        return {std::nullopt,
                ErrorValue{"NSURLErrorDomain", HttpSession::kErrorTooLarge, "the reply is too large"}};
    if (code != CURLE_OK) {
        long number = HttpSession::kErrorOther;
        if (code == CURLE_OPERATION_TIMEDOUT) number = HttpSession::kErrorTimedOut;
        if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST)
            number = HttpSession::kErrorCannotConnect;
        return {std::nullopt,
                ErrorValue{"NSURLErrorDomain", number, *errorText ? errorText : curl_easy_strerror(code)}};
    }
    if (status < 200 || status > 299) return {std::nullopt, ErrorValue{"HTTPStatus", status, ""}};
    return {std::move(sink.body), std::nullopt};
}

}  // namespace

TovikNetwork& TovikNetwork::sharedInstance() {
    static TovikNetwork* network = new TovikNetwork;
    return *network;
}

HttpSession& TovikNetwork::httpSessionMgr() {
    std::lock_guard lock(mutex_);
    if (!json_) json_ = std::make_unique<HttpSession>(dispatch::WorkQueue::create("com.velmora.tovik.json"));
    return *json_;
}

std::shared_ptr<dispatch::WorkQueue> TovikNetwork::httpsSessionMgr() {
    std::lock_guard lock(mutex_);
    if (!parse_)
        parse_ = dispatch::WorkQueue::create("com.velmora.https.parse", dispatch::QueueAttr::Concurrent);
    return parse_;
}

void TovikNetwork::requestGeneralConfig(Completion complete) {
    auto& config = ZemServerConfig::sharedInstance();
    config.readServerConfig();
    std::string url;
    if (config.domain_server() && config.domain_port() != 0) {
        url = "http://" + AcountIP_Config(config).value_or(ZemServerConfig::kMissingHost) + ":" +
              std::to_string(AcountIP_Port(config)) + "/api/public/client/start_config";
    }
    if (url.empty()) {
        // A request without an address fails.
        ErrorValue error{"NSURLErrorDomain", -1002, "unsupported URL"};
        log("Get Config faild with error:" + describe(error));
        return complete(std::nullopt, error);
    }
    httpSessionMgr().send({"GET", url, "", {}, 20s}, [complete = std::move(complete)](HttpReply reply) {
        if (reply.error) {
            log("Get Config faild with error:" + describe(*reply.error));
            return complete(std::nullopt, std::move(reply.error));
        }
        complete(std::move(reply.json), std::nullopt);
    });
}

void TovikNetwork::getTovikCerWithInfo(const Json& info, const std::string& url,
                                       std::function<void(std::optional<Bytes>, Error)> complete) {
    Json shown = info;
    if (shown.is_object() && shown.contains("ticket")) shown["ticket"] = "<hidden>";
    log("request Tovik Cer with params:" + shown.dump() + " url:" + url);
    auto body = ClientBody::encryptResquestParams(info);
    auto queue = httpsSessionMgr();
    if (!body) {
        return queue->dispatch([complete = std::move(complete)] {
            complete(std::nullopt,
                     ErrorValue{"NSCocoaErrorDomain", 3840, "the request could not be encoded"});
        });
    }
    queue->dispatch(
        [url = url + "/api/tovik/ca/getcert", body = std::move(*body), complete = std::move(complete)] {
            auto [reply, error] = postRaw(url, body);
            complete(std::move(reply), std::move(error));
        });
}

void TovikNetwork::verifyCerWithSerialNumber(const std::string& serialNumber, const std::string& url,
                                             Completion complete) {
    CURL* curl = curl_easy_init();
    char* escaped =
        curl ? curl_easy_escape(curl, serialNumber.c_str(), static_cast<int>(serialNumber.size())) : nullptr;
    const std::string query = escaped ? escaped : "";
    curl_free(escaped);
    if (curl) curl_easy_cleanup(curl);
    httpSessionMgr().send({"GET", url + "/api/tovik/ca/checkstatus?serial=" + query, "", {}, 20s},
                          [complete = std::move(complete)](HttpReply reply) {
                              if (reply.error) {
                                  log("Get VerifyCer response faild with error:" + describe(*reply.error));
                                  return complete(std::nullopt, std::move(reply.error));
                              }
                              complete(std::move(reply.json), std::nullopt);
                          });
}

bool TovikNetwork::extractIdentity(std::span<const uint8_t> p12, const std::string& password) {
    const unsigned char* cursor = p12.data();
    PKCS12* bundle = p12.empty() ? nullptr : d2i_PKCS12(nullptr, &cursor, static_cast<long>(p12.size()));
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    bool ok = bundle && PKCS12_parse(bundle, password.c_str(), &key, &cert, nullptr) == 1 && key && cert;
    if (!ok) {
        const unsigned long code = ERR_peek_last_error();
        log("Failedwith error code " + std::to_string(static_cast<int>(ERR_GET_REASON(code))));
    }
    ERR_clear_error();
    EVP_PKEY_free(key);
    X509_free(cert);
    PKCS12_free(bundle);
    return ok;
}

std::optional<Bytes> TovikNetwork::bundleClientIdentity() {
    auto bytes = readBundleFile(paths::uiAppResources() + "/client.p12", kMaxIdentityBytes);
    if (!bytes || !extractIdentity(*bytes, kClientIdentityPassphrase)) return std::nullopt;
    return bytes;
}

}  // namespace hux
