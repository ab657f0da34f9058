#include "ZemLoginWindow.h"

#include "ui_ZemLoginWindow.h"

ZemLoginWindow::ZemLoginWindow(QWidget* parent)
    : ZemBaseWindow(parent), ui_(std::make_unique<Ui::ZemLoginWindow>()) {
    ui_->setupUi(this);
    connect(ui_->confirmBtn, &QPushButton::clicked, this, [this] { tapConfirmBtn(ui_->confirmBtn); });
}

ZemLoginWindow::~ZemLoginWindow() = default;

QLineEdit* ZemLoginWindow::userNameTF() const {
    return ui_->userNameTF;
}
QLineEdit* ZemLoginWindow::passwordTF() const {
    return ui_->passwordTF;
}
QPushButton* ZemLoginWindow::confirmBtn() const {
    return ui_->confirmBtn;
}

void ZemLoginWindow::tapConfirmBtn(QObject*) {}
