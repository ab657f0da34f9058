#include "ZemMainLeftBar.h"

#include <chrono>

#include "ZemDetailWindow.h"
#include "common/account/AccountModel.h"
#include "common/logger/LogSink.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/controls/ButtonSelected.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/ImageExtension.h"
#include "ui/session/login/JsonFields.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui/session/ticket/HollinProcessListener.h"
#include "ui_ZemMainLeftBar.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kPollInterval = 3s;
constexpr const char* kSignedOutName = "未登录";

void log(const std::string& line) {
    common::processLog().writeLog(line);
}

std::string errorText(const hux::Error& error) {
    return error ? error->failureReason : std::string();
}

// The "msg" of a reply as text ("(null)" when missing, as a formatted nil reads).
std::string replyMessage(const hux::Reply& reply) {
    if (!reply) return "(null)";
    if (auto msg = hux::fields::textOrNumber(*reply, "msg")) return *msg;
    return "(null)";
}

// data.state of a reply.
std::optional<int64_t> dataState(const hux::Reply& reply) {
    if (!reply) return std::nullopt;
    const hux::Json* data = hux::fields::member(*reply, "data");
    if (!data) return std::nullopt;
    return hux::fields::integer(*data, "state");
}

void postStateOnMain(int64_t state) {
    dispatch::WorkQueue::main()->dispatch([state] {
        dispatch::NotificationCenter::defaultCenter().post(ZemMainLeftBar::kUpdateLabelNotification,
                                                           archive::Value(state));
    });
}

}  // namespace

ZemMainLeftBar::ZemMainLeftBar(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::ZemMainLeftBar>()) {
    ui_->setupUi(this);
    for (ZemLeftBarLitstCell* cell : {ui_->toolButton, ui_->allBtn, ui_->detailBtn}) cell->awakeFromNib();
    QPalette palette = ui_->userNameLb->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    ui_->userNameLb->setPalette(palette);
    connect(ui_->userPhotoBtn, &QPushButton::clicked, this, [this] { tapUserPhotoBtn(); });
}

ZemMainLeftBar* ZemMainLeftBar::initialWithNibName(const QString& name, QWidget* parent) {
    if (name != QLatin1String("ZemMainLeftBar")) return nullptr;
    auto* bar = new ZemMainLeftBar(parent);
    isSelected::setIsSelected(bar->ui_->allBtn, true);
    bar->ishowDetailWin_ = false;
    bar->setMachineName();
    bar->createCheckTicketTimer();
    bar->setZemFunctionList();
    return bar;
}

ZemMainLeftBar::~ZemMainLeftBar() {
    closeCheckLoginStatus();
    closeCheckTicketStatus();
    delete detailWindow_.data();
}

void ZemMainLeftBar::setTapBarItemBlock(std::function<void(long)> block) {
    std::lock_guard<std::mutex> lock(mutex_);
    tapBarItemBlock_ = std::move(block);
}

std::function<void(long)> ZemMainLeftBar::tapBarItemBlock() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tapBarItemBlock_;
}

QLabel* ZemMainLeftBar::backgroundImgView() const {
    return ui_->backgroundImgView;
}
ZemLeftBarLitstCell* ZemMainLeftBar::detailBtn() const {
    return ui_->detailBtn;
}
QLabel* ZemMainLeftBar::userNameLb() const {
    return ui_->userNameLb;
}
ZemLeftBarLitstCell* ZemMainLeftBar::allBtn() const {
    return ui_->allBtn;
}
ZemHoverButton* ZemMainLeftBar::userPhotoBtn() const {
    return ui_->userPhotoBtn;
}
QLabel* ZemMainLeftBar::lineView() const {
    return ui_->lineView;
}
ZemLeftBarLitstCell* ZemMainLeftBar::toolButton() const {
    return ui_->toolButton;
}
ZemDetailWindow* ZemMainLeftBar::detailWindow() const {
    return detailWindow_;
}

