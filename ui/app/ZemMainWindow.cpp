#include "ZemMainWindow.h"

#include <QCloseEvent>
#include <QVBoxLayout>

#include "platform/archive/Plist.h"
#include "platform/paths/Paths.h"
#include "ui/screens/compliance/ZemMainViewController.h"
#include "ui/screens/main/HuxMianViewCtrl.h"

ZemMainWindow::Flavour ZemMainWindow::flavourFromBundle() {
    auto info = archive::readPlistFile(paths::uiAppBundle() + "/Contents/Info.plist", nullptr, 1u << 20);
    const archive::Value* nib = info ? info->find("NSMainNibFile") : nullptr;
    const std::string* name = nib ? nib->string() : nullptr;
    return name && *name == "ZemMainViewController" ? Flavour::Compliance : Flavour::Hux;
}

ZemMainWindow::ZemMainWindow(Flavour flavour, QWidget* parent) : ZemBaseWindow(parent), flavour_(flavour) {
    loadContent();
}

ZemMainWindow::~ZemMainWindow() = default;

HuxMianViewCtrl* ZemMainWindow::contentViewController() const {
    return content_;
}

void ZemMainWindow::loadContent() {
    if (flavour_ == Flavour::Compliance) {
        contentView_ = new ZemMainViewController(this);
    } else {
        content_ = new HuxMianViewCtrl(this);
        contentView_ = content_.data();
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(contentView_);
    resize(contentView_->size());
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
