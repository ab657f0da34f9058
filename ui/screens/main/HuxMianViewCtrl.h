// The main window's content: three pages. Page 0 takes the management server's address and
// port, page 1 holds the login screen and page 2 the navigation view. At start-up a signed-in
// user's ticket is checked every 3 s until the server confirms it, which opens page 2; a logout
// or a ticket time-out goes back to page 0.
#pragma once

#include <QPointer>
#include <QString>
#include <memory>

#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "ui/screens/base/CustomViewControllerBase.h"

class QStackedWidget;
class QProgressBar;
class CustomButton;
class ZemTextField;
class HuxLoginStateViewCtrl;
class HuxNavigationViewCtrl;

namespace Ui {
class HuxMianViewCtrl;
}

class HuxMianViewCtrl : public CustomViewControllerBase {
    Q_OBJECT
  public:
    static constexpr const char* kTimerCheckQueueLabel = "com.velmora.account.check";

    // Loads its interface file, then sets itself up as awakeFromNib does.
    explicit HuxMianViewCtrl(QWidget* parent = nullptr);
    ~HuxMianViewCtrl() override;

    QStackedWidget* mianTabView() const;
    HuxLoginStateViewCtrl* loginViewCtrl();
    HuxNavigationViewCtrl* NavigationViewCtrl();
    ZemTextField* domainOrIPLab() const;
    ZemTextField* PortLab() const;
    CustomButton* saveServerBtn() const;
    QProgressBar* setSerProgress() const;
    CustomButton* loginBtn() const;
    int selectedTab() const;

    // Page 0, and the configured extranet server in the fields from the second run on.
    void selectTableItem();
    // selectTableItem on the main queue.
    void UpdateTableView();
    // A ticket time-out: with the number 2 the local sign-in is undone; back to page 0 in any case.
    void exitAccount(const dispatch::Notification& notification);
    // Checks and saves the typed server, then tries it 3 s later.
    void setingSeverBtton();
    // Return in a field: saves when both fields hold text.
    void clickPassWordTextField();
    void StartCheckTicketStatus();
    void closeCheckTicketStatus();
    void createCheckTicketTimer();
    bool ticketPollRunning() const;
    // The warning box with the text, on the main queue.
    void tipText(const QString& text);
    // True when the text is digits only, and neither empty nor "0".
    static bool isPureNumandCharacters(const QString& text);

  signals:
    // The ping of a saved server has answered and the busy state has ended.
    void serverTried(bool reached);
    void tabSelected(int index);

  private:
    void awakeFromNib();
    void initBttonSatus();
    void initLoadViews();
    void HuxAddNotifications();
    void selectTab(int index);
    void setBusy(bool busy);
    void ticketTick();

    std::unique_ptr<Ui::HuxMianViewCtrl> ui_;
    QPointer<HuxLoginStateViewCtrl> loginViewCtrl_;
    QPointer<HuxNavigationViewCtrl> NavigationViewCtrl_;
    std::shared_ptr<dispatch::TimerSource> TicketCheckTimer_;
    std::shared_ptr<dispatch::WorkQueue> timerCheckQueue_;
    dispatch::NotificationCenter::ObserverId logoutObserver_ = 0;
    dispatch::NotificationCenter::ObserverId ticketObserver_ = 0;
};
