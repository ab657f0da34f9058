// The message box and the view-controller base's box helpers, run in real modal sessions.
#include <gtest/gtest.h>

#include <QTest>

#include "ModalTestSupport.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/CustomMessageBox.h"
#include "ui/screens/base/CustomViewControllerBase.h"
#include "ui/screens/controls/Localizable.h"
#include "tests/support/QtTestApp.h"

namespace {

CustomButton* button(QWidget* window, const char* name) {
    return window ? window->findChild<CustomButton*>(name) : nullptr;
}

// Presses a button the way a user does: pointer in, press, release.
void press(CustomButton* b) {
    ASSERT_NE(b, nullptr);
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(b, &enter);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(5, 5));
}

class MessageBox : public ::testing::Test {
  protected:
    void SetUp() override { qttest::qtApp(); }
};

TEST_F(MessageBox, ButtonsAnswerZeroOrOneAndThreeOrFourWithTheCheckBoxTicked) {
    struct Case {
        const char* name;
        bool withCheckBox;
        bool tick;
        const char* pressed;
        long code;
    };
    const Case cases[] = {
        {"first", false, false, "firstButton", 0},
        {"second", false, false, "secondButton", 1},
        {"first ticked", true, true, "firstButton", 3},
        {"second ticked", true, true, "secondButton", 4},
        {"first unticked", true, false, "firstButton", 0},
        {"second unticked", true, false, "secondButton", 1},
        // A hidden check box counts as off, whatever its state.
        {"hidden but ticked", false, true, "secondButton", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CustomMessageBox box;
        if (c.withCheckBox) {
            box.setTitle("Sign out", "Sign out now?", 1, "Do not ask again", "Confirm", "Cancel");
        } else {
            box.setTitle("Sign out", "Sign out now?", 1, "Confirm", "Cancel");
        }
        box.checkBox()->setChecked(c.tick);
        EXPECT_EQ(box.checkBox()->isHidden(), !c.withCheckBox);
        qttest::WhenModal act([&](QWidget* window) { press(button(window, c.pressed)); });
        EXPECT_EQ(AppWindows::runModalForWindow(box.window()), c.code);
        EXPECT_EQ(act.seen, box.window());
        // The box closes itself.
        EXPECT_FALSE(box.window()->isVisible());
    }
}

TEST_F(MessageBox, ErrorBoxShowsOnlyItsSecondButtonWhichStopsWithOne) {
    CustomMessageBox box;
    box.setTitle("Login failed", "The server did not answer.", 2, "",
                 Localizable::localizedString("Confirm"));
    EXPECT_TRUE(box.firstButton()->isHidden());
    EXPECT_FALSE(box.secondButton()->isHidden());
    EXPECT_EQ(box.secondButton()->title(), Localizable::localizedString("Confirm"));
    EXPECT_EQ(box.titleLabel()->text(), "Login failed");
    EXPECT_EQ(box.messageLabel()->text(), "The server did not answer.");
    qttest::WhenModal act([](QWidget* window) {
        qttest::saveScreenshot(*window, "CustomMessageBox-error");
        press(button(window, "secondButton"));
    });
    EXPECT_EQ(AppWindows::runModalForWindow(box.window()), 1);
}

TEST_F(MessageBox, EachStyleShowsItsIcon) {
    const QPixmap ok(":/hux/images/msg_box_ok.png");
    const QPixmap info(":/hux/images/msg_box_info.png");
    const QPixmap warning(":/hux/images/msg_box_warnning.png");
    ASSERT_FALSE(ok.isNull());
    ASSERT_FALSE(info.isNull());
    ASSERT_FALSE(warning.isNull());
    struct Case {
        long style;
        QImage expected;
    };
    const Case cases[] = {
        {0, ok.toImage()}, {1, info.toImage()}, {2, warning.toImage()}, {3, QImage()}, {-1, QImage()}};
    CustomMessageBox box;
    for (const Case& c : cases) {
        box.setTitle("t", "m", c.style, "", "OK");
        EXPECT_EQ(box.imageView()->pixmap().toImage(), c.expected) << c.style;
    }
}

TEST_F(MessageBox, CheckBoxTitleIsGreyUnlessAlreadyLight) {
    CustomMessageBox box;
    box.setTitle("t", "m", 1, "Remember", "A", "B");
    EXPECT_EQ(box.checkBox()->text(), "Remember");
    EXPECT_EQ(box.checkBox()->palette().color(QPalette::WindowText), QColor(96, 96, 106));

    CustomMessageBox light;
    light.window();
    QPalette palette = light.checkBox()->palette();
    palette.setColor(QPalette::WindowText, QColor(244, 244, 244));
    light.checkBox()->setPalette(palette);
    light.setTitle("t", "m", 1, "Remember", "A", "B");
    EXPECT_EQ(light.checkBox()->palette().color(QPalette::WindowText), QColor(244, 244, 244));
}

TEST_F(MessageBox, ClosingTheBoxWindowEndsItsSessionWithoutAnswer) {
    CustomMessageBox box;
    box.setTitle("t", "m", 1, "A", "B");
    qttest::WhenModal act([](QWidget* window) { window->close(); });
    EXPECT_EQ(AppWindows::runModalForWindow(box.window()), AppWindows::kModalResponseAbort);
}

TEST_F(MessageBox, ABoxWithoutASessionStillReportsItsButton) {
    CustomMessageBox box;
    box.setTitle("t", "m", 0, "", "OK");
    long reported = -1;
    QObject::connect(&box, &CustomMessageBox::buttonClicked, [&](long code) { reported = code; });
    box.showWindow();
    press(box.secondButton());
    ASSERT_TRUE(qttest::waitFor([&] { return reported == 1; }));
    EXPECT_FALSE(box.window()->isVisible());
}

TEST_F(MessageBox, ConfirmCancelHelpersReturnTheCodeOfTheButtonPressed) {
    QWidget main;
    main.setGeometry(100, 100, 800, 600);
    main.show();
    AppWindows::setMainWindow(&main);
    CustomViewControllerBase screen;

    QString firstTitle;
    QString secondTitle;
    QRect boxFrame;
    QWidget* boxParent = nullptr;
    qttest::WhenModal cancel([&](QWidget* window) {
        boxFrame = window->frameGeometry();
        boxParent = window->parentWidget();
        firstTitle = button(window, "firstButton")->title();
        secondTitle = button(window, "secondButton")->title();
        press(button(window, "secondButton"));
    });
    EXPECT_EQ(screen.showConfirmCancelMessageBoxWithTitle("Quit", "Quit Hux?"), 1);
    EXPECT_EQ(firstTitle, Localizable::localizedString("Confirm"));
    EXPECT_EQ(secondTitle, Localizable::localizedString("Cancel"));
    // The box sat centred on the main window, as its child window, while it ran.
    ASSERT_NE(cancel.seen, nullptr);
    EXPECT_LE((boxFrame.center() - main.frameGeometry().center()).manhattanLength(), 2)
        << boxFrame.x() << "," << boxFrame.y() << " " << boxFrame.width() << "x" << boxFrame.height()
        << " in " << main.frameGeometry().x() << "," << main.frameGeometry().y();
    EXPECT_EQ(boxParent, &main);

    qttest::WhenModal tickAndConfirm([&](QWidget* window) {
        window->findChild<QCheckBox*>("checkBox")->setChecked(true);
        qttest::saveScreenshot(*window, "CustomMessageBox-confirm-with-check-box");
        press(button(window, "firstButton"));
    });
    EXPECT_EQ(screen.showConfirmCancelMessageBoxWithTitle("Quit", "Quit Hux?", "Do not ask again"), 3);

    qttest::WhenModal ok([&](QWidget* window) { press(button(window, "secondButton")); });
    screen.showOKMessageBoxWithTitle("Saved", "The server address was saved.");
    EXPECT_NE(ok.seen, nullptr);
    AppWindows::setMainWindow(nullptr);
}

}  // namespace
