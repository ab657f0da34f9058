#include "QvRemoteSessionManager.h"

#include "common/logger/DaemonLog.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/device/ITDevice.h"
#include "framework/encoding/Utf8.h"
#include "common/logger/RotatingLogger.h"

using nlohmann::json;
using common::ITDevice;
using common::LogCoreHelper;

namespace hollin {

namespace {

constexpr double kReferenceDate = 978'307'200.0;  // 1 January 2001 in seconds since 1970
constexpr size_t kMaxLoggedMessage = 4096;
constexpr size_t kMaxReadPerEvent = 256 * 1024;
constexpr size_t kMaxReplyBytes = 1 << 20;

std::string clipped(const std::string& text) {
    return text.size() <= kMaxLoggedMessage ? text : text.substr(0, kMaxLoggedMessage) + "...";
}

std::string envProxy() {
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"}) {
        if (const char* value = std::getenv(name); value && *value) return value;
    }
    return "";
}

size_t collectReply(char* data, size_t size, size_t count, void* user) {
    auto* reply = static_cast<std::string*>(user);
    const size_t n = size * count;
    if (reply->size() + n > kMaxReplyBytes) return 0;  // aborts the transfer
    reply->append(data, n);
    return n;
}

bool errCodeIsZero(const json& reply) {
    if (!reply.is_object() || !reply.contains("ErrCode")) return false;
    const json& code = reply["ErrCode"];
    if (code.is_number()) return code.get<double>() == 0;
    if (code.is_string()) {
        const auto& text = code.get_ref<const std::string&>();
        return !text.empty() && text.find_first_not_of('0') == std::string::npos;
    }
    return false;
}

}  // namespace

std::shared_ptr<QvRemoteSessionManager> QvRemoteSessionManager::create(RemoteSessionConfig config) {
    auto manager = std::shared_ptr<QvRemoteSessionManager>(new QvRemoteSessionManager(std::move(config)));
    manager->kqueue_ = ZemRemoteKQueue::initWithDelegate(manager->weak_from_this());
    return manager;
}

QvRemoteSessionManager& QvRemoteSessionManager::sharedInstance() {
    static const auto instance = create();
    return *instance;
}

QvRemoteSessionManager::QvRemoteSessionManager(RemoteSessionConfig config)
    : config_(std::move(config)),
      clock_(config_.clock ? *config_.clock : dispatch::Clock::system()),
      parseQueue_(dispatch::WorkQueue::create("com.velmora.remote.parse", dispatch::QueueAttr::Serial)),
      socketQueue_(dispatch::WorkQueue::create("com.velmora.remote.gcdsocket", dispatch::QueueAttr::Serial)) {
    if (config_.deviceName.empty()) config_.deviceName = ITDevice::currentDevice().machineName();
    if (config_.deviceID.empty()) config_.deviceID = ITDevice::currentDevice().uuid();
    screenSharing_ = config_.screenSharing;
    if (!screenSharing_) {
        screenSharing_ =
            std::make_shared<ScreenSharingService>(ScreenSharingService::configuredUnit(), taskHelperRunner(),
                                                   [this](const std::string& l) { log(l); });
    }
}

QvRemoteSessionManager::~QvRemoteSessionManager() {
    kqueue_.reset();  // no more events once the watcher is gone
    std::lock_guard lock(ioMutex_);
    closeSocketLocked();
}

void QvRemoteSessionManager::log(const std::string& line) const {
    if (config_.log) {
        config_.log(line);
    } else {
        common::daemonLog().writeLog(line);
    }
}

std::string QvRemoteSessionManager::wireMessage(int type) const {
    const std::string body = json{{"DeviceName", config_.deviceName}, {"DeviceID", config_.deviceID}}.dump(2);
    std::string text = type == kKeepAlive ? "POST /remote/Keepalive HTTP/1.1\r\n"
                                          : "POST /remote/ActiveServiceForMachine HTTP/1.1\r\n";
    text += "Host: " + config_.host + "\r\n";
    text += "Connection: Keep-Alive\r\n";
    text += "Content-Type: application/json\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n";
    return text + body;
}

