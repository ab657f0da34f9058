#include "ZemBaseWindow.h"

#include <syslog.h>

#include <QMouseEvent>
#include <QWindow>

ZemBaseWindow::ZemBaseWindow(QWidget* parent) : QWidget(parent, Qt::Window) {}

ZemBaseWindow::~ZemBaseWindow() {
    const QByteArray name = metaObject()->className();
    ::syslog(LOG_NOTICE, "%s [Line %d]  ====== %s dealloc =========== ", "-[ZemBaseWindow dealloc]", 57,
             name.constData());
}

void ZemBaseWindow::setVisible(bool visible) {
    // Before the first show, so the window flags are in place when the native window is made.
    if (visible && !awoken_) {
        awoken_ = true;
        awakeFromNib();
    }
    QWidget::setVisible(visible);
}

void ZemBaseWindow::awakeFromNib() {
    setAttribute(Qt::WA_StyledBackground, true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    setAutoFillBackground(true);
    _handleWindowBar();
    handleTitleView();
}

void ZemBaseWindow::_handleWindowBar() {
    setWindowTitle(QString());
    // Exactly these buttons: a plain window would get Qt's default minimise and maximise ones.
    setWindowFlags((windowFlags() & Qt::WindowStaysOnTopHint) | Qt::Window | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
}

void ZemBaseWindow::handleTitleView() {
    setWindowFlag(Qt::WindowMinimizeButtonHint, false);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
}

void ZemBaseWindow::mousePressEvent(QMouseEvent* event) {
    // A press on the background (no child took it) moves the window.
    if (event->button() == Qt::LeftButton && windowHandle()) {
        windowHandle()->startSystemMove();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}