void ZemMainLeftBar::setZemFunctionList() {
    ZemLeftBarLitstCell* tool = ui_->toolButton;
    tool->setNormalImage(Extension::imageWithName(QStringLiteral("icon-tool-normal")));
    tool->setHighlightImage(Extension::imageWithName(QStringLiteral("icon-tool-highlight")));
    tool->titleLabel()->setText(QStringLiteral("办公工具"));
    tool->setStatus(1);
    tool->setTag(0);
    tool->setCompletion([this](ZemLeftBarLitstCell* cell) {
        log("tool button clicked.");
        functionListHandleWithTag(cell->tag(), true);
    });

    // The overview and details cells follow the same rule.
    ZemLeftBarLitstCell* all = ui_->allBtn;
    all->setNormalImage(Extension::imageWithName(QStringLiteral("icon-all-normal")));
    all->setHighlightImage(Extension::imageWithName(QStringLiteral("icon-all-highlight")));
    all->titleLabel()->setText(QStringLiteral("总览"));
    all->setTag(1);
    all->setCompletion([this](ZemLeftBarLitstCell* cell) { functionListHandleWithTag(cell->tag(), true); });
    ZemLeftBarLitstCell* detail = ui_->detailBtn;
    detail->titleLabel()->setText(QStringLiteral("详情"));
    detail->setTag(2);
    detail->setCompletion(
        [this](ZemLeftBarLitstCell* cell) { functionListHandleWithTag(cell->tag(), true); });
    changeBtnUI();
}

void ZemMainLeftBar::functionListHandleWithTag(long tag, bool isCallback) {
    switch (tag) {
        case 0:
            ui_->detailBtn->setStatus(0);
            ui_->allBtn->setStatus(0);
            break;
        case 1:
            ui_->detailBtn->setStatus(0);
            ui_->toolButton->setStatus(0);
            break;
        case 2:
            ui_->detailBtn->setStatus(1);
            ui_->toolButton->setStatus(0);
            ui_->allBtn->setStatus(0);
            break;
        default:
            break;
    }
    if (isCallback) {
        if (auto block = tapBarItemBlock()) block(tag);
    }
    changeBtnUI();
}

void ZemMainLeftBar::changeBtnUI() {
    QString name = QStringLiteral("detail_safe-nomal");
    if (isSelected::isSelected(ui_->detailBtn)) {
        name = level_ < 1 ? QStringLiteral("detail_safe-hover") : QStringLiteral("detail_unsafe-hover");
    }
    const QPixmap image = Extension::imageWithName(name);
    ui_->detailBtn->setNormalImage(image);
    ui_->detailBtn->setHighlightImage(image);
    ui_->detailBtn->setProperty("_q_huxImageName", name);
}

void ZemMainLeftBar::setUIWithWarnLevel(std::int32_t level) {
    level_ = level;
    const bool safe = level < 1;
    const QString background = safe ? QStringLiteral("leftBar_safe") : QStringLiteral("leftBar_unsafe");
    const QString normal =
        safe ? QStringLiteral("avatar_safe_normal") : QStringLiteral("avatar_unsafe_normal");
    const QString hover = safe ? QStringLiteral("avatar_safe_hover") : QStringLiteral("avatar_unsafe_hover");
    ui_->backgroundImgView->setPixmap(Extension::imageWithName(background));
    ui_->backgroundImgView->setProperty("_q_huxImageName", background);
    ZemHoverButton* avatar = ui_->userPhotoBtn;
    const QPixmap normalImage = Extension::imageWithName(normal);
    avatar->setIcon(QIcon(normalImage));
    avatar->setImage(normalImage, ZemHoverButton::kStateNormal);
    avatar->setImage(Extension::imageWithName(hover), ZemHoverButton::kStateHover);
    avatar->setProperty("_q_huxImageName", normal);
    QPalette palette = ui_->lineView->palette();
    palette.setColor(QPalette::Window, RGB::fromRGB(safe ? 0x40AFFC : 0xFF5C61));
    ui_->lineView->setPalette(palette);
    avatar->setIsAllHover(true);
    if (!avatar->underMouse()) avatar->mouseExited();
    changeBtnUI();
}

