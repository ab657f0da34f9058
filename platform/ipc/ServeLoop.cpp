#include "ServeLoop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ipc {

namespace {

// How long accepting pauses when the process is out of descriptors or memory.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(200);

void decrement(std::map<uid_t, size_t>& counts, uid_t uid) {
    auto it = counts.find(uid);
    if (it != counts.end() && --it->second == 0) counts.erase(it);
}

size_t countOf(const std::map<uid_t, size_t>& counts, uid_t uid) {
    auto it = counts.find(uid);
    return it == counts.end() ? 0 : it->second;
}

}  // namespace

ServeLoop::ServeLoop(std::unique_ptr<ListeningEndpoint> endpoint, Options options, Handler handler)
    : endpoint_(std::move(endpoint)), options_(options), handler_(std::move(handler)) {
    size_t perUser =
        options_.maxHeldBytesPerUser ? options_.maxHeldBytesPerUser : 2 * options_.maxRequestBytes;
    size_t others = options_.maxHeldBytesOthers ? options_.maxHeldBytesOthers : 4 * options_.maxRequestBytes;
    budget_ = std::make_shared<FrameBudget>(perUser, others);
    options_.rootReserve = std::min(options_.rootReserve, options_.maxClients);
}

ServeLoop::~ServeLoop() {
    stop();
}

void ServeLoop::stop() {
    stopped_.store(true);
    if (endpoint_) endpoint_->releaseName();
    waker_.wake();
}

bool ServeLoop::isServingThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ && servingThread_ == std::this_thread::get_id();
}

bool ServeLoop::waitUntilIdle(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_ && servingThread_ == std::this_thread::get_id()) return false;
    return idle_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return !running_; });
}

ServeLoop::Load ServeLoop::load() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return load_;
}

void ServeLoop::publishLoad() {
    Load now{clients_.size(), waiting_.size(), budget_->held()};
    std::lock_guard<std::mutex> lock(mutex_);
    load_ = now;
}

void ServeLoop::run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_ || stopped_.load() || !endpoint_ || !waker_.valid()) return;
        running_ = true;
        servingThread_ = std::this_thread::get_id();
    }
    std::vector<pollfd> fds;
    while (!stopped_.load()) {
        auto now = Clock::now();
        if (acceptPausedUntil_ && now >= *acceptPausedUntil_) acceptPausedUntil_.reset();
        fds.clear();
        fds.push_back({waker_.fd(), POLLIN, 0});
        // While accepting is paused the listening socket is left out, so the loop does not spin.
        fds.push_back({acceptPausedUntil_ ? -1 : endpoint_->fd(), POLLIN, 0});
        for (const Client& c : clients_) fds.push_back({c.fd.get(), POLLIN, 0});
        // Waiting connections are watched only for their caller hanging up.
        for (const Waiting& w : waiting_) fds.push_back({w.fd.get(), POLLRDHUP, 0});
        // Wakes at least once a second to drop clients that stall inside a request; with no
        // client it sleeps until a connection or stop() (the waker) comes.
        int timeout = clients_.empty() && waiting_.empty() ? -1 : 1000;
        if (acceptPausedUntil_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*acceptPausedUntil_ - now);
            timeout = std::clamp<int>(static_cast<int>(left.count()) + 1, 1, timeout < 0 ? 1000 : timeout);
        }
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && fds[0].revents) {
            uint64_t n;
            while (::read(waker_.fd(), &n, sizeof n) > 0) {
            }
        }
        if (stopped_.load()) break;
        now = Clock::now();
        size_t polled = clients_.size();
        for (size_t i = 0; i < polled && !stopped_.load(); ++i) {
            if (r > 0 && fds[i + 2].revents != 0) {
                clients_[i].drop = !serveClient(clients_[i]);
            } else {
                clients_[i].drop = overdue(clients_[i], now);
            }
        }
        if (stopped_.load()) break;
        // Callers that hung up, or waited past any caller's patience, leave the queue.
        size_t base = 2 + polled;
        std::vector<bool> leave(waiting_.size(), false);
        for (size_t i = 0; i < waiting_.size(); ++i) {
            leave[i] = (r > 0 && fds[base + i].revents != 0) ||
                       now - waiting_[i].since > std::chrono::duration<double>(options_.maxWait);
        }
        for (size_t i = waiting_.size(); i-- > 0;) {
            if (!leave[i]) continue;
            uid_t uid = waiting_[i].peer.uid;
            decrement(waitingBy_, uid);
            if (uid != 0) --waitingOthers_;
            waiting_.erase(waiting_.begin() + static_cast<long>(i));
        }
        removeDropped();
        if (r > 0 && (fds[1].revents & POLLIN)) acceptClients(now);
        admitWaiting(now);
        publishLoad();
    }
    clients_.clear();
    waiting_.clear();
    servedBy_.clear();
    waitingBy_.clear();
    servedOthers_ = waitingOthers_ = 0;
    publishLoad();
    endpoint_->close();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    servingThread_ = {};
    idle_.notify_all();
}

