#include "ZemMainViewController.h"

#include <QFile>
#include <QHeaderView>
#include <QMovie>
#include <QProgressBar>
#include <QScrollArea>
#include <QTabBar>
#include <QTabWidget>

#include "ZemDetailCell.h"
#include "platform/paths/Paths.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/ZemHelpWebWindowController.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/ImageExtension.h"
#include "ui/screens/leftbar/ZemMainLeftBar.h"
#include "ui/session/compliance/ZemCheck.h"
#include "ui/session/log/ZemLogHelper.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_ZemMainViewController.h"

namespace {

constexpr std::uint32_t kSafeText = 0x15B655;
constexpr std::uint32_t kUnsafeText = 0xF46F16;
constexpr auto kCompleteDelay = std::chrono::milliseconds(2500);
constexpr int kCategoryRowHeight = 39;
constexpr int kItemRowHeight = 53;

void writeLog(const std::string& line) {
    ZemLogHelper::sharedInstance().writeLog(line);
}

void dispatchMainIfAlive(const std::weak_ptr<bool>& alive, std::function<void()> work) {
    dispatch::WorkQueue::main()->dispatch([alive, work = std::move(work)] {
        if (auto a = alive.lock(); a && *a) work();
    });
}

}  // namespace

ZemMainViewController::ZemMainViewController(QWidget* parent) : ZemMainViewController(Options{}, parent) {}

ZemMainViewController::ZemMainViewController(Options options, QWidget* parent)
    : CustomViewControllerBase(parent),
      options_(std::move(options)),
      ui_(std::make_unique<Ui::ZemMainViewController>()) {
    ui_->setupUi(this);
    if (!options_.checker) options_.checker = &ZemCheck::sharedInstance();
    if (!options_.notifications) {
        ownNotifications_ = std::make_shared<UserNotificationCenter>();
        options_.notifications = ownNotifications_.get();
    }
    awakeFromNib();
    viewDidLoad();
}

ZemMainViewController::~ZemMainViewController() {
    *alive_ = false;
    for (auto id : observers_) dispatch::NotificationCenter::defaultCenter().removeObserver(id);
    if (options_.notifications) options_.notifications->setDidActivate(nullptr);
}

QTreeWidget* ZemMainViewController::myTableView() const {
    return ui_->myTableView;
}
QTabWidget* ZemMainViewController::mTabView() const {
    return ui_->mTabView;
}
QLabel* ZemMainViewController::stateLb() const {
    return ui_->stateLb;
}
QLabel* ZemMainViewController::tinyStateLb() const {
    return ui_->tinyStateLb;
}
QLabel* ZemMainViewController::checkNumLb() const {
    return ui_->checkNumLb;
}
QLabel* ZemMainViewController::bgImgView() const {
    return ui_->bgImgView;
}
QLabel* ZemMainViewController::gifImgView() const {
    return ui_->gifImgView;
}
QLabel* ZemMainViewController::tinyGifImgView() const {
    return ui_->tinyGifImgView;
}
QLabel* ZemMainViewController::percentImgView() const {
    return ui_->percentImgView;
}
QLabel* ZemMainViewController::checkImg() const {
    return ui_->checkImg;
}
QLabel* ZemMainViewController::animatePointView() const {
    return ui_->animatePointView;
}
QLabel* ZemMainViewController::tinyPointView() const {
    return ui_->tinyPointView;
}
ZemHoverButton* ZemMainViewController::repairBtn() const {
    return ui_->repairBtn;
}
ZemHoverButton* ZemMainViewController::reCheckBtn() const {
    return ui_->reCheckBtn;
}
QLabel* ZemMainViewController::tipsTextField() const {
    return ui_->tipsTextField;
}
QLabel* ZemMainViewController::logoImageView() const {
    return ui_->logoImageView;
}
QAbstractButton* ZemMainViewController::joinDomainButton() const {
    return ui_->joinDomainButton;
}
QProgressBar* ZemMainViewController::joinDomainProgressIndicator() const {
    return ui_->joinDomainProgressIndicator;
}
QScrollArea* ZemMainViewController::toolMainView() const {
    return ui_->toolMainView;
}
QLabel* ZemMainViewController::unloginImageView() const {
    return ui_->unloginImageView;
}
QLabel* ZemMainViewController::unloginTipsLabel() const {
    return ui_->unloginTipsLabel;
}
QAbstractButton* ZemMainViewController::availableApplistButton() const {
    return ui_->availableApplistButton;
}