bool QvRemoteSessionManager::startConnectToHost() {
    int64_t expected = kNotConnected;
    if (!connectStatus_.compare_exchange_strong(expected, kConnecting)) return true;
    stopReconnect_ = false;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(config_.host.c_str(), std::to_string(config_.port).c_str(), &hints, &found) != 0 ||
        !found) {
        connectStatus_ = kNotConnected;
        log("[QvRemoteSessionManager]socket connect failed: cannot resolve " + config_.host);
        return false;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int rc = fd < 0 ? -1 : ::connect(fd, found->ai_addr, found->ai_addrlen);
    const int connectErrno = errno;
    ::freeaddrinfo(found);
    if (fd < 0 || (rc != 0 && connectErrno != EINPROGRESS)) {
        if (fd >= 0) ::close(fd);
        connectStatus_ = kNotConnected;
        log(std::string("[QvRemoteSessionManager]socket connect failed: ") + std::strerror(connectErrno));
        return false;
    }

    uint64_t generation = 0;
    {
        std::lock_guard lock(ioMutex_);
        closeSocketLocked();
        socket_ = fd;
        generation = ++generation_;
        assembler_.reset();
        pendingSince_ = -1;
        connectStatus_ = kConnecting;
    }
    // The wait uses its own descriptor of the socket: should the channel close the socket
    // meanwhile, the number may be reused, and the wait must not end up on another file.
    const int waitFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    socketQueue_->dispatch([self = shared_from_this(), generation, fd, waitFd] {
        pollfd p{waitFd, POLLOUT, 0};
        int ready = -1;
        do {
            ready = waitFd < 0 ? -1 : ::poll(&p, 1, static_cast<int>(kConnectTimeout * 1000));
        } while (ready < 0 && errno == EINTR);
        int soError = 0;
        socklen_t len = sizeof soError;
        if (ready == 0) {
            soError = ETIMEDOUT;
        } else if (ready < 0 || ::getsockopt(waitFd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
            soError = errno ? errno : EBADF;
        }
        if (waitFd >= 0) ::close(waitFd);
        if (soError != 0) {
            self->onDisconnected(generation, std::strerror(soError));
        } else {
            self->onConnected(generation, fd);
        }
    });
    return true;
}

void QvRemoteSessionManager::onConnected(uint64_t generation, int fd) {
    {
        std::lock_guard lock(ioMutex_);
        if (generation != generation_ || socket_ != fd) return;  // dropped meanwhile
        // Blocking writes bounded by the write time-out; reads never block (they run on readiness).
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        timeval tv{static_cast<time_t>(kWriteTimeout), 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        connectStatus_ = kConnected;
    }
    if (kqueue_) {
        kqueue_->unregister();
        kqueue_->addSocketToQueue(fd);
    }
    lastKeepAliveTime_ = clock_.now();
    writeAll(generation, wireMessage(kKeepAlive));
}

void QvRemoteSessionManager::onDisconnected(uint64_t generation, const std::string& error) {
    {
        std::lock_guard lock(ioMutex_);
        if (generation != generation_) return;
        closeSocketLocked();
        ++generation_;
        connectStatus_ = kNotConnected;
    }
    log("[QvRemoteSessionManager]socket is disconnect. Error: " + error);
    if (kqueue_) kqueue_->unregister();
}

void QvRemoteSessionManager::closeSocketLocked() {
    if (socket_ < 0) return;
    if (kqueue_ && kqueue_->fd() == socket_) kqueue_->unregister();
    ::close(socket_);
    socket_ = -1;
    assembler_.reset();
    pendingSince_ = -1;
}

bool QvRemoteSessionManager::writeAll(uint64_t generation, const std::string& bytes) {
    std::string error;
    {
        std::lock_guard lock(ioMutex_);
        if (generation != generation_ || socket_ < 0) return false;
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                error = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ? "write timeout"
                                                                             : std::strerror(errno);
                break;
            }
        }
        if (error.empty()) return true;
    }
    if (error == "write timeout") log("[QvRemoteSessionManager] socket write timeout....");
    onDisconnected(generation, error);
    return false;
}

void QvRemoteSessionManager::reastartConnectToHost() {
    if (stopReconnect_.load()) return;
    {
        std::lock_guard lock(ioMutex_);
        closeSocketLocked();
        ++generation_;
        connectStatus_ = kNotConnected;
    }
    if (kqueue_) kqueue_->unregister();
    startConnectToHost();
}

