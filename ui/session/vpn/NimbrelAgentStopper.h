// Stops the VPN component's local agent from the UI app: find the agent's process, ask its
// client for access, and only with access granted ask it to stop. The caller's completion comes
// exactly once in every case, so a quit that waits for it always ends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"
#include "common/logger/LogSink.h"
#include "outside/vpnagent/FenwickClient.h"

class NimbrelAgentStopper {
  public:
    enum class Outcome {
        NoAgent,        // no agent process: no client was made
        AccessRefused,  // the client refused access
        Stopped,        // the agent reported that it stopped
        StopFailed,     // the agent reported that it did not stop
        NoAnswer,       // the client did not answer within kAnswerWait
    };

    // A client that never answers must not hold the quit forever.
    static constexpr std::chrono::seconds kAnswerWait{10};

    struct Options {
        // Null: FenwickClient::init.
        std::function<std::shared_ptr<FenwickClient>()> makeClient;
        // Null: agentProcesses() is not empty.
        std::function<bool()> agentRunning;
        // Where `done` runs; null: the app's main queue.
        std::shared_ptr<dispatch::WorkQueue> completionQueue;
    };

    // logPrefix is the caller's ("[appdelegate]", "[RavAvizaLoginHelper]"); lines go to log.
    static void existNimbrel(const std::string& logPrefix, common::LogSink& log, std::function<void(Outcome)> done,
                             Options options = {});

    // "<ui app bundle>/Contents/RQL/Nimbrel"
    static std::string agentExecutable();
    // Live processes running the agent's executable: found by their executable link under /proc
    // (or, where that link cannot be read, by their program path), never by a mention of the path
    // among other arguments.
    static std::vector<pid_t> agentProcesses();
};
