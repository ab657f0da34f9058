// The compliance flavour's main screen: a left bar, a tab view with the office tools (tab 0), the
// overview with the large status area (tab 1) and the check details outline (tab 2). It runs the
// compliance checks over its list on "com.ravAviza.checkZEM", turns their results into the safe or
// unsafe look, and follows the daemon's state files for the tools, tips, logo, join-domain button,
// restart prompt and network admission.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QRect>
#include <QTreeWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UserNotificationCenter.h"
#include "ZemCheckList.h"
#include "platform/archive/Value.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "ui/screens/base/CustomViewControllerBase.h"
#include "ui/screens/controls/ZemHoverButton.h"
#include "ui/screens/leftbar/ZemMainLeftBar.h"
#include "ui/screens/tools/ZemToolModel.h"

class QAbstractButton;
class QProgressBar;
class QScrollArea;
class QTabWidget;
class ZemCheck;

namespace Ui {
class ZemMainViewController;
}

// What a tap on an office tool does.
struct ToolTapAction {
    enum class Kind { OpenUrl, OpenApplication, OfferDownload, AskToInstall };
    Kind kind = Kind::AskToInstall;
    std::string target;  // the URL or the application name
};
// The tap's decision: a link opens (with "https://" in front when it holds no "http"), an
// installed application (in /Applications, else /System/Applications) starts, otherwise the
// user is offered the download address or told to install the tool.
ToolTapAction toolTapAction(const ZemToolModel& tool);
// Tool i of the grid in a tools area of the given width: six to a row, 110 x 110 each.
QRect toolCellFrame(size_t index, int areaWidth);

class ZemMainViewController : public CustomViewControllerBase {
    Q_OBJECT
  public:
    static constexpr const char* kCheckQueueLabel = "com.ravAviza.checkZEM";
    static constexpr const char* kDomainToolBundleId = "com.velmora.ZemDucene";
    static constexpr int kDetailsTab = 2;

    struct Options {
        ZemCheck* checker = nullptr;                      // null: ZemCheck::sharedInstance()
        UserNotificationCenter* notifications = nullptr;  // null: the desktop's centre
        // The delay of the domain-login check after start; nothing: no check (tests).
        std::optional<std::chrono::milliseconds> domainLoginDelay = std::chrono::seconds(3);
        // Asks the login service for the general configuration at start.
        bool fetchGeneralConfig = true;
        // Loads the check list and runs the checks at start.
        bool checkAtStart = true;
    };

    explicit ZemMainViewController(QWidget* parent = nullptr);
    explicit ZemMainViewController(Options options, QWidget* parent = nullptr);
    ~ZemMainViewController() override;

    // The compliance checks.
    void getDataFromPlist();
    void startCheck();
    void checkStateChangeWithNotification(const dispatch::Notification& notification);
    void checkComplete();
    void changeUIWithWarnLevel(int32_t level);
    void tapRepairBtn();
    void reCheckBtnClick();
    // Opens the help window on the item's keyword (the item cell's tap).
    void openHelpForItem(const ZemCheckModel& item);

    // Office tools.
    void loadToolsView();
    void updateToolsViewWithLogintype(int64_t loginType);
    void toolTapped(const ZemToolModel& tool);
    void openApplication(const std::string& name);
    void applistButtonDidClicked();
    void changeAvailableAppListButtonStatus();

    // Tips, logo and machine name.
    QString fetchLocalTips() const;
    QPixmap fetchMarkImage() const;
    void updateTipsFromConfigWithNotification();
    void updateLogoFromConfigWithNotification();
    void updateComputerNameFromJoinDomainWithNotification();

    // Join-domain button.
    void loadJoinDomainButton();
    void tapDomainBtn();
    void openDomainTool();
    // Starts the domain-join app and writes the result to the system log; any thread.
    static void startDomainTool();
    void disminssJoinDomainProgressIndicator();
    bool isJoiningDomain() const { return isJoiningDomain_; }
    // <ui resources>/Ducene.app/Contents/MacOS/Ducene
    static std::string domainToolPath();

    // Restart prompt.
    void restartComputorWithNotification();
    void userNotificationCenterDidActivateNotification(const UserNotification& notification);

    // Network admission: tovikSsidChanged follows the admission settings; the work needs nothing
    // of the screen and runs on the caller's thread.
    void tovikSsidChanged();
    static void followAdmissionSettings();

    // State for tests and the left bar.
    const std::vector<ZemRootModel>& dataSource() const { return run_.dataSource(); }
    const ZemCheckRun& checkRun() const { return run_; }
    int32_t currentLevel() const { return currentLevel_; }
    QTreeWidget* myTableView() const;
    QTabWidget* mTabView() const;
    QLabel* stateLb() const;
    QLabel* tinyStateLb() const;
    QLabel* checkNumLb() const;
    QLabel* bgImgView() const;
    QLabel* gifImgView() const;
    QLabel* tinyGifImgView() const;
    QLabel* percentImgView() const;
    QLabel* checkImg() const;
    QLabel* animatePointView() const;
    QLabel* tinyPointView() const;
    ZemHoverButton* repairBtn() const;
    ZemHoverButton* reCheckBtn() const;
    QLabel* tipsTextField() const;
    QLabel* logoImageView() const;
    QAbstractButton* joinDomainButton() const;
    QProgressBar* joinDomainProgressIndicator() const;
    QScrollArea* toolMainView() const;
    QLabel* unloginImageView() const;
    QLabel* unloginTipsLabel() const;
    QAbstractButton* availableApplistButton() const;
    const std::vector<QPointer<QWidget>>& toolCells() const { return toolCells_; }
    const std::vector<std::shared_ptr<ZemToolModel>>& toolModels() const { return toolModels_; }
    ZemMainLeftBar* leftBar() const { return leftBar_; }

  private:
    void awakeFromNib();
    void viewDidLoad();
    void ZemAddNotifications();
    void expandAll();
    void reloadOutline();
    void reloadCategory(size_t index);
    // Animates the label's "animationName" image.
    void startAnimation(QLabel* label);
    void stopAnimation(QLabel* label, const QString& finalImage);
    // Runs on the main queue, unless the screen is gone by then.
    void onMain(std::function<void()> work);
    // The left bar's operations this screen uses.
    void leftBarCreate();
    void leftBarFunctionListHandle(long tag, bool isCallback);
    void leftBarSetHideDetilBtn(bool hide);
    void leftBarSwitchbtnsecond();
    void leftBarSetUIWithWarnLevel(int32_t level);
    void leftBarSetMachineName();
    void afterOnMain(std::chrono::nanoseconds delay, std::function<void()> work);

    Options options_;
    std::unique_ptr<Ui::ZemMainViewController> ui_;
    QPointer<ZemMainLeftBar> leftBar_;
    std::shared_ptr<dispatch::WorkQueue> checkQueue_;
    std::vector<dispatch::NotificationCenter::ObserverId> observers_;
    std::shared_ptr<UserNotificationCenter> ownNotifications_;
    // Cleared when the screen goes, so work queued for it does nothing.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    ZemCheckRun run_;
    int32_t currentLevel_ = 0;

    std::vector<std::shared_ptr<ZemToolModel>> toolModels_;
    std::vector<QPointer<QWidget>> toolCells_;
    bool isJoiningDomain_ = false;
};