void ServeLoop::removeDropped() {
    for (size_t i = clients_.size(); i-- > 0;) {
        if (!clients_[i].drop) continue;
        uid_t uid = clients_[i].peer.uid;
        decrement(servedBy_, uid);
        if (uid != 0) --servedOthers_;
        clients_.erase(clients_.begin() + static_cast<long>(i));
    }
}

void ServeLoop::acceptClients(Clock::time_point now) {
    // A bounded number per pass, so a flood of connections cannot keep the loop from serving.
    for (int n = 0; n < 256; ++n) {
        UniqueFd fd(::accept4(endpoint_->fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + kAcceptBackoff;
            return;
        }
        auto cred = peerCredentials(fd.get());
        // A root-only service refuses other users even if its socket file mode were widened.
        if (!cred || (endpoint_->rootOnly() && cred->uid != 0)) continue;
        if (cred->uid != 0) {
            if (countOf(waitingBy_, cred->uid) >= options_.maxWaitingPerUser ||
                waitingOthers_ >= options_.maxWaiting) {
                continue;  // this user has more than enough connections in line
            }
            ++waitingOthers_;
        }
        ++waitingBy_[cred->uid];
        waiting_.push_back(Waiting{std::move(fd), *cred, now});
    }
}

bool ServeLoop::admissible(uid_t uid) const {
    if (clients_.size() >= options_.maxClients) return false;
    if (uid == 0) return true;
    return countOf(servedBy_, uid) < options_.maxClientsPerUser &&
           servedOthers_ < options_.maxClients - options_.rootReserve;
}

bool ServeLoop::yieldIdleFor(uid_t uid, Clock::time_point now) {
    if (options_.closeAfterReply) return false;  // one-request clients time out on their own
    // Whose turn may be given up: the same user's, or when all turns of the other users are
    // taken, any of theirs; root's only to root.
    bool othersFull = uid != 0 && servedOthers_ >= options_.maxClients - options_.rootReserve;
    bool full = clients_.size() >= options_.maxClients;
    Client* oldest = nullptr;
    for (Client& c : clients_) {
        if (c.drop || c.frames.hasPartialFrame()) continue;
        bool mine = c.peer.uid == uid;
        bool candidate = mine || (othersFull && c.peer.uid != 0) || (full && uid == 0 && c.peer.uid != 0);
        if (!candidate) continue;
        if (now - c.lastActive < std::chrono::duration<double>(options_.idleYield)) continue;
        if (!oldest || c.lastActive < oldest->lastActive) oldest = &c;
    }
    if (!oldest) return false;
    oldest->drop = true;
    removeDropped();
    return true;
}

void ServeLoop::admitWaiting(Clock::time_point now) {
    // In arrival order, each connection whose user still has a turn to take; the others keep
    // their place in line.
    for (size_t i = 0; i < waiting_.size() && !stopped_.load();) {
        uid_t uid = waiting_[i].peer.uid;
        if (!admissible(uid) && !(yieldIdleFor(uid, now) && admissible(uid))) {
            ++i;
            continue;
        }
        Waiting w = std::move(waiting_[i]);
        waiting_.erase(waiting_.begin() + static_cast<long>(i));
        decrement(waitingBy_, uid);
        if (uid != 0) {
            --waitingOthers_;
            ++servedOthers_;
        }
        ++servedBy_[uid];
        clients_.emplace_back(std::move(w.fd), w.peer, options_.maxRequestBytes, budget_);
        Client& c = clients_.back();
        // A one-request client must send its request within the frame time-out from now; a
        // persistent client may stay quiet between requests.
        if (options_.closeAfterReply) c.waitingSince = now;
        // The request is often there already: serve it without another round of poll.
        if (!serveClient(c)) {
            c.drop = true;
            removeDropped();
        }
    }
}

bool ServeLoop::overdue(const Client& client, Clock::time_point now) const {
    return client.waitingSince &&
           now - *client.waitingSince > std::chrono::duration<double>(options_.frameTimeout);
}

bool ServeLoop::serveClient(Client& client) {
    std::vector<std::vector<uint8_t>> requests;
    if (client.frames.receive(client.fd.get(), requests) != FrameStatus::Ok) return false;
    auto now = Clock::now();
    if (!requests.empty() || client.frames.hasPartialFrame()) client.lastActive = now;
    for (std::vector<uint8_t>& request : requests) {
        std::optional<Reply> reply;
        try {
            reply = handler_(request, client.peer);
        } catch (...) {
            return false;
        }
        if (!reply) return false;
        uint8_t trailer = reply->trailer.value_or(0);
        std::span<const uint8_t> parts[] = {reply->data, {&trailer, reply->trailer ? 1u : 0u}};
        if (writeFrameParts(client.fd.get(), parts, deadlineAfter(options_.replyTimeout)) !=
            FrameStatus::Ok) {
            return false;
        }
        if (options_.closeAfterReply) return false;
        if (stopped_.load()) return true;
        client.lastActive = Clock::now();
    }
    now = Clock::now();
    if (client.frames.hasPartialFrame()) {
        if (!client.waitingSince) client.waitingSince = now;
        return !overdue(client, now);
    }
    if (!options_.closeAfterReply) client.waitingSince.reset();
    return !overdue(client, now);
}

}  // namespace ipc