void ZemMainViewController::onMain(std::function<void()> work) {
    std::weak_ptr<bool> alive = alive_;
    dispatch::WorkQueue::main()->dispatch([alive, work = std::move(work)] {
        if (auto a = alive.lock(); a && *a) work();
    });
}

void ZemMainViewController::afterOnMain(std::chrono::nanoseconds delay, std::function<void()> work) {
    std::weak_ptr<bool> alive = alive_;
    dispatch::WorkQueue::main()->dispatchAfter(delay, [alive, work = std::move(work)] {
        if (auto a = alive.lock(); a && *a) work();
    });
}

void ZemMainViewController::awakeFromNib() {
    ui_->mTabView->tabBar()->hide();
    ui_->myTableView->header()->setStretchLastSection(true);
    ZemHoverButton* repair = ui_->repairBtn;
    repair->setIsAllHover(true);
    // The long button's images lie under its title, in the button's background image view.
    repair->setBgImage(Extension::imageWithName("长按钮-hover"), ZemHoverButton::kStateHover);
    repair->setBgImage(Extension::imageWithName("长按钮-nomal"), ZemHoverButton::kStateNormal);
    repair->initialDefaultBgImageView(Extension::imageWithName("长按钮-nomal"));
    ui_->reCheckBtn->setIsAllHover(true);
    connect(ui_->repairBtn, &QPushButton::clicked, this, [this] { tapRepairBtn(); });
    connect(ui_->reCheckBtn, &QPushButton::clicked, this, [this] { reCheckBtnClick(); });
    connect(ui_->joinDomainButton, &QPushButton::clicked, this, [this] { tapDomainBtn(); });
    connect(ui_->availableApplistButton, &QPushButton::clicked, this, [this] { applistButtonDidClicked(); });
}

void ZemMainViewController::viewDidLoad() {
    options_.notifications->removeAllScheduledNotifications();

    leftBarCreate();

    changeUIWithWarnLevel(0);
    for (QLabel* view : {ui_->gifImgView, ui_->tinyGifImgView, ui_->animatePointView, ui_->tinyPointView})
        startAnimation(view);

    ZemAddNotifications();
    checkQueue_ = dispatch::WorkQueue::create(kCheckQueueLabel, dispatch::QueueAttr::Serial);
    expandAll();

    ui_->tipsTextField->setText(fetchLocalTips());
    if (QPixmap logo = fetchMarkImage(); !logo.isNull()) ui_->logoImageView->setPixmap(logo);
    ui_->joinDomainProgressIndicator->hide();
    isJoiningDomain_ = false;
    loadJoinDomainButton();
    toolCells_.clear();
    loadToolsView();
    if (options_.fetchGeneralConfig) hux::RavAvizaLoginHelper::sharedInstance().Get_Save_Config();
    std::weak_ptr<bool> alive = alive_;
    hux::RavAvizaLoginHelper::sharedInstance().setLoginBlock([this, alive](int) {
        // Any thread: the refresh runs on the main queue.
        dispatchMainIfAlive(alive, [this] { loadToolsView(); });
    });
    if (options_.domainLoginDelay) {
        ZemCheck* checker = options_.checker;
        afterOnMain(*options_.domainLoginDelay, [checker] { checker->checkDomainLogin(); });
    }
    // The screen shows the machine's state as soon as it is there.
    if (options_.checkAtStart) getDataFromPlist();
}

void ZemMainViewController::ZemAddNotifications() {
    auto& center = dispatch::NotificationCenter::defaultCenter();
    auto main = dispatch::WorkQueue::main();
    std::weak_ptr<bool> alive = alive_;
    // The watcher posts on its own thread; the handlers run on the main queue, where the screen
    // lives and goes, so none meets a screen half destroyed.
    auto add = [&](const char* name, std::shared_ptr<dispatch::WorkQueue> queue,
                   std::function<void(const dispatch::Notification&)> handler) {
        observers_.push_back(center.addObserver(
            name, std::move(queue), [alive, handler = std::move(handler)](const dispatch::Notification& n) {
                if (auto a = alive.lock(); a && *a) handler(n);
            }));
    };
    add(ZemCheck::kCheckNotificationName, main,
        [this](const dispatch::Notification& n) { checkStateChangeWithNotification(n); });
    add(hux::UpdateTipsForConfigNoticationKey, main,
        [this](const dispatch::Notification&) { updateTipsFromConfigWithNotification(); });
    add(hux::UpdateLogoForConfigNoticationKey, main,
        [this](const dispatch::Notification&) { updateLogoFromConfigWithNotification(); });
    add(hux::UpdateComputerNameForJoinDomainNotificationKey, main,
        [this](const dispatch::Notification&) { updateComputerNameFromJoinDomainWithNotification(); });
    add(hux::kRestartComputorNotification, main,
        [this](const dispatch::Notification&) { restartComputorWithNotification(); });
    add(hux::DuceneSwitchStatusNotificationKey, main,
        [this](const dispatch::Notification&) { loadJoinDomainButton(); });
    // The admission follow-up touches no view and needs nothing of the screen: it stays on the
    // watcher's thread.
    observers_.push_back(
        center.addObserver(hux::TovikSSIDChangedNotificationKey, nullptr,
                           [](const dispatch::Notification&) { followAdmissionSettings(); }));
    add(hux::UpdateAppMgtListForConfigNoticationKey, main,
        [this](const dispatch::Notification&) { loadToolsView(); });
    add(hux::UpdateQznSwitchForConfigNoticationKey, main,
        [this](const dispatch::Notification&) { changeAvailableAppListButtonStatus(); });
}

