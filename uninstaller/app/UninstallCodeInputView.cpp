#include "UninstallCodeInputView.h"

#include <QLineEdit>
#include <QPushButton>

#include "ui_UninstallCodeInputView.h"

namespace quillet {

UninstallCodeInputView::UninstallCodeInputView(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint),
      ui_(std::make_unique<Ui::UninstallCodeInputView>()) {
    ui_->setupUi(this);
    // No title bar: it can be neither miniaturised, zoomed nor moved.
    connect(ui_->confirmButton, &QPushButton::clicked, this, [this] { confirmButtonAction(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { cancelButtonAction(); });
}

UninstallCodeInputView::~UninstallCodeInputView() = default;

QLineEdit* UninstallCodeInputView::codeTextField() const {
    return ui_->codeTextField;
}

void UninstallCodeInputView::showAtwindow(QWidget* window, const QString& password,
                                          std::function<void(bool)> completion) {
    checkCompletion = std::move(completion);
    uninstallPassword_ = password;
    if (window) {
        if (parentWidget() != window) setParent(window, windowFlags());
        const QRect parent = window->frameGeometry();
        move(parent.x() + (parent.width() - width()) / 2, parent.y() + (parent.height() - height()) / 2);
    }
    show();
    raise();
    activateWindow();
}

void UninstallCodeInputView::confirmButtonAction() {
    const QString text = ui_->codeTextField->text();
    if (text.isEmpty()) {
        ui_->codeTextField->setPlaceholderText(QStringLiteral("卸载码不能为空"));
        return;
    }
    if (text == uninstallPassword_) {
        close();
        if (checkCompletion) checkCompletion(true);
        return;
    }
    ui_->codeTextField->clear();
    ui_->codeTextField->setPlaceholderText(QStringLiteral("卸载码输入错误"));
}

void UninstallCodeInputView::cancelButtonAction() {
    close();
}

}  // namespace quillet
