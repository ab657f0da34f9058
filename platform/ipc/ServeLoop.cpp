#include "ipc/ServeLoop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace ipc {

ServeLoop::ServeLoop(std::unique_ptr<ListeningEndpoint> endpoint, Options options, Handler handler)
    : endpoint_(std::move(endpoint)), options_(options), handler_(std::move(handler)) {}

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

void ServeLoop::run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_ || stopped_.load() || !endpoint_ || !waker_.valid()) return;
        running_ = true;
        servingThread_ = std::this_thread::get_id();
    }
    std::vector<pollfd> fds;
    std::vector<bool> drop;
    while (!stopped_.load()) {
        fds.clear();
        fds.push_back({waker_.fd(), POLLIN, 0});
        fds.push_back({endpoint_->fd(), POLLIN, 0});
        for (const Client& c : clients_) fds.push_back({c.fd.get(), POLLIN, 0});
        // Wakes at least once a second to drop clients that stall inside a request.
        int r = ::poll(fds.data(), fds.size(), clients_.empty() ? 5000 : 1000);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && fds[0].revents) {
            uint64_t n;
            while (::read(waker_.fd(), &n, sizeof n) > 0) {
            }
        }
        if (stopped_.load()) break;
        // The clients polled come first; those accepted now are appended after them.
        size_t polled = fds.size() - 2;
        drop.assign(polled, false);
        auto now = std::chrono::steady_clock::now();
        for (size_t i = 0; i < polled && !stopped_.load(); ++i) {
            if (r > 0 && fds[i + 2].revents != 0) {
                drop[i] = !serveClient(clients_[i]);
            } else {
                drop[i] = overdue(clients_[i], now);
            }
        }
        for (size_t i = polled; i-- > 0;) {
            if (drop[i]) clients_.erase(clients_.begin() + static_cast<long>(i));
        }
        if (r > 0 && (fds[1].revents & POLLIN) && !stopped_.load()) acceptClients();
    }
    clients_.clear();
    endpoint_->close();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    servingThread_ = {};
    idle_.notify_all();
}

void ServeLoop::acceptClients() {
    for (;;) {
        UniqueFd fd(::accept4(endpoint_->fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        auto cred = peerCredentials(fd.get());
        // A root-only service refuses other users even if its socket file mode were widened.
        if (!cred || (endpoint_->rootOnly() && cred->uid != 0)) continue;
        if (clients_.size() >= options_.maxClients) continue;
        clients_.emplace_back(std::move(fd), *cred, options_.maxRequestBytes);
        // A persistent client may stay quiet between requests.
        if (!options_.closeAfterReply) clients_.back().waitingSince.reset();
    }
}

bool ServeLoop::overdue(const Client& client, std::chrono::steady_clock::time_point now) const {
    return client.waitingSince &&
           now - *client.waitingSince > std::chrono::duration<double>(options_.frameTimeout);
}

bool ServeLoop::serveClient(Client& client) {
    std::vector<std::vector<uint8_t>> requests;
    if (client.frames.receive(client.fd.get(), requests) != FrameStatus::Ok) return false;
    for (std::vector<uint8_t>& request : requests) {
        std::optional<std::vector<uint8_t>> reply;
        try {
            reply = handler_(request, client.peer);
        } catch (...) {
            return false;
        }
        if (!reply) return false;
        if (writeFrame(client.fd.get(), *reply, deadlineAfter(options_.replyTimeout)) != FrameStatus::Ok) {
            return false;
        }
        if (options_.closeAfterReply) return false;
        if (stopped_.load()) return true;
    }
    auto now = std::chrono::steady_clock::now();
    if (client.frames.hasPartialFrame()) {
        if (!client.waitingSince) client.waitingSince = now;
        return !overdue(client, now);
    }
    if (!options_.closeAfterReply) client.waitingSince.reset();
    return !overdue(client, now);
}

}  // namespace ipc