// ---- outline ----

void ZemMainViewController::expandAll() {
    ui_->myTableView->expandAll();
}

void ZemMainViewController::reloadOutline() {
    QTreeWidget* tree = ui_->myTableView;
    tree->clear();
    const auto& categories = run_.dataSource();
    for (size_t i = 0; i < categories.size(); ++i) {
        auto* categoryRow = new QTreeWidgetItem(tree);
        categoryRow->setSizeHint(0, QSize(0, kCategoryRowHeight));
        categoryRow->setFlags(Qt::ItemIsEnabled);
        for (size_t j = 0; j < categories[i].leafArr.size(); ++j) {
            auto* itemRow = new QTreeWidgetItem(categoryRow);
            itemRow->setSizeHint(0, QSize(0, kItemRowHeight));
            itemRow->setFlags(Qt::ItemIsEnabled);
        }
        reloadCategory(i);
    }
}

void ZemMainViewController::reloadCategory(size_t index) {
    QTreeWidget* tree = ui_->myTableView;
    const auto& categories = run_.dataSource();
    if (index >= categories.size() || static_cast<int>(index) >= tree->topLevelItemCount()) return;
    const ZemRootModel& category = categories[index];
    QTreeWidgetItem* categoryRow = tree->topLevelItem(static_cast<int>(index));
    auto* header = qobject_cast<ZemDetailTabelSectionHeaderView*>(tree->itemWidget(categoryRow, 0));
    if (!header) {
        header = new ZemDetailTabelSectionHeaderView;
        header->setObjectName(QString("ZemDetailTabelSectionHeaderView"));
        tree->setItemWidget(categoryRow, 0, header);
    }
    header->setUIWithModel(category);
    for (int j = 0; j < categoryRow->childCount() && j < static_cast<int>(category.leafArr.size()); ++j) {
        QTreeWidgetItem* itemRow = categoryRow->child(j);
        auto* cell = qobject_cast<ZemDetailCell*>(tree->itemWidget(itemRow, 0));
        if (!cell) {
            cell = new ZemDetailCell;
            cell->setObjectName(QString("ZemDetailCell"));
            tree->setItemWidget(itemRow, 0, cell);
        }
        const ZemCheckModel& item = category.leafArr[static_cast<size_t>(j)];
        cell->setUIWithModel(item);
        ZemCheckModel tapped = item;
        cell->setTapBlock([this, tapped] { openHelpForItem(tapped); });
    }
}

void ZemMainViewController::openHelpForItem(const ZemCheckModel& item) {
    if (item.keyword.empty()) return;
    ZemHelpWebWindowController& help = ZemHelpWebWindowController::sharedInstance();
    QWidget* helpWindow = help.window();
    if (!helpWindow) return;
    const QWidget* shown = window();
    const QRect main = shown ? shown->frameGeometry() : QRect();
    const int w = 920;
    const int h = 600;
    helpWindow->resize(w, h);
    helpWindow->move(main.x() + 50 + (main.width() - w) / 2, main.y() + 50 + (main.height() - h) / 2);
    help.loadHelpWithTag(QString::fromStdString(item.keyword));
    help.showWindow();
}

// ---- check runs ----

void ZemMainViewController::getDataFromPlist() {
    const ComplianceRequirements required = readComplianceRequirements(complianceInfoPath());
    const std::string catalogue = checkCataloguePath();
    if (!QFile::exists(QString::fromStdString(catalogue))) {
        writeLog("can not find ZemCheck.plist");
        return;
    }
    std::optional<std::vector<ZemRootModel>> categories = loadCheckCatalogue(catalogue);
    if (!categories) {
        writeLog("can not find ZemCheck.plist");
        return;
    }
    CheckList list = requiredCheckList(*categories, required);
    onMain([this, list = std::move(list)]() mutable {
        run_.setList(std::move(list));
        reloadOutline();
        startCheck();
    });
}

