// The narrow bar on the left of the compliance main screen: the avatar and user name, a
// background that shows whether the device is safe, three navigation cells (office tools tag 0,
// overview tag 1, details tag 2) and a coloured line. It owns two polls on the serial queue
// "com.velmora.account.check", every 3 s: the QR-login poll while nobody is signed in, and the
// ticket poll while a session is signed in but not yet shown as signed in. A click on the avatar
// opens the device-info window (ZemDetailWindow) application-modal, with the bar as its delegate.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "ZemDetailWindowDelegate.h"
#include "ZemLeftBarLitstCell.h"
#include "ui/screens/controls/ZemHoverButton.h"

namespace Ui {
class ZemMainLeftBar;
}
namespace dispatch {
class TimerSource;
class WorkQueue;
}  // namespace dispatch

class ZemMainLeftBar : public QWidget, public ZemDetailWindowDelegate, public ZemWindowDelegate {
    Q_OBJECT
  public:
    // The name of the in-process notification that carries a QR or ticket state.
    static constexpr const char* kUpdateLabelNotification = "update_Lable_notification";

    // Loads the bar's layout resource (named as the class, "ZemMainLeftBar"); null for any other
    // name. Selects the overview cell, reads the signed-in name (starting the QR-login poll when
    // nobody is signed in), starts the ticket poll and sets up the office-tools cell.
    static ZemMainLeftBar* initialWithNibName(const QString& name, QWidget* parent = nullptr);
    ~ZemMainLeftBar() override;

    // Called with the tag of the navigation cell the user chose.
    void setTapBarItemBlock(std::function<void(long)> block);
    std::function<void(long)> tapBarItemBlock() const;

    // Outlets.
    QLabel* backgroundImgView() const;
    ZemLeftBarLitstCell* detailBtn() const;
    QLabel* userNameLb() const;
    ZemLeftBarLitstCell* allBtn() const;
    ZemHoverButton* userPhotoBtn() const;
    QLabel* lineView() const;
    ZemLeftBarLitstCell* toolButton() const;

    std::int32_t level() const { return level_; }
    bool ishowDetailWin() const { return ishowDetailWin_; }

    void setZemFunctionList();
    void functionListHandleWithTag(long tag, bool isCallback);
    void changeBtnUI();
    // Below 1: the safe look; 1 or more: the unsafe look.
    void setUIWithWarnLevel(std::int32_t level);
    void setMachineName();
    void setHideDetilBtn(bool hide);
    // Clicks the overview cell.
    void switchbtnsecond();

    // Opens the device-info window and runs it modally; returns when it closes.
    void tapUserPhotoBtn();

    // ZemDetailWindowDelegate
    void closeDetailWindow(ZemDetailWindow* window) override;
    void StartCheckLogin() override;
    void refreshUserName() override;
    // ZemWindowDelegate
    bool windowShouldClose(QWidget* window) override;

    // Restart (cancel any running source, then create one) or cancel the two polls.
    void StartCheckLoginStatus();
    void closeCheckLoginStatus();
    void StartCheckTicketStatus();
    void closeCheckTicketStatus();
    void createCheckLoginTimer();
    void createCheckTicketTimer();

    // Whether a poll source is live.
    bool isCheckingLogin() const;
    bool isCheckingTicket() const;
    // The device-info window while it is open, else null.
    ZemDetailWindow* detailWindow() const;

  private:
    explicit ZemMainLeftBar(QWidget* parent);
    std::shared_ptr<dispatch::WorkQueue> timerCheckQueue();

    std::unique_ptr<Ui::ZemMainLeftBar> ui_;
    mutable std::mutex mutex_;
    std::function<void(long)> tapBarItemBlock_;
    std::shared_ptr<dispatch::TimerSource> TicketCheckTimer_;
    std::shared_ptr<dispatch::TimerSource> GDCheckLoginTimer_;
    std::shared_ptr<dispatch::WorkQueue> timerCheckQueue_;
    std::int32_t level_ = 0;
    bool ishowDetailWin_ = false;
    QPointer<ZemDetailWindow> detailWindow_;
};
