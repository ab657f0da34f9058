#include "WindowSupport.h"

#include "DuceneHelperManager.h"
#include "platform/dispatch/WorkQueue.h"

namespace ducene {

void onMain(const WindowGuard& guard, std::function<void()> fn) {
    dispatch::WorkQueue::main()->dispatch([guard, fn = std::move(fn)] {
        if (guard) fn();
    });
}

void onMainAfter(const WindowGuard& guard, std::chrono::milliseconds delay, std::function<void()> fn) {
    dispatch::WorkQueue::main()->dispatchAfter(delay, [guard, fn = std::move(fn)] {
        if (guard) fn();
    });
}

void setLabel(QLabel* label, const std::string& text, const QColor& color) {
    label->setText(QString::fromStdString(text));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

void startProgress(QProgressBar* progress) {
    progress->setRange(0, 0);
    progress->show();
}

void stopProgress(QProgressBar* progress) {
    progress->setRange(0, 1);
    progress->hide();
}

void showAtWindow(QWidget* window, QWidget* parent) {
    if (parent != nullptr) {
        const QRect frame = parent->frameGeometry();
        window->move(frame.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    window->show();
    window->raise();
    window->activateWindow();
}

Qt::WindowFlags closeOnlyWindowFlags() {
    return Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
}

void appLog(const std::string& text, unsigned type) {
    DuceneHelperManager::sharedInstance().helper().writeLog(text, type);
}

}  // namespace ducene