void ZemMainViewController::startCheck() {
    ui_->stateLb->setText("正在检测");
    ui_->tinyStateLb->setText("正在检测");
    run_.begin();
    reloadOutline();
    for (QLabel* view : {ui_->gifImgView, ui_->tinyGifImgView, ui_->animatePointView, ui_->tinyPointView})
        startAnimation(view);
    ui_->animatePointView->show();
    ui_->tinyPointView->show();

    // The checks run on copies: the outline's items change only on the main thread, from the
    // posted results.
    std::vector<std::vector<ZemCheckModel>> items;
    for (const ZemRootModel& category : run_.dataSource()) items.push_back(category.leafArr);
    ZemCheck* checker = options_.checker;
    std::weak_ptr<bool> alive = alive_;
    checkQueue_->dispatch([this, alive, checker, items = std::move(items)]() mutable {
        for (std::vector<ZemCheckModel>& category : items) {
            for (ZemCheckModel& item : category) {
                item.isWarn = false;
                checker->checkWithModel(item);
            }
            if (!category.empty()) {
                dispatchMainIfAlive(alive, [this] { leftBarSetHideDetilBtn(false); });
            } else {
                // An empty category has no result to wait for, but the summary waits for every
                // other check of the run: it comes here only once all their results are in.
                dispatchMainIfAlive(alive, [this] {
                    if (run_.hadCheckedCount() >= run_.needCheckCount()) checkComplete();
                });
            }
        }
    });
}

void ZemMainViewController::checkStateChangeWithNotification(const dispatch::Notification& notification) {
    const archive::Dictionary* object = notification.object.dictionary();
    if (!object || object->empty()) return;
    std::optional<ZemCheckModel> item = ZemCheckModel::decode(object->begin()->second);
    if (!item) return;
    const ZemCheckRun::Outcome outcome = run_.resultReceived(*item);
    if (outcome.category) {
        reloadCategory(*outcome.category);
        expandAll();
    }
    if (outcome.runComplete) afterOnMain(kCompleteDelay, [this] { checkComplete(); });
    if (run_.warnCount() > 0) {
        setTextColor(ui_->tinyStateLb, RGB::fromRGB(kUnsafeText));
        changeUIWithWarnLevel(warnLevelForCount(run_.warnCount()));
    }
}

void ZemMainViewController::checkComplete() {
    ui_->reCheckBtn->show();
    ui_->reCheckBtn->setEnabled(true);
    const bool failed = run_.warnCount() > 0;
    if (failed) {
        ui_->checkNumLb->setText(
            QString::asprintf("%ld项实时合规检测", static_cast<long>(run_.needCheckCount())));
        ui_->tinyStateLb->setText(QString::asprintf("发现%ld个问题", static_cast<long>(run_.warnCount())));
        leftBarSetHideDetilBtn(false);
    } else {
        ui_->checkNumLb->setText("合规检测项全部正常");
        changeUIWithWarnLevel(0);
        leftBarSetHideDetilBtn(true);
        if (ui_->mTabView->currentIndex() == kDetailsTab) leftBarSwitchbtnsecond();
    }
    stopAnimation(ui_->gifImgView, failed ? "completeImg_unsafe" : "completeImg_safe");
    stopAnimation(ui_->tinyGifImgView, failed ? "gifCompleteTiny_unsafe" : "gifCompleteTiny_safe");
    ui_->animatePointView->hide();
    ui_->tinyPointView->hide();
    ui_->stateLb->setText(stateTextForLevel(currentLevel_));
}