void ZemMainLeftBar::setMachineName() {
    auto record = common::AccountModel::currentModel();
    QPointer<ZemMainLeftBar> self(this);
    if (record && !record->username.empty()) {
        const QString name = QString::fromStdString(record->username);
        dispatch::WorkQueue::main()->dispatch([self, name] {
            if (!self) return;
            if (!hux::RavAvizaLoginHelper::sharedInstance().isCheckAndShow()) {
                self->ui_->userNameLb->setText(QString::fromUtf8(kSignedOutName));
                return;
            }
            self->ui_->userNameLb->setText(name);
            hux::HollinProcessListener::sharedInstance().checkQznServerAndLoad();
            self->closeCheckTicketStatus();
        });
        return;
    }
    dispatch::WorkQueue::main()->dispatch([self] {
        if (!self) return;
        self->ui_->userNameLb->setText(QString::fromUtf8(kSignedOutName));
        self->StartCheckLoginStatus();
    });
}

void ZemMainLeftBar::StartCheckLogin() {
    QPointer<ZemMainLeftBar> self(this);
    dispatch::WorkQueue::main()->dispatch([self] {
        if (!self) return;
        self->StartCheckLoginStatus();
        self->setMachineName();
    });
}

void ZemMainLeftBar::refreshUserName() {
    QPointer<ZemMainLeftBar> self(this);
    dispatch::WorkQueue::main()->dispatch([self] {
        if (self) self->setMachineName();
    });
}

void ZemMainLeftBar::closeDetailWindow(ZemDetailWindow* window) {
    ishowDetailWin_ = false;
    AppWindows::stopModalForWindow(window, AppWindows::kModalResponseStop);
    if (window) window->close();
}

bool ZemMainLeftBar::windowShouldClose(QWidget* window) {
    // The window is gone once it closes, so the flag follows it.
    ishowDetailWin_ = false;
    AppWindows::stopModalForWindow(window, AppWindows::kModalResponseStop);
    return true;
}

void ZemMainLeftBar::setHideDetilBtn(bool hide) {
    ui_->detailBtn->setHidden(hide);
}

void ZemMainLeftBar::switchbtnsecond() {
    ui_->allBtn->click();
}

void ZemMainLeftBar::tapUserPhotoBtn() {
    if (detailWindow_) return;
    ishowDetailWin_ = true;
    hux::RavAvizaLoginHelper::sharedInstance().createSoleidAndSave();
    ZemDetailWindow* window = ZemDetailWindow::initialWithNibName(QStringLiteral("ZemDetailWindow"));
    if (!window) {
        ishowDetailWin_ = false;
        return;
    }
    detailWindow_ = window;
    // Centred across the holding window, its bottom edge (WH - 192) / 2 above the holder's.
    const QWidget* holder = this->window();
    const QRect frame = holder ? holder->frameGeometry() : QRect();
    const int x = frame.x() + (frame.width() - ZemDetailWindow::kWidth) / 2;
    const int bottom = frame.y() + frame.height() - (frame.height() - 192) / 2;
    window->setGeometry(x, bottom - ZemDetailWindow::kHeight, ZemDetailWindow::kWidth,
                        ZemDetailWindow::kHeight);
    window->setDelegate(this);
    window->setStartCheckLoginDelegate(this);
    AppWindows::runModalForWindow(window);
    if (detailWindow_ == window) {
        detailWindow_ = nullptr;
        window->close();
        window->deleteLater();
    }
}

std::shared_ptr<dispatch::WorkQueue> ZemMainLeftBar::timerCheckQueue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!timerCheckQueue_) timerCheckQueue_ = dispatch::WorkQueue::create("com.velmora.account.check");
    return timerCheckQueue_;
}

bool ZemMainLeftBar::isCheckingLogin() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return GDCheckLoginTimer_ && !GDCheckLoginTimer_->isCancelled();
}

