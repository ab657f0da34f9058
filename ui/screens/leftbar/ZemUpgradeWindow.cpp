#include "ZemUpgradeWindow.h"

#include "ui_ZemUpgradeWindow.h"

ZemUpgradeWindow::ZemUpgradeWindow(QWidget* parent)
    : ZemBaseWindow(parent), ui_(std::make_unique<Ui::ZemUpgradeWindow>()) {
    ui_->setupUi(this);
    connect(ui_->confirmBtn, &QPushButton::clicked, this, [this] { tapConfirmBtn(); });
}

ZemUpgradeWindow::~ZemUpgradeWindow() = default;

QLabel* ZemUpgradeWindow::titleLb() const {
    return ui_->titleLb;
}
QLabel* ZemUpgradeWindow::detailLb() const {
    return ui_->detailLb;
}
QPushButton* ZemUpgradeWindow::confirmBtn() const {
    return ui_->confirmBtn;
}
QProgressBar* ZemUpgradeWindow::progressIndicator() const {
    return ui_->progressIndicator;
}