void QvRemoteSessionManager::disconnectSocket(bool stopReconnect) {
    stopReconnect_ = stopReconnect;
    std::lock_guard lock(ioMutex_);
    closeSocketLocked();
    ++generation_;
    connectStatus_ = kNotConnected;
}

void QvRemoteSessionManager::keepLongConnectionWithType(int type) {
    uint64_t generation = 0;
    {
        std::lock_guard lock(ioMutex_);
        if (socket_ < 0 || connectStatus_.load() != kConnected) {
            generation = 0;
        } else {
            generation = generation_;
        }
    }
    if (generation == 0) {
        log("[QvRemoteSessionManager]socket has disconnected, stop sending keep long connection");
        return;
    }
    lastKeepAliveTime_ = clock_.now();
    // The serial socket queue sends one message at a time, in order.
    socketQueue_->dispatch([self = shared_from_this(), generation, bytes = wireMessage(type)] {
        self->writeAll(generation, bytes);
    });
}

void QvRemoteSessionManager::tick() {
    if (connectStatus_.load() == kConnected &&
        clock_.now() - lastKeepAliveTime_.load() >= config_.keepAliveInterval) {
        keepLongConnectionWithType(kKeepAlive);
    }
    uint64_t stale = 0;
    {
        std::lock_guard lock(ioMutex_);
        if (pendingSince_ >= 0 && clock_.uptime() - pendingSince_ > config_.readTimeout) stale = generation_;
    }
    if (stale) {
        log("[QvRemoteSessionManager] socket read timeout....");
        onDisconnected(stale, "read timeout");
    }
}

void QvRemoteSessionManager::handleSocketEvent() {
    std::vector<std::string> messages;
    std::string error;
    bool moreThanOne = false;
    bool partial = false;
    uint64_t generation = 0;
    {
        std::lock_guard lock(ioMutex_);
        if (socket_ < 0 || connectStatus_.load() != kConnected) return;
        generation = generation_;
        char buffer[16384];
        size_t total = 0;
        while (total < kMaxReadPerEvent) {
            const ssize_t n = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                error = n == 0 ? "closed by the server" : std::strerror(errno);
                break;
            }
            total += static_cast<size_t>(n);
            recvRespTimeInterval_ = clock_.now() - kReferenceDate;
            const size_t before = messages.size();
            if (!assembler_.append(std::string_view(buffer, static_cast<size_t>(n)), messages)) {
                error = "malformed message framing";
                break;
            }
            moreThanOne = moreThanOne || messages.size() - before > 1 ||
                          (messages.size() > before && assembler_.pending() > 0);
        }
        partial = assembler_.pending() > 0;
        if (!partial) {
            pendingSince_ = -1;
        } else if (pendingSince_ < 0) {
            pendingSince_ = clock_.uptime();
        }
    }
    if (moreThanOne) log("[QvRemoteSessionManager]socket receive data length more than  total length. ");
    if (partial && error.empty())
        log("[QvRemoteSessionManager]socket receive data length less total length. ");
    for (auto& message : messages) {
        if (queuedMessages_.fetch_add(1) >= kMaxQueuedMessages) {
            queuedMessages_.fetch_sub(1);
            log("[QvRemoteSessionManager]too many messages waiting, dropped one");
            continue;
        }
        parseQueue_->dispatch([self = shared_from_this(), text = std::move(message)] {
            self->handleMessage(text);
            self->queuedMessages_.fetch_sub(1);
        });
    }
    if (!error.empty()) onDisconnected(generation, error);
}

