// The screen's second half: office tools, tips and logo, the join-domain button, the restart
// prompt and the network-admission follow-up of a settings change.
#include <syslog.h>
#include <unistd.h>

#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStringDecoder>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "ZemMainViewController.h"
#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"
#include "platform/process/ProcessList.h"
#include "platform/spawn/Spawn.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/UrlOpener.h"
#include "ui/screens/tools/ZemToolCell.h"
#include "ui/screens/tools/ZemTrustedAppWindow.h"
#include "ui/session/admission/TovikManager.h"
#include "ui/session/log/ZemLogHelper.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_ZemMainViewController.h"

namespace {

namespace fs = std::filesystem;
using hux::RavAvizaLoginHelper;
using Json = nlohmann::json;

constexpr size_t kMaxTipsBytes = 64 * 1024;
constexpr size_t kMaxArchiveBytes = 1u << 20;
constexpr auto kAdministratorDeadline = std::chrono::minutes(10);

void writeLog(const std::string& line) {
    ZemLogHelper::sharedInstance().writeLog(line);
}

void dispatchMainIfAlive(const std::weak_ptr<bool>& alive, std::function<void()> work) {
    dispatch::WorkQueue::main()->dispatch([alive, work = std::move(work)] {
        if (auto a = alive.lock(); a && *a) work();
    });
}

void systemLog(const std::string& line) {
    ::syslog(LOG_NOTICE, "%s", line.c_str());
}

std::string supportFile(const char* name) {
    return paths::machineSupportFolder() + "/" + name;
}

std::optional<archive::Value> machineArchive(const char* name) {
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxArchiveBytes;
    archive::DecodeResult decoded = archive::unarchiveObjectWithFile(supportFile(name), {}, limits);
    if (!decoded) return std::nullopt;
    return std::move(decoded.value);
}

std::optional<std::string> textEntry(const archive::Value& dictionary, const char* key) {
    const archive::Value* value = dictionary.find(key);
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// An application's name as the tool list gives it: one path component.
bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The program of an installed application: a bundle's Contents/MacOS/<name without .app>, or the
// file itself when it is a program.
std::optional<std::string> applicationProgram(const std::string& name) {
    if (!plainName(name)) return std::nullopt;
    for (const std::string& folder : {paths::applicationsFolder(), paths::under("/System/Applications")}) {
        const std::string path = folder + "/" + name;
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            std::string stem = name;
            if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".app") == 0)
                stem.resize(stem.size() - 4);
            const std::string program = path + "/Contents/MacOS/" + stem;
            if (::access(program.c_str(), X_OK) == 0) return program;
        } else if (fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return std::nullopt;
}

// Starts a program of the user's and leaves it running; the error text when it did not start.
std::optional<std::string> startDetached(const std::string& program) {
    spawn::Options options;
    options.program = program;
    options.argv = {program};
    options.grouping = spawn::Grouping::OwnSession;
    int error = 0;
    std::optional<spawn::Child> child = spawn::start(options, &error);
    if (!child) return std::string(std::strerror(error));
    spawn::reapInBackground(child->pid, std::move(child->pidfd));
    return std::nullopt;
}

std::string firstExecutable(std::initializer_list<std::string> candidates) {
    for (const std::string& c : candidates) {
        if (::access(c.c_str(), X_OK) == 0) return c;
    }
    return *candidates.begin();
}

// The reboot, asked of an administrator through pkexec.
std::optional<std::string> rebootWithPkexec() {
    const std::string pkexec = firstExecutable({paths::toolFolder() + "/pkexec", "/usr/bin/pkexec"});
    spawn::Options options;
    options.program = pkexec;
    options.argv = {pkexec, "/sbin/reboot"};
    spawn::RunLimits limits;
    limits.deadline = kAdministratorDeadline;
    limits.maxStreamBytes = 64 * 1024;
    spawn::RunResult run = spawn::run(options, limits);
    if (!run.started()) return pkexec + ": " + std::strerror(run.spawnError);
    if (run.timedOut) return std::string("no answer from the administrator prompt");
    const int status = run.waitStatus ? spawn::exitStatusFromWait(*run.waitStatus) : -1;
    if (status != 0) return run.error.empty() ? "exit status " + std::to_string(status) : run.error;
    return std::nullopt;
}

Json ssidList(const archive::Value* list) {
    Json ssids = Json::array();
    if (!list || !list->array()) return ssids;
    for (const archive::Value& ssid : *list->array()) {
        if (ssid.string()) ssids.push_back(*ssid.string());
    }
    return ssids;
}

bool authMethodIs(const std::optional<archive::Value>& method, const char* expected) {
    return method && method->string() && *method->string() == expected;
}

}  // namespace

