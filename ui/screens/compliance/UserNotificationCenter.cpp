#include "UserNotificationCenter.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>

namespace {

constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr int kCallTimeoutMs = 5000;

}  // namespace

UserNotificationCenter::UserNotificationCenter(QObject* parent)
    : UserNotificationCenter(QDBusConnection::sessionBus(), parent) {}

UserNotificationCenter::UserNotificationCenter(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus) {
    connectSignals();
}

void UserNotificationCenter::connectSignals() {
    if (!bus_.isConnected()) return;
    bus_.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(actionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kInterface, "NotificationClosed", this,
                 SLOT(notificationClosed(uint, uint)));
}

bool UserNotificationCenter::scheduleNotification(UserNotification notification) {
    if (!bus_.isConnected()) return false;
    QStringList actions{kDefaultKey, notification.title};
    if (notification.hasActionButton) actions << kActionKey << notification.actionButtonTitle;
    if (!notification.otherButtonTitle.isEmpty()) actions << kOtherKey << notification.otherButtonTitle;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    call << QString("Hux") << uint(0) << QString() << notification.title << notification.subtitle << actions
         << QVariantMap() << int(-1);
    // The desktop answers with the notification's number; the main thread does not wait for it.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notification = std::move(notification)](QDBusPendingCallWatcher* done) mutable {
                QDBusPendingReply<uint> reply = *done;
                done->deleteLater();
                if (reply.isError()) return;
                notification.identifier = reply.value();
                scheduled_.push_back(std::move(notification));
            });
    return true;
}

void UserNotificationCenter::removeAllScheduledNotifications() {
    for (const UserNotification& n : scheduled_) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "CloseNotification");
        call << n.identifier;
        bus_.call(call, QDBus::NoBlock);
    }
    scheduled_.clear();
}

void UserNotificationCenter::actionInvoked(uint id, const QString& actionKey) {
    auto it = std::find_if(scheduled_.begin(), scheduled_.end(),
                           [id](const UserNotification& n) { return n.identifier == id; });
    if (it == scheduled_.end()) return;
    UserNotification activated = *it;
    scheduled_.erase(it);
    if (actionKey == kActionKey) {
        activated.activationType = 2;
    } else if (actionKey == kDefaultKey) {
        activated.activationType = 1;
    } else {
        return;  // the other button dismisses
    }
    if (didActivate_) didActivate_(activated);
}

void UserNotificationCenter::notificationClosed(uint id, uint) {
    scheduled_.erase(std::remove_if(scheduled_.begin(), scheduled_.end(),
                                    [id](const UserNotification& n) { return n.identifier == id; }),
                     scheduled_.end());
}
