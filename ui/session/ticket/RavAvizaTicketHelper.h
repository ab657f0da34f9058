// The client of the ticket service: a user's service reached by its name over the XPC-style
// connection in the user's runtime folder, started on demand by launchd. The login session
// starts it after a sign-in and closes it at sign-out; the process watchdog asks it at each tick
// whether it must be started again.
#pragma once

#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/ipc/XpcConnection.h"
#include "ui/session/login/RavAvizaLoginHelper.h"

namespace hux {

class RavAvizaTicketHelper {
  public:
    struct Options {
        // Whose service: the user this process runs as.
        ipc::Scope scope = ipc::Scope::ofUser(::geteuid());
        // How long the service check waits for an answer before it counts as NO.
        std::chrono::nanoseconds replyWait = std::chrono::seconds(10);
    };

    // The first call opens the connection.
    static RavAvizaTicketHelper& sharedInstance();
    // Applies to connections opened from then on; call before the first sharedInstance() to
    // have the first connection use it too.
    static void setOptions(Options options);

    // Opens a new connection to the service and keeps it in XPCConnection.
    void initialConnection();
    // Asks the service to run (opening a connection first when there is none); the reply is
    // only logged. Does not wait.
    void runTicketXPC();
    // Whether the service must be started again. With no connection: opens one, YES. Otherwise
    // asks the service and calls done with its answer, or NO when none came within the reply
    // wait. The wait blocks no thread; done runs on the main queue.
    void checkXPCServiceIsReInital(std::function<void(bool)> done);
    // Asks the service to close, then drops the connection in any case.
    void closeQznServerXpc();

    std::shared_ptr<ipc::XpcConnection> XPCConnection() const;

    RavAvizaTicketHelper(const RavAvizaTicketHelper&) = delete;
    RavAvizaTicketHelper& operator=(const RavAvizaTicketHelper&) = delete;

  private:
    RavAvizaTicketHelper();
    // The connection to send on. One that ended (the service quit) is replaced, as a message on an
    // interrupted connection starts the service anew.
    std::shared_ptr<ipc::XpcConnection> liveConnection();
    static std::shared_ptr<ipc::XpcConnection> connect();

    mutable std::mutex mutex_;
    std::shared_ptr<ipc::XpcConnection> connection_;
};

// Points the login session's ticket-service hooks at this client: runTicketXPC after a sign-in,
// closeQznServerXpc at sign-out. The app calls it where it assembles the session.
void connectTicketService(SessionPeers& peers);

}  // namespace hux