ToolTapAction toolTapAction(const ZemToolModel& tool) {
    if (tool.appType == "hyperlink" && !tool.desUrl.empty()) {
        // "https://" goes only in front of a text without a scheme of its own; the opener refuses
        // any scheme but http and https.
        const bool hasScheme =
            tool.desUrl.find("http") != std::string::npos || tool.desUrl.find("://") != std::string::npos;
        return {ToolTapAction::Kind::OpenUrl, hasScheme ? tool.desUrl : "https://" + tool.desUrl};
    }
    if (plainName(tool.procName) && (exists(paths::applicationsFolder() + "/" + tool.procName) ||
                                     exists(paths::under("/System/Applications") + "/" + tool.procName))) {
        return {ToolTapAction::Kind::OpenApplication, tool.procName};
    }
    // Only a web address is offered for download; anything else reads as no download link.
    if (!tool.downloadUrl.empty() && UrlOpener::browserUrl(QString::fromStdString(tool.downloadUrl)))
        return {ToolTapAction::Kind::OfferDownload, tool.downloadUrl};
    return {ToolTapAction::Kind::AskToInstall, ""};
}

QRect toolCellFrame(size_t index, int areaWidth) {
    const double gap = (areaWidth - 660) / 7.0;
    const int column = static_cast<int>(index % 6);
    const int row = static_cast<int>(index / 6);
    return QRect(static_cast<int>((column + 1) * gap + column * 110), row * 170 + 80, 110, 110);
}

// ---- office tools ----

void ZemMainViewController::loadToolsView() {
    updateToolsViewWithLogintype(RavAvizaLoginHelper::currentLoginType());
}

void ZemMainViewController::updateToolsViewWithLogintype(int64_t loginType) {
    leftBarSetMachineName();
    onMain([this, loginType] {
        toolModels_.clear();
        if (std::optional<archive::Value> list = RavAvizaLoginHelper::AppMgrList(); list && list->array()) {
            for (const archive::Value& entry : *list->array()) {
                if (auto model = ZemToolModel::initWithDictionary(entry))
                    toolModels_.push_back(std::move(model));
            }
        }
        std::stable_sort(toolModels_.begin(), toolModels_.end(),
                         [](const auto& a, const auto& b) { return a->appSerialNum < b->appSerialNum; });
        const bool live = loginType != 0 && RavAvizaLoginHelper::sharedInstance().isCheckAndShow();
        if (live) {
            ui_->toolMainView->show();
            const bool none = toolModels_.empty();
            ui_->unloginImageView->setVisible(none);
            ui_->unloginTipsLabel->setVisible(none);
            if (none) ui_->unloginTipsLabel->setText("当前用户暂无办公工具清单，请等待管理员配置！");
            ui_->availableApplistButton->setVisible(loginType != 3);
        } else {
            ui_->toolMainView->hide();
            ui_->availableApplistButton->hide();
            ui_->unloginImageView->show();
            ui_->unloginTipsLabel->show();
            ui_->unloginTipsLabel->setText("您还未登录，暂无可用的工具...");
        }
        for (const QPointer<QWidget>& cell : toolCells_) {
            if (cell) cell->deleteLater();
        }
        toolCells_.clear();
        QWidget* content = ui_->toolMainView->widget();
        const int width = ui_->toolMainView->width();
        int bottom = 0;
        for (size_t i = 0; i < toolModels_.size(); ++i) {
            std::shared_ptr<ZemToolModel> tool = toolModels_[i];
            ZemToolCell* cell = ZemToolCell::initWithModel(tool, content);
            cell->setCompletion([this](ZemToolCell* tapped) {
                if (tapped->toolModel()) toolTapped(*tapped->toolModel());
            });
            cell->setProperty("tag", static_cast<int>(100 + i));
            cell->setGeometry(toolCellFrame(i, width));
            cell->show();
            bottom = std::max(bottom, cell->geometry().bottom() + 1);
            toolCells_.emplace_back(cell);
        }
        content->resize(width, std::max(bottom, ui_->toolMainView->height()));
    });
}

