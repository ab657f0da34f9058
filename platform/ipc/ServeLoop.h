// The request/reply serving loop behind message ports and named connections: it accepts clients
// on a registered name and answers their frames one at a time on the thread that runs it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ipc/Endpoint.h"

namespace ipc {

class ServeLoop {
  public:
    struct Options {
        size_t maxRequestBytes = 32u << 20;
        size_t maxClients = 64;
        // Once a frame's first byte has arrived, the rest must follow within this time; a
        // one-request client must also send its request within it.
        double frameTimeout = 5.0;
        // A reply the client does not take within this time drops the client.
        double replyTimeout = 10.0;
        // Each connection carries one request and its reply (message ports).
        bool closeAfterReply = false;
    };

    // Answers one request; nothing drops the client without a reply (a malformed request).
    using Handler = std::function<std::optional<std::vector<uint8_t>>(std::vector<uint8_t>& request,
                                                                      const PeerCredentials& peer)>;

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

  private:
    struct Client {
        Client(UniqueFd f, PeerCredentials p, size_t maxBytes)
            : fd(std::move(f)), peer(p), frames(maxBytes), waitingSince(std::chrono::steady_clock::now()) {}
        UniqueFd fd;
        PeerCredentials peer;
        FrameAssembler frames;
        // Since when a request (or the rest of one) is awaited; unset when none is due.
        std::optional<std::chrono::steady_clock::time_point> waitingSince;
    };
    void acceptClients();
    // False when the client must go.
    bool serveClient(Client& client);
    bool overdue(const Client& client, std::chrono::steady_clock::time_point now) const;

    std::unique_ptr<ListeningEndpoint> endpoint_;
    Options options_;
    Handler handler_;
    Waker waker_;
    std::atomic<bool> stopped_{false};
    std::vector<Client> clients_;

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool running_ = false;
    std::thread::id servingThread_;
};

}  // namespace ipc
