#include "ZemUpgradeWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPushButton>

#include "ui_ZemUpgradeWindow.h"

ZemUpgradeWindow::ZemUpgradeWindow(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::ZemUpgradeWindow>()) {
    ui_->setupUi(this);
    setAttribute(Qt::WA_StyledBackground, true);
    connect(ui_->confirmButton, &QPushButton::clicked, this, [this] { pressConfirm(); });
    render(WindowState{});
}

ZemUpgradeWindow::~ZemUpgradeWindow() = default;

void ZemUpgradeWindow::pressConfirm() {
    emit confirmPressed(ui_->confirmButton->text());
}

void ZemUpgradeWindow::render(const WindowState& state) {
    const bool content = state.content == WindowState::Content::Upgrade;
    auto apply = [content](QWidget* w, const WindowControl& c, auto setText) {
        setText(QString::fromStdString(c.text));
        w->setVisible(content && !c.hidden);
    };
    apply(ui_->noNewVersionTipLabel, state.noNewVersionTipLabel,
          [this](const QString& t) { ui_->noNewVersionTipLabel->setText(t); });
    apply(ui_->versionTipLabel, state.versionTipLabel,
          [this](const QString& t) { ui_->versionTipLabel->setText(t); });
    apply(ui_->upgradeProgressTipLabel, state.upgradeProgressTipLabel,
          [this](const QString& t) { ui_->upgradeProgressTipLabel->setText(t); });
    apply(ui_->confirmButton, state.confirmButton,
          [this](const QString& t) { ui_->confirmButton->setText(t); });

    if (state.hasProgressBar && !gradualProgressView_) {
        // The bar's frame: 160 from the left and right, 90 above the bottom, 4 high.
        QRect frame(160, height() - 90 - 4, width() - 320, 4);
        gradualProgressView_ = new VPNLoginProgressView(frame, this);
        if (manualTime_) gradualProgressView_->setManualTime(true);
    }
    if (!state.hasProgressBar && gradualProgressView_) {
        gradualProgressView_->stopAnimation();
        gradualProgressView_->hide();
        delete gradualProgressView_.data();
    }
    if (gradualProgressView_) {
        gradualProgressView_->setProgress(state.progress);
        gradualProgressView_->setVisible(content && !state.progressHidden);
    }
    emit rendered();
}

void ZemUpgradeWindow::showWindow(bool forceFront) {
    show();
    raise();
    if (forceFront) activateWindow();
}

void ZemUpgradeWindow::closeWindow() {
    hide();
}

void ZemUpgradeWindow::showAlertWithText(const QString& text) {
    if (alert_) alert_->deleteLater();
    alert_ = new QMessageBox(this);
    alert_->setWindowTitle("Zem");
    alert_->setText(text);
    alert_->addButton(QCoreApplication::translate("Perrow", "确定"), QMessageBox::AcceptRole);
    alert_->setWindowModality(Qt::WindowModal);
    alert_->setAttribute(Qt::WA_DeleteOnClose);
    alert_->open();
}

void ZemUpgradeWindow::closeEvent(QCloseEvent* event) {
    // The root app decides: it closes the window or answers with an alert.
    event->ignore();
    emit closeRequested();
}

QString ZemUpgradeWindow::noNewVersionTip() const {
    return ui_->noNewVersionTipLabel->text();
}
QString ZemUpgradeWindow::versionTip() const {
    return ui_->versionTipLabel->text();
}
QString ZemUpgradeWindow::progressTip() const {
    return ui_->upgradeProgressTipLabel->text();
}
QString ZemUpgradeWindow::confirmTitle() const {
    return ui_->confirmButton->text();
}
bool ZemUpgradeWindow::noNewVersionTipShown() const {
    return !ui_->noNewVersionTipLabel->isHidden();
}
bool ZemUpgradeWindow::versionTipShown() const {
    return !ui_->versionTipLabel->isHidden();
}
bool ZemUpgradeWindow::progressTipShown() const {
    return !ui_->upgradeProgressTipLabel->isHidden();
}
bool ZemUpgradeWindow::confirmShown() const {
    return !ui_->confirmButton->isHidden();
}