void ZemMainViewController::toolTapped(const ZemToolModel& tool) {
    const ToolTapAction action = toolTapAction(tool);
    switch (action.kind) {
        case ToolTapAction::Kind::OpenUrl:
            UrlOpener::open(QString::fromStdString(action.target));
            return;
        case ToolTapAction::Kind::OpenApplication:
            openApplication(action.target);
            return;
        case ToolTapAction::Kind::OfferDownload:
        case ToolTapAction::Kind::AskToInstall: {
            // A sheet on the screen's window; the answer comes back through finished().
            auto* alert = new QMessageBox(window());
            // The tool's name is the server's text: shown as typed, never as markup or a link.
            alert->setTextFormat(Qt::PlainText);
            alert->setAttribute(Qt::WA_DeleteOnClose);
            alert->setObjectName("toolAlert");
            alert->setWindowTitle("提醒");
            alert->setWindowModality(Qt::WindowModal);
            const QString name = QString::fromStdString(tool.appName);
            if (action.kind == ToolTapAction::Kind::OfferDownload) {
                alert->setText(QString("未安装应用【%1】，如需下载安装，请点击\"下载\"").arg(name));
                QPushButton* download = alert->addButton("下载", QMessageBox::AcceptRole);
                alert->addButton("取消", QMessageBox::RejectRole);
                const QString url = QString::fromStdString(action.target);
                connect(alert, &QMessageBox::buttonClicked, alert, [download, url](QAbstractButton* clicked) {
                    if (clicked == download) UrlOpener::open(url);
                });
            } else {
                alert->setText(QString("未安装应用【%1】，请自行下载安装该软件").arg(name));
                alert->addButton("确定", QMessageBox::AcceptRole);
            }
            alert->open();
            return;
        }
    }
}

void ZemMainViewController::openApplication(const std::string& name) {
    onMain([name] {
        std::optional<std::string> program = applicationProgram(name);
        if (!program) {
            writeLog("[ZemMainViewController] no program to open for " + name);
            return;
        }
        if (std::optional<std::string> error = startDetached(*program))
            writeLog("[ZemMainViewController] open " + name + " failed: " + *error);
    });
}

void ZemMainViewController::changeAvailableAppListButtonStatus() {
    onMain([this] {
        QAbstractButton* button = ui_->availableApplistButton;
        if (RavAvizaLoginHelper::HiddenQZNSwitchBtn()) {
            button->hide();
            return;
        }
        std::optional<common::AccountModel> record = common::AccountModel::currentModel();
        const int64_t type = record ? record->loginType : 0;
        if (type == 0) {
            button->hide();
        } else if (type == 1 || type == 2) {
            button->show();
        } else if (type == 3) {
            common::AccountModel::deleteCurrentModel();
            leftBarSetMachineName();
            button->hide();
        }
    });
}

// ---- tips, logo, machine name ----

QString ZemMainViewController::fetchLocalTips() const {
    QString tips = ui_->tipsTextField->text();
    std::optional<std::vector<uint8_t>> bytes = fileio::readFile(supportFile("tips.txt"), kMaxTipsBytes);
    if (!bytes || bytes->empty()) return tips;
    const QByteArray data(reinterpret_cast<const char*>(bytes->data()),
                          static_cast<qsizetype>(bytes->size()));
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(data);
    if (decoder.hasError() || text.isEmpty()) return tips;
    return text;
}

QPixmap ZemMainViewController::fetchMarkImage() const {
    QPixmap image;
    const std::string path = supportFile("c_zem_mark@2x.png");
    if (!exists(path) || !image.load(QString::fromStdString(path))) return {};
    return image;
}

void ZemMainViewController::updateTipsFromConfigWithNotification() {
    onMain([this] { ui_->tipsTextField->setText(fetchLocalTips()); });
}

void ZemMainViewController::updateLogoFromConfigWithNotification() {
    onMain([this] {
        if (QPixmap logo = fetchMarkImage(); !logo.isNull()) ui_->logoImageView->setPixmap(logo);
    });
}

void ZemMainViewController::updateComputerNameFromJoinDomainWithNotification() {
    leftBarSetMachineName();
}

// ---- join-domain button ----

void ZemMainViewController::loadJoinDomainButton() {
    std::optional<std::string> method;
    if (std::optional<archive::Value> info = machineArchive("tovikSSIDInfo.archive"))
        method = textEntry(*info, "auth_method");
    std::optional<int64_t> switchValue;
    if (std::optional<archive::Value> status = machineArchive("joindomainSwitchStatus.archive");
        status && status->isNumber())
        switchValue = status->integer();
    onMain([this, switchValue, method] {
        ui_->joinDomainButton->setVisible(switchValue == 1);
        onMain([this, method] {
            if (method == "2") ui_->joinDomainButton->hide();
        });
    });
}

std::string ZemMainViewController::domainToolPath() {
    return paths::domainJoinAppExecutable();
}

