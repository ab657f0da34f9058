// Small pieces the domain-join app's windows share: work on the main queue guarded by the
// window's life, the label colours, the busy indicator, and placing a child window over its parent.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>
#include <chrono>
#include <functional>
#include <string>

namespace ducene {

// Runs fn on the main queue, after delay when given, unless the window has gone meanwhile. The
// guard is made on the main thread; a helper's reply may hand a copy of it in from any thread
// and must touch nothing else of the window there.
using WindowGuard = QPointer<QWidget>;
void onMain(const WindowGuard& guard, std::function<void()> fn);
void onMainAfter(const WindowGuard& guard, std::chrono::milliseconds delay, std::function<void()> fn);

inline const QColor kBlack(0x00, 0x00, 0x00);
inline const QColor kSystemGreen(0x28, 0xcd, 0x41);
inline const QColor kSystemBlue(0x00, 0x7a, 0xff);

void setLabel(QLabel* label, const std::string& text, const QColor& color = kBlack);
void startProgress(QProgressBar* progress);
void stopProgress(QProgressBar* progress);

// Centres window over parent's frame, keeps it above the parent and brings it to the front.
void showAtWindow(QWidget* window, QWidget* parent);

// Window flags of the app's windows: a title and a close button, no minimise or zoom button.
Qt::WindowFlags closeOnlyWindowFlags();

// Writes a line to the helper's log.
void appLog(const std::string& text, unsigned type);

}  // namespace ducene
