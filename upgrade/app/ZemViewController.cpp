#include "ZemViewController.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "AppDelegate.h"
#include "LogUpgradeHelper.h"
#include "upgrade/engine/ZemUpgradeHelper.h"
#include "platform/dispatch/WorkQueue.h"

namespace {

void log(const std::string& line) {
    LogUpgradeHelper::sharedInstance().writeLog(line, 0);
}

void onMain(dispatch::Task task) {
    dispatch::WorkQueue::main()->dispatch(std::move(task));
}

WindowControl shown(std::string text) {
    return {std::move(text), false};
}
WindowControl hidden(std::string text) {
    return {std::move(text), true};
}

}  // namespace

ZemViewController::ZemViewController(AppDelegate& delegate, ZemUpgradeHelper& engine, DaemonLookup daemon)
    : delegate_(delegate), engine_(engine), daemon_(std::move(daemon)) {
    state_.content = WindowState::Content::Empty;
}

ZemViewController::DaemonLookup ZemViewController::defaultDaemonLookup() {
    return [] {
        ipc::LookupOptions options;
        options.requireRootPeer = true;
        return ipc::ConnectionProxy::lookup(kDaemonConnection, options);
    };
}

void ZemViewController::publish() {
    if (auto* window = delegate_.window()) window->render(state_);
}

void ZemViewController::startGetUpgradeInfo() {
    xmlDownloadURLString.reset();
    if (delegate_.upgradeFrom >= 1 && delegate_.upgradeFrom <= 3) {
        state_.noNewVersionTipLabel = shown("正在升级中...");
        state_.upgradeProgressTipLabel.hidden = true;
        state_.confirmButton.hidden = true;
        publish();
        return;
    }
    state_.noNewVersionTipLabel = shown("正在检测中...");
    state_.versionTipLabel = hidden("");
    state_.upgradeProgressTipLabel.hidden = true;
    state_.confirmButton.hidden = true;
    publish();
    delegate_.runInBackground([this] { startGetUpgradeRequest(); });
}

void ZemViewController::showUnreachable() {
    xmlDownloadURLString.reset();
    state_.noNewVersionTipLabel = shown("连接服务器失败，请重试");
    state_.versionTipLabel.hidden = true;
    state_.upgradeProgressTipLabel.hidden = true;
    state_.progressHidden = true;
    state_.confirmButton = shown(kConfirmRetry);
    publish();
}

void ZemViewController::startGetUpgradeRequest() {
    std::shared_ptr<ipc::ConnectionProxy> proxy = daemon_ ? daemon_() : nullptr;
    if (!proxy) {
        log("[ZemViewController] run zembiz proccess is not run");
        proxy = daemon_ ? daemon_() : nullptr;
    }
    if (!proxy) {
        onMain([this] { showUnreachable(); });
        return;
    }
    log("[ZemViewController] start get  upgrade state ");
    // The daemon waits up to 15 s for the server before it answers.
    ipc::CallResult r = proxy->call("getUpgradeStateFromServer", {}, 20.0);
    const archive::Data* data = r.ok() && r.value ? r.value->data() : nullptr;
    if (!data || data->empty()) {
        onMain([this] { showUnreachable(); });
        return;
    }
    std::string answer(data->begin(), data->end());
    onMain([this, answer = std::move(answer)] { showAnswer(answer); });
}

void ZemViewController::showAnswer(const std::string& answer) {
    nlohmann::json json = nlohmann::json::parse(answer, nullptr, false);
    // An answer that is not a JSON object leaves the window checking.
    if (json.is_discarded() || !json.is_object()) return;
    auto type = json.find("type");
    if (type != json.end() && type->is_number_integer() && type->get<int64_t>() == 3) {
        state_.noNewVersionTipLabel = shown("Zem已是最新版本");
        state_.versionTipLabel.hidden = true;
        state_.upgradeProgressTipLabel.hidden = true;
        state_.progressHidden = true;
        state_.confirmButton = shown(kConfirmOk);
        publish();
        return;
    }
    auto text = [&](const char* key) -> std::string {
        auto it = json.find(key);
        if (it == json.end()) return "";
        return it->is_string() ? it->get<std::string>() : it->dump();
    };
    upType = 0;
    if (type != json.end() && type->is_number_integer()) {
        int64_t t = type->get<int64_t>();
        if (t >= INT32_MIN && t <= INT32_MAX) upType = static_cast<int32_t>(t);
    }
    auto url = json.find("url");
    if (url != json.end() && url->is_string())
        xmlDownloadURLString = url->get<std::string>();
    else
        xmlDownloadURLString.reset();
    const std::string des = text("des");
    if (!des.empty()) {
        state_.noNewVersionTipLabel.hidden = true;
        state_.versionTipLabel = shown("新版本特性如下:\n" + des);
    } else {
        state_.noNewVersionTipLabel = shown("检测到有新版本v" + text("version"));
        state_.versionTipLabel.hidden = true;
    }
    state_.upgradeProgressTipLabel = hidden("");
    state_.progressHidden = true;
    state_.confirmButton = shown(kConfirmUpgradeNow);
    publish();
}