void ZemMainViewController::tapDomainBtn() {
    if (isJoiningDomain_) return;
    isJoiningDomain_ = true;
    ui_->joinDomainProgressIndicator->show();
    // The domain-join app keeps one window: a running one is left to the user rather than
    // started a second time. It runs as root once an administrator agreed, so any user's copy
    // of the installed program counts.
    if (!proclist::processesRunning(domainToolPath()).empty()) {
        systemLog("Ducene is running already");
        disminssJoinDomainProgressIndicator();
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    dispatch::WorkQueue::global()->dispatch([this, alive] {
        startDomainTool();
        dispatchMainIfAlive(alive, [this] { disminssJoinDomainProgressIndicator(); });
    });
}

void ZemMainViewController::openDomainTool() {
    startDomainTool();
    disminssJoinDomainProgressIndicator();
}

void ZemMainViewController::startDomainTool() {
    const std::string program = domainToolPath();
    std::optional<std::string> error = startDetached(program);
    systemLog("Open Ducene result:" + std::string(error ? "(null)" : program) +
              ", error:" + error.value_or("(null)"));
}

void ZemMainViewController::disminssJoinDomainProgressIndicator() {
    onMain([this] {
        isJoiningDomain_ = false;
        ui_->joinDomainProgressIndicator->hide();
    });
}

// ---- restart prompt ----

void ZemMainViewController::restartComputorWithNotification() {
    UserNotification notification;
    notification.title = "Zem提醒";
    notification.subtitle = "安全策略下发异常，请重启系统激活设置";
    notification.hasActionButton = true;
    notification.actionButtonTitle = "立即重启";
    notification.otherButtonTitle = "取消";
    std::weak_ptr<bool> alive = alive_;
    options_.notifications->setDidActivate([this, alive](const UserNotification& activated) {
        if (auto a = alive.lock(); a && *a) userNotificationCenterDidActivateNotification(activated);
    });
    if (!options_.notifications->scheduleNotification(notification))
        writeLog("[ZemMainViewController] the restart prompt could not be shown");
}

void ZemMainViewController::userNotificationCenterDidActivateNotification(
    const UserNotification& notification) {
    if (notification.activationType != 2) return;
    // The administrator's prompt may wait long: off the main thread.
    dispatch::WorkQueue::global()->dispatch([] {
        if (std::optional<std::string> error = rebootWithPkexec()) {
            writeLog("restart computor fail with error:" + *error);
        } else {
            writeLog("restart computor success");
        }
    });
}

// ---- network admission ----

void ZemMainViewController::tovikSsidChanged() {
    followAdmissionSettings();
}

void ZemMainViewController::followAdmissionSettings() {
    std::optional<archive::Value> info = machineArchive("tovikSSIDInfo.archive");
    if (!info) return;
    const std::string method = textEntry(*info, "auth_method").value_or("");
    const std::string address = textEntry(*info, "tovik_addr").value_or("");
    const Json ssids = ssidList(info->find("ssidlist"));
    hux::TovikManager& tovik = hux::TovikManager::sharedInstance();
    if (method == "3") {
        bool present = false;
        tovik.checkTovikNecessaryWithUrl(address, [&present](bool found) { present = found; });
        if (!present || authMethodIs(tovik.localCerAuthMethod(), "2")) {
            dispatch::WorkQueue::global()->dispatch([ssids, address] {
                std::optional<common::AccountModel> record = common::AccountModel::currentModel();
                if (!record || record->userid.empty()) return;
                const std::string ticket = record->decryptTicket();
                if (ticket.empty()) return;
                hux::TovikManager::sharedInstance().executeTovikTaskWithUserName(record->userid, ticket,
                                                                                 ssids, address);
                writeLog("[ZemMainViewController] tovik type change to 3");
            });
        }
    }
    if (method == "2") {
        bool present = false;
        tovik.checkTovikNecessaryWithUrl(address, [&present](bool found) { present = found; });
        if (!present || authMethodIs(tovik.localCerAuthMethod(), "3")) {
            dispatch::WorkQueue::global()->dispatch([] {
                hux::TovikManager::sharedInstance().installStaticMobileconfig();
                writeLog("[ZemMainViewController] tovik type change to 2");
            });
        }
    }
}

void ZemMainViewController::applistButtonDidClicked() {
    std::unique_ptr<ZemTrustedAppWindow> apps =
        ZemTrustedAppWindow::initialWithNibName("ZemTrustedAppWindow");
    if (!apps) return;
    const QWidget* shown = window();
    const QRect main = shown ? shown->frameGeometry() : QRect();
    apps->resize(420, 375);
    apps->move(main.x() + (main.width() - 420) / 2, main.y() + (main.height() - 375) / 2);
    // Closing the window ends the modal session, which then lets the window go.
    AppWindows::runModalForWindow(apps.get());
}
