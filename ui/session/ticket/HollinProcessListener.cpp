#include "HollinProcessListener.h"

#include <chrono>
#include <memory>

#include "common/logger/LogSink.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "platform/paths/Paths.h"
#include "platform/process/ProcessList.h"
#include "RavAvizaTicketHelper.h"

using common::processLog;

namespace hux {

namespace {

constexpr std::chrono::seconds kTickInterval{15};

void log(const std::string& line) {
    processLog().writeLog(line);
}

HollinProcessListener::Steps defaultSteps() {
    HollinProcessListener::Steps s;
    s.Get_network_type = [] { RavAvizaLoginHelper::sharedInstance().Get_network_type(); };
    s.iflogin = [] { return RavAvizaLoginHelper::iflogin(); };
    s.isCheckAndShow = [] { return RavAvizaLoginHelper::sharedInstance().isCheckAndShow(); };
    s.checkXPCServiceIsReInital = [](std::function<void(bool)> done) {
        RavAvizaTicketHelper::sharedInstance().checkXPCServiceIsReInital(std::move(done));
    };
    s.existNimbrel = [] { RavAvizaLoginHelper::sharedInstance().existNimbrel(); };
    s.runTicketXPC = [] { RavAvizaTicketHelper::sharedInstance().runTicketXPC(); };
    s.reloadNimbrel = [] { RavAvizaLoginHelper::reloadNimbrel(); };
    s.nimbrelProcesses = [] { return nimbrelAgentProcesses(); };
    return s;
}

}  // namespace

std::vector<pid_t> nimbrelAgentProcesses() {
    return proclist::processesRunning(paths::vpnAgentExecutable());
}

HollinProcessListener& HollinProcessListener::sharedInstance() {
    static HollinProcessListener* listener = new HollinProcessListener();
    return *listener;
}

HollinProcessListener::HollinProcessListener() : steps_(defaultSteps()) {
    createClientCheckTimer();
}

void HollinProcessListener::setSteps(Steps steps) {
    Steps defaults = defaultSteps();
    auto keep = [](auto& member, auto& fallback) {
        if (!member) member = std::move(fallback);
    };
    keep(steps.Get_network_type, defaults.Get_network_type);
    keep(steps.iflogin, defaults.iflogin);
    keep(steps.isCheckAndShow, defaults.isCheckAndShow);
    keep(steps.checkXPCServiceIsReInital, defaults.checkXPCServiceIsReInital);
    keep(steps.existNimbrel, defaults.existNimbrel);
    keep(steps.runTicketXPC, defaults.runTicketXPC);
    keep(steps.reloadNimbrel, defaults.reloadNimbrel);
    keep(steps.nimbrelProcesses, defaults.nimbrelProcesses);
    std::lock_guard lock(mutex_);
    steps_ = std::move(steps);
}

HollinProcessListener::Steps HollinProcessListener::steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
}

void HollinProcessListener::createClientCheckTimer() {
    // Created suspended: nothing ticks before startListening().
    timer_ = dispatch::TimerSource::create(dispatch::WorkQueue::main(), std::chrono::nanoseconds(0),
                                           kTickInterval, [this] { timerHandle(); });
}

void HollinProcessListener::startListening() {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
    timer_->resume();
}

void HollinProcessListener::timerHandle() {
    checkQznServerAndLoad();
}

void HollinProcessListener::checkQznServerAndLoad(std::function<void()> done) {
    auto finish = [done = std::move(done)] {
        if (done) dispatch::WorkQueue::main()->dispatch([done] { done(); });
    };
    const Steps s = steps();
    s.Get_network_type();
    if (!s.iflogin() || !s.isCheckAndShow()) {
        finish();
        return;
    }
    // The answer comes back on the main queue; the main loop runs on meanwhile.
    s.checkXPCServiceIsReInital([this, s, finish](bool reinit) {
        if (reinit) {
            log("QZN Server reload ........................");
            s.existNimbrel();
            s.runTicketXPC();
            s.reloadNimbrel();
            finish();
            return;
        }
        log("QZN Server is existed");
        if (!s.iflogin()) {
            finish();
            return;
        }
        dispatch::WorkQueue::global()->dispatch([this, s, finish] { checkNimbrel(s, finish); });
    });
}

void HollinProcessListener::checkNimbrel(const Steps& steps, std::function<void()> done) {
    log("start check nimbrel ....");
    const std::vector<pid_t> pids = steps.nimbrelProcesses();
    std::string result;
    for (pid_t pid : pids) result += std::to_string(pid) + "\n";
    const bool running = !result.empty();
    if (running) log("Zem Nimbrel existed....");
    log("end check nimbrel ifload ....result:" + (running ? result : std::string("(null)")) +
        " error:(null)");
    if (!running) {
        log("nimbrel exit reload nimbrel.....");
        steps.reloadNimbrel();
    }
    done();
}

}  // namespace hux
