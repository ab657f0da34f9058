#include "NimbrelAgentStopper.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <optional>

#include "platform/paths/Paths.h"
#include "platform/process/ProcessList.h"

using common::LogSink;

namespace {

// The stop's state shared by its completions and its time bound: whoever comes first finishes.
struct StopRun {
    std::string prefix;
    LogSink* log = nullptr;
    std::function<void(NimbrelAgentStopper::Outcome)> done;
    std::shared_ptr<dispatch::WorkQueue> queue;
    std::atomic<bool> finished{false};

    void keep(std::shared_ptr<FenwickClient> c) {
        std::lock_guard<std::mutex> lock(mu);
        client = std::move(c);
    }
    std::shared_ptr<FenwickClient> current() {
        std::lock_guard<std::mutex> lock(mu);
        return client;
    }

    void line(const std::string& text) { log->writeLog(prefix + " " + text, 1); }

    void finish(NimbrelAgentStopper::Outcome outcome) {
        if (finished.exchange(true)) return;
        auto callback = std::move(done);
        std::shared_ptr<FenwickClient> last;
        {
            std::lock_guard<std::mutex> lock(mu);
            last = std::move(client);
        }
        // The client is let go on the completion queue, never inside one of its own calls.
        queue->dispatch([callback = std::move(callback), outcome, last = std::move(last)] {
            if (callback) callback(outcome);
        });
    }

  private:
    std::mutex mu;
    std::shared_ptr<FenwickClient> client;  // kept until the stop's answer
};

// "code" of the reply read as an integer: a missing reply or key reads as 0, a text as its
// leading number, as an integer value of nothing or of a string reads.
long replyCode(const archive::Value& reply) {
    const archive::Value* code = reply.find("code");
    if (!code) return 0;
    if (auto n = code->integer()) return static_cast<long>(*n);
    if (const std::string* text = code->string()) {
        size_t i = 0;
        while (i < text->size() && std::isspace(static_cast<unsigned char>((*text)[i]))) ++i;
        bool negative = false;
        if (i < text->size() && ((*text)[i] == '-' || (*text)[i] == '+')) negative = (*text)[i++] == '-';
        long value = 0;
        for (; i < text->size() && std::isdigit(static_cast<unsigned char>((*text)[i])) &&
               value < 1'000'000'000;
             ++i)
            value = value * 10 + ((*text)[i] - '0');
        return negative ? -value : value;
    }
    return 0;
}

}  // namespace

std::string NimbrelAgentStopper::agentExecutable() {
    return paths::vpnAgentExecutable();
}

std::vector<pid_t> NimbrelAgentStopper::agentProcesses() {
    return proclist::processesRunning(agentExecutable());
}

void NimbrelAgentStopper::existNimbrel(const std::string& logPrefix, LogSink& log,
                                       std::function<void(Outcome)> done, Options options) {
    auto run = std::make_shared<StopRun>();
    run->prefix = logPrefix;
    run->log = &log;
    run->done = std::move(done);
    run->queue = options.completionQueue ? options.completionQueue : dispatch::WorkQueue::main();

    const bool running = options.agentRunning ? options.agentRunning() : !agentProcesses().empty();
    if (!running) {
        run->finish(Outcome::NoAgent);
        return;
    }
    std::shared_ptr<FenwickClient> client = options.makeClient ? options.makeClient() : FenwickClient::init();
    if (!client) {
        run->line("RavAviza Fenwick Access Fail!!!");
        run->finish(Outcome::AccessRefused);
        return;
    }
    dispatch::WorkQueue::global()->dispatchAfter(kAnswerWait, [run] {
        if (run->finished.load()) return;
        run->line("RavAviza Fenwick no answer from the VPN agent client");
        run->finish(Outcome::NoAnswer);
    });
    run->keep(client);
    client->startRequestAccess([run](int code, std::optional<ErrorValue>) {
        if (run->finished.load()) return;
        if (code != 0) {
            run->line("RavAviza Fenwick Access Fail!!!");
            run->finish(Outcome::AccessRefused);
            return;
        }
        std::shared_ptr<FenwickClient> same = run->current();
        if (!same) return;
        same->stopVantleAgent([run](int, archive::Value reply, std::optional<ErrorValue>) {
            if (run->finished.load()) return;
            const long code = replyCode(reply);
            if (code == 0) {
                run->line("RavAviza Fenwick Stop Success!!!");
                run->finish(Outcome::Stopped);
            } else {
                run->line("RavAviza Fenwick Stop Fail:code = " + std::to_string(code));
                run->finish(Outcome::StopFailed);
            }
        });
    });
}
