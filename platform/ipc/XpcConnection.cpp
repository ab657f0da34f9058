#include "XpcConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <system_error>

#include "ValueCoding.h"

namespace ipc {

namespace {

// Once a frame has begun, the rest must follow within this time.
constexpr double kFrameTimeout = 5.0;

double nonNegative(double seconds) {
    return std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
}

void drain(int fd) {
    uint64_t n;
    while (::read(fd, &n, sizeof n) > 0) {
    }
}

}  // namespace

std::shared_ptr<XpcConnection> XpcConnection::create(const std::string& serviceName,
                                                     const XpcOptions& options) {
    std::shared_ptr<XpcConnection> c(new XpcConnection());
    c->serviceName_ = serviceName;
    c->options_ = options;
    return c;
}

XpcConnection::~XpcConnection() = default;

void XpcConnection::setMessageHandler(MessageHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!finished_) messageHandler_ = std::move(handler);
}

void XpcConnection::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!finished_) invalidationHandler_ = std::move(handler);
}

std::optional<PeerCredentials> XpcConnection::peer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peer_;
}

void XpcConnection::resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (resumed_ || finished_) return;
        resumed_ = true;
    }
    if (!accepted_) {
        UniqueFd fd =
            connectToService(ServiceKind::Xpc, serviceName_, deadlineAfter(nonNegative(options_.sendTimeout)),
                             nullptr, options_.scope);
        std::optional<PeerCredentials> cred = fd.valid() ? peerCredentials(fd.get()) : std::nullopt;
        // A privileged connection talks only to a service that runs as root.
        if (!cred || (options_.privileged && cred->uid != 0)) fd.reset();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            peer_ = cred;
        }
        std::lock_guard<std::mutex> lock(writeMutex_);
        fd_ = std::move(fd);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        self_ = shared_from_this();
    }
    try {
        std::thread([this] { readLoop(); }).detach();
    } catch (const std::system_error&) {
        finish();  // nothing will read: the connection ends here
    }
}

bool XpcConnection::write(const XpcMessage& message, int64_t id, const char* kind) {
    archive::Dictionary envelope;
    envelope["kind"] = kind;
    envelope["id"] = id;
    envelope["body"] = message;
    std::optional<std::vector<uint8_t>> bytes = encodeValue(envelope);
    if (!bytes) return false;
    FrameStatus status;
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (!fd_.valid() || invalidated_.load()) return false;
        status = writeFrame(fd_.get(), *bytes, deadlineAfter(nonNegative(options_.sendTimeout)));
    }
    // A frame cut short leaves the stream unusable.
    if (status != FrameStatus::Ok) invalidate();
    return status == FrameStatus::Ok;
}

bool XpcConnection::send(const XpcMessage& message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!resumed_ || finished_) return false;
    }
    return write(message, 0, "message");
}

bool XpcConnection::send(const XpcMessage& message, ReplyHandler handler) {
    int64_t id;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!resumed_ || finished_) {
            lock.unlock();
            if (handler) handler(std::nullopt);
            return false;
        }
        id = nextId_++;
        pending_[id] = std::move(handler);
    }
    // On failure the connection is invalidated, and the reader hands the pending handler nothing.
    return write(message, id, "message");
}

std::optional<XpcMessage> XpcConnection::sendSync(const XpcMessage& message, double timeout) {
    struct Slot {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::optional<XpcMessage> reply;
    };
    auto slot = std::make_shared<Slot>();
    send(message, [slot](std::optional<XpcMessage> reply) {
        std::lock_guard<std::mutex> lock(slot->m);
        slot->reply = std::move(reply);
        slot->done = true;
        slot->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(slot->m);
    slot->cv.wait_for(lock, std::chrono::duration<double>(nonNegative(timeout)), [&] { return slot->done; });
    return slot->done ? slot->reply : std::nullopt;
}

void XpcConnection::invalidate() {
    bool running;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
        running = resumed_;
    }
    invalidated_.store(true);
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RDWR);
    }
    waker_.wake();
    if (!running) finish();
}

