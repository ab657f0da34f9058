// A stand-in for the outside ticket service: the user's service "com.velmora.ZemClound.Ticket",
// started on demand by launchd with the listening socket handed over. It keeps one fact: whether
// startRunProxy: came in this life. checkIsNewConnection:block: answers YES until it has, so a
// fresh instance (after a quit or a crash) asks to be started again. closeXPCAndProxy forgets it.
// It quits once its last client has gone; the next client gets a new instance.
//
// RAVAVIZA_TICKET_SILENT=1 makes it answer nothing at all, for tests of a service that hangs.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/ipc/XpcConnection.h"
#include "ui/session/ticket/RavAviza_ticketProtocol.h"

namespace proto = hux::ticket_protocol;

int main() {
    const char* silentText = std::getenv("RAVAVIZA_TICKET_SILENT");
    const bool silent = silentText && std::strcmp(silentText, "1") == 0;

    std::mutex m;
    std::condition_variable cv;
    int open = 0;
    bool served = false;
    bool running = false;

    ipc::XpcOptions options;
    options.scope = ipc::Scope::ofUser(::geteuid());
    options.maxMessageBytes = 64 * 1024;
    auto listener = ipc::XpcListener::create(proto::kServiceName, options);
    listener->setAcceptHandler([&](const std::shared_ptr<ipc::XpcConnection>& c) {
        {
            std::lock_guard<std::mutex> l(m);
            ++open;
            served = true;
        }
        c->setMessageHandler([&](const ipc::XpcMessage& msg, const ipc::XpcConnection::Reply& reply) {
            auto it = msg.find(proto::kSelector);
            const std::string selector = it != msg.end() && it->second.string() ? *it->second.string() : "";
            std::fprintf(stderr, "ticket: %s%s\n", selector.c_str(), silent ? " (silent)" : "");
            if (silent) return;
            bool result = false;
            {
                std::lock_guard<std::mutex> l(m);
                if (selector == proto::kStartRunProxy) {
                    running = true;
                    result = true;
                } else if (selector == proto::kCheckIsNewConnection) {
                    result = !running;
                } else if (selector == proto::kCloseXPCAndProxy) {
                    running = false;
                    return;
                } else {
                    return;
                }
            }
            if (reply) reply({{proto::kResult, result}});
        });
        c->setInvalidationHandler([&] {
            std::lock_guard<std::mutex> l(m);
            --open;
            cv.notify_all();
        });
        c->resume();
        return true;
    });
    if (!listener->resume()) {
        std::fprintf(stderr, "ticket: cannot serve %s\n", proto::kServiceName);
        return 3;
    }

    std::unique_lock<std::mutex> l(m);
    // An instance that never gets its client ends after a while instead of lingering.
    const bool done = cv.wait_for(l, std::chrono::seconds(60), [&] { return served && open == 0; });
    if (!done && served) cv.wait(l, [&] { return open == 0; });
    l.unlock();
    listener->invalidate();
    return 0;
}