bool ZemMainLeftBar::isCheckingTicket() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return TicketCheckTimer_ && !TicketCheckTimer_->isCancelled();
}

void ZemMainLeftBar::StartCheckLoginStatus() {
    closeCheckLoginStatus();
    createCheckLoginTimer();
}

void ZemMainLeftBar::closeCheckLoginStatus() {
    std::shared_ptr<dispatch::TimerSource> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timer = std::move(GDCheckLoginTimer_);
    }
    if (timer) timer->cancel();
}

void ZemMainLeftBar::StartCheckTicketStatus() {
    closeCheckTicketStatus();
    createCheckTicketTimer();
}

void ZemMainLeftBar::closeCheckTicketStatus() {
    std::shared_ptr<dispatch::TimerSource> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timer = std::move(TicketCheckTimer_);
    }
    if (timer) timer->cancel();
}

void ZemMainLeftBar::createCheckLoginTimer() {
    QPointer<ZemMainLeftBar> self(this);
    // The handler runs on the poll queue and touches only the session; its completion comes on
    // the main queue, where the bar is looked at.
    auto timer = dispatch::TimerSource::create(timerCheckQueue(), 0ns, kPollInterval, [self] {
        log("[ZemMainLeftBar] RavAviza Check QRLogin State");
        hux::RavAvizaLoginHelper::sharedInstance().CheckQRLoginState(
            [self](hux::Reply reply, hux::Error error) {
                if (error) {
                    log("[ZemDetailWindow] RavAviza Check QRLogin fail msg:" + errorText(error));
                    return;
                }
                const auto ret = reply ? hux::fields::integer(*reply, "ret") : std::nullopt;
                if (ret != 0) {
                    log("[ZemDetailWindow] RavAviza Check QRLogin ret:" + std::to_string(ret.value_or(0)) +
                        " msg:" + replyMessage(reply));
                    return;
                }
                // A reply without a state says nothing about the scan: it neither ends the poll nor
                // spends the nonce.
                const auto read = dataState(reply);
                const int64_t state = read.value_or(0);
                if (read && state != -7 && state != -4 && state != -3 && state != -2) {
                    if (state == 0) {
                        auto stop = [self] {
                            if (self) self->closeCheckLoginStatus();
                        };
                        auto main = dispatch::WorkQueue::main();
                        if (main->isCurrent()) {
                            stop();
                        } else {
                            main->dispatchSync(stop);
                        }
                        hux::RavAvizaLoginHelper::removeSoleID();
                    }
                    postStateOnMain(state);
                }
                log("[ZemDetailWindow] RavAviza Check QRLogin state:" + std::to_string(state) +
                    " msg:" + replyMessage(reply));
            });
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (GDCheckLoginTimer_) GDCheckLoginTimer_->cancel();
        GDCheckLoginTimer_ = timer;
    }
    timer->resume();
}

void ZemMainLeftBar::createCheckTicketTimer() {
    QPointer<ZemMainLeftBar> self(this);
    auto timer = dispatch::TimerSource::create(timerCheckQueue(), 0ns, kPollInterval, [self] {
        if (!hux::RavAvizaLoginHelper::iflogin()) return;
        hux::RavAvizaLoginHelper::sharedInstance().checkTicketStatus(
            [self](hux::Reply reply, hux::Error error) {
                if (error) {
                    log("[ZemDetailWindow] RavAviza Check ticket error:" + errorText(error));
                    return;
                }
                log("[ZemDetailWindow] RavAviza Check ticket response msg:" + replyMessage(reply));
                if (!self) return;
                self->refreshUserName();
                const auto ret = reply ? hux::fields::integer(*reply, "ret") : std::nullopt;
                const auto state = dataState(reply);
                if (ret == 0 && state == 0 && self->ishowDetailWin_) postStateOnMain(0);
            });
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (TicketCheckTimer_) TicketCheckTimer_->cancel();
        TicketCheckTimer_ = timer;
    }
    timer->resume();
}