void XpcConnection::readLoop() {
    int fd;
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        fd = fd_.get();  // only finish(), on this thread, closes it
    }
    while (fd >= 0 && !invalidated_.load()) {
        // Sleeps until a frame comes or invalidate() wakes it.
        pollfd fds[2] = {{waker_.fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        int r = ::poll(fds, 2, -1);
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        if (fds[0].revents) {
            drain(waker_.fd());
            continue;
        }
        std::vector<uint8_t> frame;
        uid_t uid = peer_ ? peer_->uid : 0;  // set before the reader starts
        if (readFrame(fd, frame, options_.maxMessageBytes, deadlineAfter(kFrameTimeout), budget_.get(),
                      uid) != FrameStatus::Ok)
            break;
        std::optional<archive::Value> envelope = decodeValue(frame, options_.allowedClasses);
        if (!envelope || !envelope->dictionary()) break;
        const archive::Value* kind = envelope->find("kind");
        const archive::Value* idValue = envelope->find("id");
        const archive::Value* body = envelope->find("body");
        if (!kind || !kind->string() || !idValue || !idValue->integer() || !body || !body->dictionary())
            break;
        int64_t id = *idValue->integer();

        if (*kind->string() == "reply") {
            ReplyHandler handler;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                auto it = pending_.find(id);
                if (it == pending_.end()) continue;  // its sender gave up waiting
                handler = std::move(it->second);
                pending_.erase(it);
            }
            try {
                if (handler) handler(*body->dictionary());
            } catch (...) {
            }
        } else if (*kind->string() == "message") {
            MessageHandler handler;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                handler = messageHandler_;
            }
            Reply reply;
            if (id != 0) {
                std::weak_ptr<XpcConnection> weak = weak_from_this();
                auto used = std::make_shared<std::atomic<bool>>(false);
                reply = [weak, id, used](const XpcMessage& answer) {
                    if (used->exchange(true)) return;
                    if (auto self = weak.lock()) self->write(answer, id, "reply");
                };
            }
            try {
                if (handler) handler(*body->dictionary(), reply);
            } catch (...) {
            }
        } else {
            break;
        }
    }
    finish();
}

void XpcConnection::finish() {
    invalidated_.store(true);
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RDWR);
        fd_.reset();
    }
    std::map<int64_t, ReplyHandler> pending;
    std::function<void()> invalidation;
    std::shared_ptr<XpcConnection> keep;  // destroyed last: it may hold the last reference
    {
        std::lock_guard<std::mutex> lock(mutex_);
        keep = std::move(self_);
        if (finished_) return;
        finished_ = true;
        turn_.reset();  // the listener may take another connection in its place
        pending.swap(pending_);
        invalidation = std::move(invalidationHandler_);
        invalidationHandler_ = nullptr;
        // Handlers often hold the connection; dropping them breaks that cycle.
        messageHandler_ = nullptr;
    }
    for (auto& [id, handler] : pending) {
        try {
            if (handler) handler(std::nullopt);
        } catch (...) {
        }
    }
    try {
        if (invalidation) invalidation();
    } catch (...) {
    }
}

struct XpcListener::State : std::enable_shared_from_this<XpcListener::State> {
    std::string serviceName;
    XpcOptions options;
    std::mutex mutex;
    AcceptHandler handler;
    std::unique_ptr<ListeningEndpoint> endpoint;
    Waker waker;
    std::atomic<bool> stopped{false};
    std::shared_ptr<FrameBudget> budget;

    // Connections kept, by peer user.
    mutable std::mutex countMutex;
    std::map<uid_t, size_t> byUid;
    size_t total = 0;
    size_t others = 0;

    // A turn for a new connection of uid; nothing when its user, or everybody, has none left.
    std::shared_ptr<void> takeTurn(uid_t uid) {
        {
            std::lock_guard<std::mutex> lock(countMutex);
            size_t reserve = std::min(options.rootReserve, options.maxConnections);
            if (total >= options.maxConnections) return nullptr;
            auto mine = byUid.find(uid);
            size_t held = mine == byUid.end() ? 0 : mine->second;
            if (uid != 0 &&
                (held >= options.maxConnectionsPerUser || others >= options.maxConnections - reserve))
                return nullptr;
            ++byUid[uid];
            ++total;
            if (uid != 0) ++others;
        }
        std::weak_ptr<State> weak = weak_from_this();
        // The token points at the state only to be non-empty; releasing it gives the turn back.
        return std::shared_ptr<void>(static_cast<void*>(this), [weak, uid](void*) {
            if (auto self = weak.lock()) self->giveTurn(uid);
        });
    }

