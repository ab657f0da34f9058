// The message box and the view-controller base's box helpers, run in real modal sessions.
#include <gtest/gtest.h>

#include <QTimer>

#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/CustomMessageBox.h"
#include "ui/screens/base/CustomViewControllerBase.h"
#include "ui/screens/controls/tests/HuxTestApp.h"

namespace {

TEST(MessageBox, ErrorBoxShowsOneButtonThatAnswersOne) {
    huxtest::qtApp();
    CustomViewControllerBase screen;
    QWidget* seen = nullptr;
    bool firstShown = true;
    bool secondShown = false;
    QTimer::singleShot(0, [&] {
        seen = AppWindows::modalWindow();
        auto* first = seen ? seen->findChild<CustomButton*>("firstButton") : nullptr;
        auto* second = seen ? seen->findChild<CustomButton*>("secondButton") : nullptr;
        firstShown = first && !first->isHidden();
        secondShown = second && !second->isHidden();
        if (second) second->click();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { AppWindows::abortModal(); });
    guard.start(10000);
    screen.showErrorMessageBoxWithTitle("Title", "Message");
    EXPECT_NE(seen, nullptr);
    EXPECT_FALSE(firstShown);
    EXPECT_TRUE(secondShown);
}

}  // namespace
