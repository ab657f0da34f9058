// The desktop's notification centre (org.freedesktop.Notifications on the session bus): shows a
// notification with a title, a subtitle, an action button and an other button, and reports how
// the user activated it. Activation types: 1 the notification itself was clicked, 2 its action
// button. The other button only dismisses it.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

struct UserNotification {
    QString title;
    QString subtitle;
    QString actionButtonTitle;
    QString otherButtonTitle;
    bool hasActionButton = true;
    uint32_t identifier = 0;  // set when delivered
    int activationType = 0;   // set when activated
};

class UserNotificationCenter : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kActionKey = "action";
    static constexpr const char* kOtherKey = "other";
    static constexpr const char* kDefaultKey = "default";

    // The session bus unless another connection is given.
    explicit UserNotificationCenter(QObject* parent = nullptr);
    explicit UserNotificationCenter(const QDBusConnection& bus, QObject* parent = nullptr);

    // The delegate's calls: activation, and whether to show a notification while the app is in
    // front (the desktop shows it in any case).
    void setDidActivate(std::function<void(const UserNotification&)> handler) {
        didActivate_ = std::move(handler);
    }

    // Sends the notification; false when there is no bus to send it on. It counts as scheduled
    // once the desktop's centre has answered with its number.
    bool scheduleNotification(UserNotification notification);
    // Withdraws every notification this centre sent that is still shown.
    void removeAllScheduledNotifications();
    const std::vector<UserNotification>& scheduledNotifications() const { return scheduled_; }

  private slots:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id, uint reason);

  private:
    void connectSignals();

    QDBusConnection bus_;
    std::function<void(const UserNotification&)> didActivate_;
    std::vector<UserNotification> scheduled_;
};
