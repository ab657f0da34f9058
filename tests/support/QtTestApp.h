// What the Qt tests share: one offscreen QApplication, screenshots under
// <build>/ui-screenshots, and a bounded wait that keeps Qt's events running.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace qttest {

inline QApplication& qtApp() {
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "qt_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

inline void saveScreenshot(QWidget& widget, const std::string& name) {
    const std::filesystem::path dir = std::filesystem::path(RAVAVIZA_TEST_BINARY_DIR) / "ui-screenshots";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(widget.grab().save(QString::fromStdString((dir / (name + ".png")).string())));
}

// Runs Qt's events until the condition holds or the limit passes; true when it held.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // Outside an event loop deleteLater() waits for this.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

}  // namespace qttest