    void giveTurn(uid_t uid) {
        std::lock_guard<std::mutex> lock(countMutex);
        auto it = byUid.find(uid);
        if (it != byUid.end() && --it->second == 0) byUid.erase(it);
        --total;
        if (uid != 0) --others;
    }

    void acceptLoop() {
        int listenFd = endpoint->fd();
        std::optional<std::chrono::steady_clock::time_point> pausedUntil;
        while (!stopped.load()) {
            // Sleeps until a connection comes or invalidate() wakes it.
            int timeout = -1;
            if (pausedUntil) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    *pausedUntil - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    pausedUntil.reset();
                } else {
                    timeout = static_cast<int>(left.count()) + 1;
                }
            }
            // While accepting is paused (out of descriptors) the listening socket is left out,
            // so the loop does not spin.
            pollfd fds[2] = {{waker.fd(), POLLIN, 0}, {pausedUntil ? -1 : listenFd, POLLIN, 0}};
            int r = ::poll(fds, 2, timeout);
            if (r < 0 && errno != EINTR) break;
            if (r <= 0) continue;
            if (fds[0].revents) drain(waker.fd());
            if (stopped.load()) break;
            if (!(fds[1].revents & POLLIN)) continue;
            UniqueFd fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd.valid()) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    pausedUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
                continue;
            }
            auto cred = peerCredentials(fd.get());
            if (!cred || (options.privileged && cred->uid != 0)) continue;
            std::shared_ptr<void> turn = takeTurn(cred->uid);
            if (!turn) continue;  // over the bounds: closed at once
            std::shared_ptr<XpcConnection> conn(new XpcConnection());
            conn->serviceName_ = serviceName;
            conn->options_ = options;
            conn->accepted_ = true;
            conn->peer_ = cred;
            conn->fd_ = std::move(fd);
            conn->turn_ = std::move(turn);
            conn->budget_ = budget;
            AcceptHandler accept;
            {
                std::lock_guard<std::mutex> lock(mutex);
                accept = handler;
            }
            bool keep = false;
            try {
                keep = accept && accept(conn);
            } catch (...) {
                keep = false;
            }
            if (!keep) conn->invalidate();
        }
        std::lock_guard<std::mutex> lock(mutex);
        endpoint->close();
    }
};

std::shared_ptr<XpcListener> XpcListener::create(const std::string& serviceName, const XpcOptions& options) {
    std::shared_ptr<XpcListener> l(new XpcListener());
    l->serviceName_ = serviceName;
    l->options_ = options;
    l->state_ = std::make_shared<State>();
    l->state_->serviceName = serviceName;
    l->state_->options = options;
    size_t perUser = options.maxHeldBytesPerUser ? options.maxHeldBytesPerUser : 2 * options.maxMessageBytes;
    size_t others = options.maxHeldBytesOthers ? options.maxHeldBytesOthers : 4 * options.maxMessageBytes;
    l->state_->budget = std::make_shared<FrameBudget>(perUser, others);
    return l;
}

void XpcListener::setAcceptHandler(AcceptHandler handler) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->handler = std::move(handler);
}

bool XpcListener::resume() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->endpoint || state_->stopped.load() || !state_->waker.valid()) return false;
    state_->endpoint =
        ListeningEndpoint::open(ServiceKind::Xpc, serviceName_, options_.privileged, options_.scope);
    if (!state_->endpoint) return false;
    auto state = state_;
    try {
        thread_ = std::thread([state] { state->acceptLoop(); });
    } catch (const std::system_error&) {
        state_->endpoint.reset();
        return false;
    }
    return true;
}

size_t XpcListener::connectionCount() const {
    std::lock_guard<std::mutex> lock(state_->countMutex);
    return state_->total;
}

void XpcListener::invalidate() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopped.store(true);
    if (state_->endpoint) state_->endpoint->releaseName();
    state_->waker.wake();
}

XpcListener::~XpcListener() {
    invalidate();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

}  // namespace ipc