void ZemViewController::gradualProgressWithView(double value) {
    if (!state_.hasProgressBar) return;
    double next = std::min(1.0, std::fabs(state_.progress + static_cast<float>(value)));
    state_.progress = next;
}

void ZemViewController::step(bool ok, const std::string& message, bool hideConfirm) {
    if (!ok) {
        upgradeFailed(message);
        return;
    }
    if (hideConfirm) state_.confirmButton.hidden = true;
    state_.upgradeProgressTipLabel = shown(message);
    gradualProgressWithView(0.1);
    publish();
    ::usleep(500);
}

void ZemViewController::startDownloadAppXML() {
    if (!state_.hasProgressBar) {
        state_.hasProgressBar = true;
        state_.progress = 0.1;
    }
    state_.progressHidden = false;
    state_.upgradeProgressTipLabel.hidden = false;
    publish();

    engine_.DownloadXMLBlock = [this](bool ok, const std::string& m) {
        onMain([this, ok, m] { step(ok, m, false); });
    };
    engine_.ParseXMLBlock = engine_.DownloadXMLBlock;
    engine_.DownloadZemBlock = [this](bool ok, const std::string& m) {
        onMain([this, ok, m] { step(ok, m, true); });
    };
    engine_.UpgradeResultBlock = [this](bool ok, const std::string& m) {
        onMain([this, ok, m] {
            if (!ok) {
                upgradeFailed(m);
                return;
            }
            dropProgressBar();
            state_.noNewVersionTipLabel = shown(m);
            state_.upgradeProgressTipLabel.hidden = true;
            state_.confirmButton = shown(kConfirmOk);
            publish();
        });
    };

    const std::optional<std::string> url = xmlDownloadURLString;
    const int32_t type = upType;
    delegate_.runInBackground([this, url, type] {
        auto manifest = engine_.startDownloadUpgradeXML(url);
        if (!manifest) return;
        archive::Dictionary records;
        bool isUpgrade = false;
        auto item = engine_.parseUpgradeXMLToLocal(*manifest, &records, &isUpgrade, type);
        AppModuleModel record = AppModuleModel::initWithData(item.value_or(nlohmann::json::object()));
        auto package = engine_.startDownloadUpgradePKG(record);
        if (!package) return;

        // The flags belong to the main queue: read and set them there.
        bool closed = false;
        dispatch::WorkQueue::main()->dispatchSync([&] {
            closed = delegate_.upgradeFrom == 5;
            if (!closed) {
                delegate_.isInstalling = true;
                state_.isInstalling = true;
                publish();
            }
        });
        if (closed) {
            log("[ZemViewController] unknown upgrade from ...... ");
            return;
        }
        bool ok = engine_.startRunUpgradeApp(record, *package) && engine_.checkInstallResult(record.version);
        if (ok) {
            engine_.saveUpgradeInfoToLocal(&records);
            if (engine_.UpgradeResultBlock) engine_.UpgradeResultBlock(true, "更新成功");
            std::error_code ec;
            std::filesystem::remove(*package, ec);
            onMain([this] { delegate_.hiddenUpgradeUI(false); });
        } else {
            if (engine_.UpgradeResultBlock) engine_.UpgradeResultBlock(false, "更新失败");
            onMain([this] { delegate_.showUpgradeUI(); });
        }
    });
}

void ZemViewController::dropProgressBar() {
    state_.hasProgressBar = false;
    state_.progressHidden = true;
    state_.progress = 0;
}

void ZemViewController::upgradeFailed(const std::string& message) {
    dropProgressBar();
    state_.upgradeProgressTipLabel = shown(message);
    state_.confirmButton.text = kConfirmRetry;
    publish();
    delegate_.showUpgradeUI();
}

void ZemViewController::confirmAction(const std::string& title) {
    if (title == kConfirmUpgradeNow) {
        startDownloadAppXML();
    } else if (title == kConfirmRetry) {
        if (xmlDownloadURLString)
            startDownloadAppXML();
        else
            startGetUpgradeInfo();
    } else if (title == kConfirmOk) {
        delegate_.hiddenUpgradeUI(false);
    }
}

void ZemViewController::startInstallPKG() {
    dropProgressBar();
    xmlDownloadURLString.reset();
    state_.noNewVersionTipLabel = shown("正在安装中...");
    state_.upgradeProgressTipLabel.hidden = true;
    state_.confirmButton.hidden = true;
    publish();
    delegate_.runInBackground([this] {
        bool ok = engine_.installKeptPackage();
        onMain([this, ok] {
            if (ok) {
                delegate_.hiddenUpgradeUI(false);
                return;
            }
            state_.noNewVersionTipLabel = shown("安装失败");
            publish();
            delegate_.showUpgradeUI();
        });
    });
}
