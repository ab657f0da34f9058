// The request/reply serving loop behind message ports and named connections: it accepts clients
// on a registered name and answers their frames one at a time on the thread that runs it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Endpoint.h"

namespace ipc {

class ServeLoop {
  public:
    struct Options {
        size_t maxRequestBytes = 32u << 20;
        // Clients served at once. Beyond these, connections wait their turn (accepted, unread)
        // for as long as their callers wait.
        size_t maxClients = 64;
        // Of those, what one user other than root may take, and how many only root may take.
        size_t maxClientsPerUser = 16;
        size_t rootReserve = 16;
        // Connections of users other than root that may wait for a turn: per user and together.
        // Beyond these, a user's new connections are closed at once. Root's always wait.
        size_t maxWaitingPerUser = 128;
        size_t maxWaiting = 512;
        // A connection waits at most this long for a turn (its caller has given up by then).
        double maxWait = 120.0;
        // Bytes of requests being assembled: per user (0: twice maxRequestBytes), and of all
        // users other than root together (0: four times maxRequestBytes).
        size_t maxHeldBytesPerUser = 0;
        size_t maxHeldBytesOthers = 0;
        // Once a frame's first byte has arrived, the rest must follow within this time; a
        // one-request client must also send its request within it.
        double frameTimeout = 5.0;
        // A reply the client does not take within this time drops the client.
        double replyTimeout = 10.0;
        // A persistent connection idle this long gives its turn up to a waiting connection of
        // the same user (or of any user but root when those have no turn left).
        double idleYield = 2.0;
        // Each connection carries one request and its reply (message ports).
        bool closeAfterReply = false;
    };

    // A reply frame: the data, then an optional trailing byte sent with it without a copy.
    struct Reply {
        Reply(std::vector<uint8_t> d, std::optional<uint8_t> t = std::nullopt)
            : data(std::move(d)), trailer(t) {}
        std::vector<uint8_t> data;
        std::optional<uint8_t> trailer;
    };
    // Answers one request; nothing drops the client without a reply (a malformed request).
    using Handler =
        std::function<std::optional<Reply>(std::vector<uint8_t>& request, const PeerCredentials& peer)>;

    ServeLoop(std::unique_ptr<ListeningEndpoint> endpoint, Options options, Handler handler);
    ~ServeLoop();
    ServeLoop(const ServeLoop&) = delete;
    ServeLoop& operator=(const ServeLoop&) = delete;

    // Serves on the calling thread until stop(). Returns at once when already stopped or when
    // another thread is serving.
    void run();

    // From any thread, also from inside the handler: the name is given up at once (new clients
    // find nothing), and run() returns once the request in hand is answered.
    void stop();
    bool isStopped() const { return stopped_.load(); }

    // True when called on the thread inside run().
    bool isServingThread() const;

    // Waits until run() has returned, or never started; false at the time-out.
    bool waitUntilIdle(double seconds);

    // What the loop holds now, for tests and diagnostics.
    struct Load {
        size_t served = 0;
        size_t waiting = 0;
        size_t heldBytes = 0;
    };
    Load load() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        Client(UniqueFd f, PeerCredentials p, size_t maxBytes, std::shared_ptr<FrameBudget> budget)
            : fd(std::move(f)),
              peer(p),
              frames(maxBytes, std::move(budget), p.uid),
              lastActive(Clock::now()) {}
        UniqueFd fd;
        PeerCredentials peer;
        FrameAssembler frames;
        // Since when a request (or the rest of one) is awaited; unset when none is due.
        std::optional<Clock::time_point> waitingSince;
        Clock::time_point lastActive;
        bool drop = false;
    };
    struct Waiting {
        UniqueFd fd;
        PeerCredentials peer;
        Clock::time_point since;
    };
    void acceptClients(Clock::time_point now);
    void admitWaiting(Clock::time_point now);
    bool admissible(uid_t uid) const;
    // Closes the longest-idle persistent connection that stands in the way of uid; false when none.
    bool yieldIdleFor(uid_t uid, Clock::time_point now);
    // False when the client must go.
    bool serveClient(Client& client);
    bool overdue(const Client& client, Clock::time_point now) const;
    void removeDropped();
    void publishLoad();

    std::unique_ptr<ListeningEndpoint> endpoint_;
    Options options_;
    Handler handler_;
    std::shared_ptr<FrameBudget> budget_;
    Waker waker_;
    std::atomic<bool> stopped_{false};
    std::vector<Client> clients_;
    std::deque<Waiting> waiting_;
    std::map<uid_t, size_t> servedBy_;
    std::map<uid_t, size_t> waitingBy_;
    size_t servedOthers_ = 0;
    size_t waitingOthers_ = 0;
    std::optional<Clock::time_point> acceptPausedUntil_;

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool running_ = false;
    std::thread::id servingThread_;
    Load load_;
};

}  // namespace ipc