void ZemMainViewController::changeUIWithWarnLevel(int32_t level) {
    currentLevel_ = level;
    writeLog("[ZemMainViewController]change UI with level : " + std::to_string(level));
    leftBarSetUIWithWarnLevel(level);
    const bool safe = level <= 0;
    showNamedImage(ui_->bgImgView, safe ? "main_bg_safe" : "main_bg_unsafe");
    const auto setAnimated = [this](QLabel* label, const QString& name) {
        label->setProperty("animationName", name);
        if (label->property("animating").toBool()) startAnimation(label);
    };
    setAnimated(ui_->gifImgView, safe ? "2倍安全状态栏gif.gif" : "2倍危险状态栏gif.gif");
    setAnimated(ui_->tinyGifImgView, safe ? "tinyGif_safe.gif" : "tinyGif_unsafe.gif");
    setAnimated(ui_->animatePointView, safe ? "pointView_safe.gif" : "pointView_unsafe.gif");
    setAnimated(ui_->tinyPointView, safe ? "pointView_safe.gif" : "pointView_unsafe.gif");
    ZemHoverButton* reCheck = ui_->reCheckBtn;
    const QString reCheckName = safe ? "reCheck_safe" : "reCheck";
    reCheck->setProperty("imageName", reCheckName);
    reCheck->setBgImage(Extension::imageWithName(reCheckName), ZemHoverButton::kStateNormal);
    reCheck->setBgImage(Extension::imageWithName(safe ? "reCheck_safe_hover" : "reCheck_hover"),
                        ZemHoverButton::kStateHover);
    reCheck->initialDefaultBgImageView(Extension::imageWithName(reCheckName));
    showNamedImage(ui_->checkImg, safe ? "Testing1" : "Testing2");
    ZemHoverButton* repair = ui_->repairBtn;
    if (safe) {
        repair->hide();
    } else {
        repair->show();
        QFont font = repair->font();
        font.setPointSize(14);
        repair->setFont(font);
        setTextColor(repair, Qt::white);
        repair->setText(QString::asprintf("%ld个问题待修复", static_cast<long>(run_.warnCount())));
    }
    setTextColor(ui_->stateLb, RGB::fromRGB(safe ? kSafeText : kUnsafeText));
    if (safe) {
        setTextColor(ui_->tinyStateLb, RGB::fromRGB(kSafeText));
        ui_->tinyStateLb->setText("电脑安全");
    }
    showNamedImage(ui_->percentImgView, safe ? "statecycle100_safe" : "statecycle100_unsafe");
}

void ZemMainViewController::tapRepairBtn() {
    leftBarFunctionListHandle(kDetailsTab, false);
    ui_->mTabView->setCurrentIndex(kDetailsTab);
    expandAll();
}

void ZemMainViewController::reCheckBtnClick() {
    startCheck();
    expandAll();
    ui_->reCheckBtn->setEnabled(false);
}

// ---- animations ----

void ZemMainViewController::startAnimation(QLabel* label) {
    const QString name = label->property("animationName").toString();
    label->setProperty("imageName", name);
    label->setProperty("animating", true);
    const QString file = QStringLiteral(":/hux/images/%1").arg(name);
    if (QFile::exists(file)) {
        auto* movie = new QMovie(file, QByteArray(), label);
        QMovie* old = label->movie();
        label->setMovie(movie);
        if (old && old != movie) old->deleteLater();
        movie->start();
    } else {
        // Without the animation, its still image (the name without ".gif").
        QString still = name;
        if (still.endsWith(".gif")) still.chop(4);
        label->setPixmap(Extension::imageWithName(still));
    }
}

void ZemMainViewController::stopAnimation(QLabel* label, const QString& finalImage) {
    label->setProperty("animating", false);
    if (QMovie* movie = label->movie()) {
        movie->stop();
        label->setMovie(nullptr);
        movie->deleteLater();
    }
    showNamedImage(label, finalImage);
}

// ---- left bar ----

void ZemMainViewController::leftBarCreate() {
    ZemMainLeftBar* bar = ZemMainLeftBar::initialWithNibName("ZemMainLeftBar", ui_->leftBarBgView);
    if (!bar) return;
    bar->setMinimumSize(0, 0);
    bar->setGeometry(0, 0, 144, 600);
    std::weak_ptr<bool> alive = alive_;
    bar->setTapBarItemBlock([this, alive](long tag) {
        dispatchMainIfAlive(alive, [this, tag] {
            ui_->mTabView->setCurrentIndex(static_cast<int>(tag));
            if (tag == kDetailsTab) expandAll();
        });
    });
    bar->show();
    leftBar_ = bar;
}

void ZemMainViewController::leftBarFunctionListHandle(long tag, bool isCallback) {
    if (leftBar_) leftBar_->functionListHandleWithTag(tag, isCallback);
}

void ZemMainViewController::leftBarSetHideDetilBtn(bool hide) {
    if (leftBar_) leftBar_->setHideDetilBtn(hide);
}

void ZemMainViewController::leftBarSwitchbtnsecond() {
    if (leftBar_) leftBar_->switchbtnsecond();
}

void ZemMainViewController::leftBarSetUIWithWarnLevel(int32_t level) {
    if (leftBar_) leftBar_->setUIWithWarnLevel(level);
}

// Callers on any thread: the bar is reached on the main queue.
void ZemMainViewController::leftBarSetMachineName() {
    onMain([this] {
        if (leftBar_) leftBar_->setMachineName();
    });
}
