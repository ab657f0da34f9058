#include "ZemMainWindow.h"

#include <QCloseEvent>
#include <QVBoxLayout>

#include "ui/screens/main/HuxMianViewCtrl.h"

ZemMainWindow::ZemMainWindow(QWidget* parent) : ZemBaseWindow(parent) {
    loadContent();
}

ZemMainWindow::~ZemMainWindow() = default;

HuxMianViewCtrl* ZemMainWindow::contentViewController() const {
    return content_;
}

void ZemMainWindow::loadContent() {
    content_ = new HuxMianViewCtrl(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content_);
    resize(content_->size());
}

void ZemMainWindow::handleTitleView() {
    // Minimise stays, zoom goes.
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
}

void ZemMainWindow::closeEvent(QCloseEvent* event) {
    if (!windowShouldClose()) {
        event->ignore();
        return;
    }
    emit windowWillClose();
    ZemBaseWindow::closeEvent(event);
}
