#include "WindowService.h"

#include <QMetaObject>
#include <QPointer>

#include "upgrade/app/SessionWindow.h"
#include "ZemUpgradeWindow.h"

WindowService::WindowService(ZemUpgradeWindow& window, uid_t user) : window_(window), user_(user) {
    connect(&window_, &ZemUpgradeWindow::confirmPressed, this, [this](const QString& title) {
        sendToRoot({{"op", "confirm"}, {"title", title.toStdString()}});
    });
    connect(&window_, &ZemUpgradeWindow::closeRequested, this, [this] { sendToRoot({{"op", "close"}}); });
}

WindowService::~WindowService() {
    {
        std::lock_guard lock(life_->mutex);
        life_->alive = false;
    }
    stop();
}

bool WindowService::connected() const {
    std::lock_guard lock(mutex_);
    return root_ && root_->isValid();
}

void WindowService::stop() {
    if (listener_) listener_->invalidate();
    listener_.reset();
    std::shared_ptr<ipc::XpcConnection> root;
    {
        std::lock_guard lock(mutex_);
        root = std::move(root_);
    }
    if (root) root->invalidate();
}

bool WindowService::start() {
    ipc::XpcOptions options;
    options.scope = ipc::Scope::ofUser(user_);
    options.maxMessageBytes = 64 * 1024;
    options.maxConnections = 2;
    options.maxConnectionsPerUser = 1;
    options.rootReserve = 1;
    listener_ = ipc::XpcListener::create(SessionWindow::kWindowService, options);
    QPointer<WindowService> self(this);
    std::shared_ptr<Life> life = life_;
    listener_->setAcceptHandler([this, self, life](const std::shared_ptr<ipc::XpcConnection>& c) {
        std::lock_guard alive(life->mutex);
        if (!life->alive) return false;
        auto peer = c->peer();
        if (!peer || peer->uid != 0) return false;  // only the root app drives the window
        std::weak_ptr<ipc::XpcConnection> weak = c;
        c->setMessageHandler(
            [this, self, weak, life](const ipc::XpcMessage& m, const ipc::XpcConnection::Reply& reply) {
                if (reply) reply({{"ok", true}});
                std::lock_guard alive(life->mutex);
                if (!life->alive) return;
                // A newer connection of the root app replaces an older one.
                if (auto c = weak.lock()) {
                    std::lock_guard lock(mutex_);
                    if (root_ != c) {
                        if (root_) root_->invalidate();
                        root_ = c;
                    }
                }
                QMetaObject::invokeMethod(
                    &window_,
                    [self, m] {
                        if (self) self->handle(m);
                    },
                    Qt::QueuedConnection);
            });
        c->setInvalidationHandler([this, self, weak, life] {
            std::lock_guard alive(life->mutex);
            if (!life->alive) return;
            QMetaObject::invokeMethod(
                &window_,
                [this, self, weak] {
                    if (!self) return;
                    {
                        std::lock_guard lock(mutex_);
                        if (!root_ || root_ != weak.lock()) return;
                        root_.reset();
                    }
                    if (onDisconnected) onDisconnected();
                },
                Qt::QueuedConnection);
        });
        c->resume();
        return true;
    });
    return listener_->resume();
}

void WindowService::sendToRoot(const ipc::XpcMessage& message) {
    std::shared_ptr<ipc::XpcConnection> root;
    {
        std::lock_guard lock(mutex_);
        root = root_;
    }
    if (root) root->send(message);
}

void WindowService::handle(const ipc::XpcMessage& m) {
    auto text = [&](const char* key) {
        auto it = m.find(key);
        return it != m.end() && it->second.string() ? *it->second.string() : std::string();
    };
    const std::string op = text("op");
    if (op == "render") {
        auto it = m.find("state");
        if (it == m.end() || !it->second.dictionary()) return;
        if (auto state = WindowState::decode(*it->second.dictionary())) window_.render(*state);
    } else if (op == "show") {
        auto it = m.find("front");
        window_.showWindow(it != m.end() && it->second.boolean().value_or(false));
    } else if (op == "close") {
        window_.closeWindow();
    } else if (op == "alert") {
        window_.showAlertWithText(QString::fromStdString(text("text")));
    }
}