void QvRemoteSessionManager::handleMessage(const std::string& text) {
    if (!utf8::isValid(text)) {
        log("[QvRemoteSessionManager]socket receive data that is not UTF-8, dropped");
        return;
    }
    if (text.find("Url:/remote/Keepalive") != std::string::npos) return;
    if (text.find("Url:/remote/ActiveServiceForMachine") == std::string::npos) {
        log(clipped(text));
        return;
    }
    log("[QvRemoteSessionManager]socket receive response.  " + clipped(text));
    if (text.find("DeviceID") == std::string::npos || text.find("Activate") == std::string::npos) return;
    const size_t headerEnd = text.rfind("\r\n\r\n");
    const json body =
        json::parse(text.substr(headerEnd == std::string::npos ? 0 : headerEnd + 4), nullptr, false);
    if (!body.is_object()) return;
    const auto id = body.find("DeviceID");
    // A machine without a UUID matches no request.
    if (id == body.end() || !id->is_string() || config_.deviceID.empty() ||
        id->get_ref<const std::string&>() != config_.deviceID) {
        return;
    }
    const auto activate = body.find("Activate");
    const bool on = activate != body.end() &&
                    ((activate->is_string() && activate->get_ref<const std::string&>() == "1") ||
                     (activate->is_number_integer() && activate->get<int64_t>() == 1));
    if (!on) {
        inactiveRemoteService();
        return;
    }
    const double started = clock_.uptime();
    // The report carries what happened: a refused or failed activation is reported as "0".
    const bool ok = activeRemoteService();
    reportActiveStatus(ok, kScreenSharingPort, [this, started](bool, json) {
        log("[report active status] spend time: " + std::to_string(clock_.uptime() - started));
        log("[QvRemoteSessionManager]last chunk at " + std::to_string(recvRespTimeInterval_.load()));
    });
}

bool QvRemoteSessionManager::activeRemoteService() {
    return screenSharing_->activeRemoteService();
}

bool QvRemoteSessionManager::inactiveRemoteService() {
    return screenSharing_->inactiveRemoteService();
}

bool QvRemoteSessionManager::getRemoteServiceState() {
    return screenSharing_->getRemoteServiceState();
}

void QvRemoteSessionManager::reportActiveStatus(bool result, int /*port*/, ReportCompletion complete) {
    postReport("remote/ActiveResultReport",
               json{{"DeviceID", config_.deviceID}, {"Result", result ? "1" : "0"}}, std::move(complete));
}

void QvRemoteSessionManager::reportActiveStatusWithComplete(ReportCompletion complete) {
    const json body{{"ServiceStatus", getRemoteServiceState() ? "on" : "off"},
                    {"Port", kScreenSharingPort},
                    {"Proxy", envProxy()},
                    {"FirewallRule", "OK"},
                    {"DeviceID", config_.deviceID}};
    postReport("remote/ReportStatus", body, std::move(complete));
}

void QvRemoteSessionManager::postReport(const std::string& path, const json& body,
                                        ReportCompletion complete) {
    const std::string url = "http://" + config_.host + ":" + std::to_string(config_.reportPort) + "/" + path;
    const std::string payload = body.dump();
    std::string reply;
    long status = 0;
    CURLcode rc = CURLE_FAILED_INIT;
    if (CURL* curl = ::curl_easy_init()) {
        curl_slist* headers = nullptr;
        headers = ::curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
        headers = ::curl_slist_append(headers, ("Content-Length: " + std::to_string(payload.size())).c_str());
        headers = ::curl_slist_append(headers, "Connection: close");
        ::curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        ::curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        ::curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        ::curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.c_str());
        ::curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
        ::curl_easy_setopt(curl, CURLOPT_TIMEOUT, kReportTimeout);
        ::curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        ::curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectReply);
        ::curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
        rc = ::curl_easy_perform(curl);
        ::curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        ::curl_slist_free_all(headers);
        ::curl_easy_cleanup(curl);
    }
    log("[report active status] response: " + clipped(reply) +
        "  error: " + (rc == CURLE_OK ? std::string("(null)") : std::string(::curl_easy_strerror(rc))));
    json parsed = json::parse(reply, nullptr, false);
    const bool ok = rc == CURLE_OK && status == 200 && errCodeIsZero(parsed);
    if (complete) complete(ok, ok ? std::move(parsed) : json());
}

void QvRemoteSessionManager::waitIdle() {
    // Writes are queued on the socket queue and handling on the parse queue; a handler may queue
    // a write, so the socket queue is drained after the parse queue.
    parseQueue_->dispatchSync([] {});
    socketQueue_->dispatchSync([] {});
}

}  // namespace hollin
