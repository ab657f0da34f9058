#include "ZemUIFileListener.h"

#include <utility>

#include "ZemNotificationKeys.h"
#include "common/account/AccountModel.h"
#include "common/logger/LogSink.h"
#include "common/server/ZemServerConfig.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/paths/Paths.h"

namespace hux {

namespace {

void log(const std::string& line) {
    common::processLog().writeLog(line);
}

// The watched files of the machine-wide support folder.
const std::vector<std::string>& supportFiles() {
    static const std::vector<std::string> names{"c_zem_mark@2x.png",
                                                "tips.txt",
                                                "restart.txt",
                                                "joinDomainUpdate.txt",
                                                "joindomainSwitchStatus.archive",
                                                "tovikSSIDInfo.archive",
                                                "switchqzn.archive",
                                                "appmgrlist.archive",
                                                "qzncloudlist.archive",
                                                "hidezemswitch.archive"};
    return names;
}

struct Rule {
    const char* mark;
    const char* logLine;
    const char* notification;  // null: handled by its own code
};

// In the order they are tested: the first mark a path contains wins.
const std::vector<Rule>& rules() {
    static const std::vector<Rule> table{
        {"/c_zem_mark@2x.png", "monitor logo image has changed", UpdateLogoForConfigNoticationKey},
        {"/tips.txt", "monitor tips.txt has changed", UpdateTipsForConfigNoticationKey},
        {"/joinDomainUpdate.txt", "monitor joinDomainUpdate.txt has changed",
         UpdateComputerNameForJoinDomainNotificationKey},
        {"/restart.txt", "monitor restart.txt has changed", kRestartComputorNotification},
        {"/joindomainSwitchStatus.archive", "monitor joindomainSwitchStatus.archive has changed",
         DuceneSwitchStatusNotificationKey},
        {"/tovikSSIDInfo.archive", "monitor tovikSSIDInfo.archive has changed",
         TovikSSIDChangedNotificationKey},
        {"/switchqzn.archive", "monitor switchqzn.archive has changed",
         UpdateQznSwitchForConfigNoticationKey},
        {"/appmgrlist.archive", "monitor appmgrlist.archive has changed",
         UpdateAppMgtListForConfigNoticationKey},
        {"/qzncloudlist.archive", "monitor qzncloudlist.archive has changed",
         UpdateTrustedsAppForConfigNoticationKey},
        {"/login.archive", "monitor login.archive has changed", nullptr},
        {"/hidezemswitch.archive", "monitor hidezemswitch.archive has changed",
         HideTrayForConfigNotificationKey},
        {"/RavAviza/.ZemConfig", "monitor .ZemConfig has changed", nullptr},
    };
    return table;
}

}  // namespace

ZemUIFileListener& ZemUIFileListener::sharedInstance() {
    static ZemUIFileListener* listener = new ZemUIFileListener(Options{});
    return *listener;
}

ZemUIFileListener::ZemUIFileListener(Options options)
    : options_(options),
      monitorQueue_(dispatch::WorkQueue::create(kMonitorQueueLabel, dispatch::QueueAttr::Concurrent)) {}

ZemUIFileListener::~ZemUIFileListener() {
    std::unique_ptr<fsevents::EventStream> stream;
    {
        std::lock_guard lock(mutex_);
        stream = std::move(stream_);
    }
    if (stream) stream->stop();
}

std::vector<std::string> ZemUIFileListener::watchedPaths() {
    std::vector<std::string> paths;
    const std::string support = paths::machineSupportFolder();
    for (const std::string& name : supportFiles()) {
        if (name == "hidezemswitch.archive") {
            if (auto record = common::AccountModel::modelSavePathWithCheck(false)) paths.push_back(*record);
        }
        paths.push_back(support + "/" + name);
    }
    paths.push_back(paths::serverConfigFile());
    return paths;
}

void ZemUIFileListener::startUIResourcesFileListen() {
    {
        std::lock_guard lock(mutex_);
        if (started_) return;
        started_ = true;
    }
    monitorQueue_->dispatch([this] {
        auto stream = std::make_unique<fsevents::EventStream>(
            watchedPaths(), options_.latency, monitorQueue_,
            [this](const std::vector<std::string>& paths) { callback(paths); });
        std::string error;
        if (!stream->start(&error)) log("monitor file stream not started: " + error);
        std::lock_guard lock(mutex_);
        stream_ = std::move(stream);
    });
}

void ZemUIFileListener::callback(const std::vector<std::string>& paths) {
    int index = 0;
    for (const std::string& path : paths) {
        log("events index: " + std::to_string(index++) + ", path:" + path);
        handleChangedPath(path);
    }
}

void ZemUIFileListener::handleChangedPath(const std::string& path) {
    for (const Rule& rule : rules()) {
        if (path.find(rule.mark) == std::string::npos) continue;
        log(rule.logLine);
        if (rule.notification) {
            dispatch::NotificationCenter::defaultCenter().post(rule.notification);
        } else if (std::string(rule.mark) == "/login.archive") {
            checkLoginRecord();
        } else {
            common::ZemServerConfig::sharedInstance().updateServerConfig();
        }
        return;
    }
}

void ZemUIFileListener::checkLoginRecord() {
    auto record = common::AccountModel::currentModel();
    if (!record) return;
    if (record->ticket_state == 2) {
        dispatch::NotificationCenter::defaultCenter().post(TicketTimeOutNoticationKey,
                                                           archive::Value(int64_t{2}));
    } else if (record->loginType == 3) {
        dispatch::NotificationCenter::defaultCenter().post(TicketTimeOutNoticationKey);
    }
}

}  // namespace hux
