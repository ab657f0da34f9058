// A job started on demand that serves its one service name with the XPC-style listener on the
// socket its supervisor handed over: it answers {"a","b"} with {"sum","pid","uid"} and quits once its
// last client has gone, so the supervisor starts a new instance for the next client.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/ipc/XpcConnection.h"

namespace {

int64_t intOf(const ipc::XpcMessage& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() ? 0 : it->second.integer().value_or(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    std::mutex m;
    std::condition_variable cv;
    int open = 0;
    bool served = false;

    auto listener = ipc::XpcListener::create(argv[1]);
    listener->setAcceptHandler([&](const std::shared_ptr<ipc::XpcConnection>& c) {
        {
            std::lock_guard<std::mutex> l(m);
            ++open;
            served = true;
        }
        c->setMessageHandler([](const ipc::XpcMessage& msg, const ipc::XpcConnection::Reply& reply) {
            if (reply)
                reply({{"sum", intOf(msg, "a") + intOf(msg, "b")},
                       {"pid", int64_t{::getpid()}},
                       {"uid", int64_t{::geteuid()}}});
        });
        c->setInvalidationHandler([&] {
            std::lock_guard<std::mutex> l(m);
            --open;
            cv.notify_all();
        });
        c->resume();
        return true;
    });
    if (!listener->resume()) return 3;

    std::unique_lock<std::mutex> l(m);
    // A job that never gets its client ends after a while instead of lingering.
    bool done = cv.wait_for(l, std::chrono::seconds(30), [&] { return served && open == 0; });
    l.unlock();
    listener->invalidate();
    return done ? 0 : 4;
}
