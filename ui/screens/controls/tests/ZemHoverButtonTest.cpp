// ZemHoverButton's stored looks, its pointer rules and its background image view.
#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QTest>

#include "tests/support/QtTestApp.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/ZemHoverButton.h"

namespace {

QPixmap filled(QColor color) {
    QPixmap image(24, 24);
    image.fill(color);
    return image;
}

struct HoverFixture {
    HoverFixture() {
        window.resize(200, 100);
        button = new ZemHoverButton(&window);
        button->setGeometry(40, 30, 100, 32);
        button->setText("Repair");
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    void enter() {
        QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(button, &event);
    }
    void leave() {
        QEvent event(QEvent::Leave);
        QCoreApplication::sendEvent(button, &event);
    }
    QWidget window;
    ZemHoverButton* button;
};

class ZemHoverButtonTest : public ::testing::Test {
  protected:
    void SetUp() override { qttest::qtApp(); }
};

TEST_F(ZemHoverButtonTest, SettersStoreOnlyStatesOneAndTwo) {
    ZemHoverButton button;
    const QPixmap a = filled(Qt::red);
    const QPixmap b = filled(Qt::blue);
    button.setImage(a, 1);
    button.setImage(b, 2);
    button.setImage(filled(Qt::green), 3);
    button.setImage(filled(Qt::green), 0);
    EXPECT_EQ(button.image_normal().cacheKey(), a.cacheKey());
    EXPECT_EQ(button.image_hight().cacheKey(), b.cacheKey());
    button.setTitleColor(Qt::red, 3);
    button.setBackgroundColor(Qt::red, -1);
    button.setBgImage(a, 3);
    EXPECT_FALSE(button.titleColor_normal().isValid());
    EXPECT_FALSE(button.titleColor_hight().isValid());
    EXPECT_FALSE(button.bgColor_normal().isValid());
    EXPECT_TRUE(button.bgImage_normal().isNull());
    // Storing does not show.
    EXPECT_TRUE(button.shownImage().isNull());
}

TEST_F(ZemHoverButtonTest, AllHoverSwapsEveryPresentValueAndLeavingPutsTheNormalOnesBack) {
    HoverFixture f;
    const QPixmap normal = filled(RGB::fromRGB(0x999999));
    const QPixmap hover = filled(RGB::fromRGB(0x1C9CF7));
    const QPixmap bgHover = filled(RGB::fromRGB(0xEEF6FF));
    f.button->setIsAllHover(true);
    f.button->setImage(normal, 1);
    f.button->setImage(hover, 2);
    f.button->setBgImage(bgHover, 2);
    f.button->setTitleColor(RGB::fromRGB(0x333333), 1);
    f.button->setTitleColor(RGB::fromRGB(0x1C9CF7), 2);
    f.button->setBackgroundColor(RGB::fromRGB(0xF5F5F5), 2);
    f.enter();
    EXPECT_EQ(f.button->shownImage().cacheKey(), hover.cacheKey());
    EXPECT_EQ(f.button->shownTitleColor(), RGB::fromRGB(0x1C9CF7));
    EXPECT_EQ(f.button->shownBackgroundColor(), RGB::fromRGB(0xF5F5F5));
    ASSERT_NE(f.button->cell()->bgImageView(), nullptr);
    EXPECT_EQ(f.button->cell()->bgImageView()->pixmap().cacheKey(), bgHover.cacheKey());
    qttest::saveScreenshot(f.window, "ZemHoverButton-hover");
    f.leave();
    EXPECT_EQ(f.button->shownImage().cacheKey(), normal.cacheKey());
    EXPECT_EQ(f.button->shownTitleColor(), RGB::fromRGB(0x333333));
    // No normal background colour or image: the hover ones stay.
    EXPECT_EQ(f.button->shownBackgroundColor(), RGB::fromRGB(0xF5F5F5));
    EXPECT_EQ(f.button->cell()->bgImageView()->pixmap().cacheKey(), bgHover.cacheKey());
    qttest::saveScreenshot(f.window, "ZemHoverButton-normal");
}

TEST_F(ZemHoverButtonTest, TitleHoverChangesOnlyTheTitleAndNoFlagChangesNothingButTheNormalImage) {
    HoverFixture f;
    const QPixmap normal = filled(Qt::gray);
    const QPixmap hover = filled(Qt::blue);
    f.button->setImage(normal, 1);
    f.button->setImage(hover, 2);
    f.button->setTitleColor(Qt::red, 2);

    f.enter();
    EXPECT_TRUE(f.button->shownImage().isNull());
    EXPECT_FALSE(f.button->shownTitleColor().isValid());
    f.leave();
    EXPECT_EQ(f.button->shownImage().cacheKey(), normal.cacheKey());

    f.button->setIsTitleHover(true);
    f.button->setIsAllHover(true);  // title hover wins
    f.enter();
    EXPECT_EQ(f.button->shownTitleColor(), QColor(Qt::red));
    EXPECT_EQ(f.button->shownImage().cacheKey(), normal.cacheKey());
}

TEST_F(ZemHoverButtonTest, BackgroundViewLiesUnderTheButtonAndHidesWithIt) {
    HoverFixture f;
    f.button->initialDefaultBgImageView(filled(Qt::yellow));
    QLabel* bg = f.button->cell()->bgImageView();
    ASSERT_NE(bg, nullptr);
    EXPECT_EQ(bg->parentWidget(), &f.window);
    EXPECT_EQ(bg->geometry(), f.button->geometry());
    const QObjectList& siblings = f.window.children();
    EXPECT_LT(siblings.indexOf(bg), siblings.indexOf(f.button));
    EXPECT_FALSE(bg->isHidden());

    f.button->setGeometry(10, 10, 80, 20);
    EXPECT_EQ(bg->geometry(), QRect(10, 10, 80, 20));

    f.button->hide();
    EXPECT_TRUE(bg->isHidden());
    f.button->show();
    EXPECT_FALSE(bg->isHidden());
}

TEST_F(ZemHoverButtonTest, AButtonWithoutItsCellSkipsTheBackgroundSteps) {
    HoverFixture f;
    f.button->setCell(nullptr);
    f.button->setIsAllHover(true);
    f.button->setBgImage(filled(Qt::blue), 2);
    f.enter();
    f.button->hide();
    f.button->initialDefaultBgImageView(filled(Qt::red));
    EXPECT_EQ(f.button->cell(), nullptr);
}

}  // namespace
