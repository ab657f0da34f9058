// CustomButton's states, looks, pointer and click rules.
#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QSignalSpy>
#include <QTest>

#include "tests/support/QtTestApp.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/CustomButton.h"

namespace {

// A button with a distinct title colour, background, border and radius per state.
struct ButtonFixture {
    ButtonFixture() {
        window.resize(200, 80);
        button = new CustomButton(QRect(20, 20, 120, 36), &window);
        const std::uint32_t title[4] = {0x333333, 0x1C9CF7, 0x0066CC, 0xFFFFFF};
        const std::uint32_t background[4] = {0xFFFFFF, 0xEEF6FF, 0xCCE5FF, 0x1C9CF7};
        button->setNormalColor(RGB::fromRGB(title[0]));
        button->setHoverColor(RGB::fromRGB(title[1]));
        button->setHighlightColor(RGB::fromRGB(title[2]));
        button->setSelectedColor(RGB::fromRGB(title[3]));
        button->setBackgroundNormalColor(RGB::fromRGB(background[0]));
        button->setBackgroundHoverColor(RGB::fromRGB(background[1]));
        button->setBackgroundHighlightColor(RGB::fromRGB(background[2]));
        button->setBackgroundSelectedColor(RGB::fromRGB(background[3]));
        button->setCornerNormalRadius(2);
        button->setCornerHoverRadius(6);
        button->setCornerHighlightRadius(8);
        button->setCornerSelectedRadius(18);
        button->setBorderNormalColor(RGB::fromRGB(0xDDDDDD));
        button->setBorderSelectedColor(RGB::fromRGB(0x1C9CF7));
        QFont font;
        font.setPixelSize(13);
        button->setTitle("Sign in", QRect(0, 0, 120, 36), Qt::AlignCenter, font);
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
    void release(QPoint at) {
        QTest::mousePress(button, Qt::LeftButton, {}, at);
        QTest::mouseRelease(button, Qt::LeftButton, {}, at);
    }
    QWidget window;
    CustomButton* button;
};

// Some pixel of the image is close to the colour (antialiased text has few exact ones).
bool drawsColour(const QImage& image, const QColor& colour) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
                    std::abs(c.blue() - colour.blue()) <
                40) {
                return true;
            }
        }
    }
    return false;
}

class CustomButtonTest : public ::testing::Test {
  protected:
    void SetUp() override { qttest::qtApp(); }
};

TEST_F(CustomButtonTest, StartsNormalWithDefaultBordersAndClearColours) {
    CustomButton button;
    EXPECT_EQ(button.buttonState(), CustomButton::kStateNormal);
    EXPECT_FALSE(button.selected());
    EXPECT_FALSE(button.hover());
    EXPECT_TRUE(button.canSelected());
    EXPECT_FALSE(button.hasBorder());
    EXPECT_EQ(button.borderNormalWidth(), 1.0);
    EXPECT_EQ(button.borderHoverWidth(), 1.0);
    EXPECT_EQ(button.borderHighlightWidth(), 1.0);
    EXPECT_EQ(button.borderSelectedWidth(), 2.0);
    for (const QColor& c :
         {button.normalColor(), button.hoverColor(), button.highlightColor(), button.selectedColor(),
          button.backgroundNormalColor(), button.backgroundSelectedColor(), button.borderNormalColor(),
          button.borderSelectedColor()}) {
        EXPECT_EQ(c.alpha(), 0);
    }
    EXPECT_EQ(button.labelView(), nullptr);
    EXPECT_EQ(button.imageView(), nullptr);
    // Without a label, titles and colours are ignored.
    button.setTitle("ignored");
    EXPECT_EQ(button.title(), "");
}

TEST_F(CustomButtonTest, TheSameStateDoesNotReapplyTheLookUnlessForced) {
    ButtonFixture f;
    f.button->setButtonState(CustomButton::kStateHover);
    EXPECT_EQ(f.button->titleColor(), RGB::fromRGB(0x1C9CF7));
    f.button->setHoverColor(RGB::fromRGB(0xFF0000));
    f.button->setButtonState(CustomButton::kStateHover);
    EXPECT_EQ(f.button->titleColor(), RGB::fromRGB(0x1C9CF7));
    f.button->setButtonState(CustomButton::kStateHover, true);
    EXPECT_EQ(f.button->titleColor(), RGB::fromRGB(0xFF0000));
    // Only state 3 counts as selected.
    f.button->setButtonState(CustomButton::kStateSelected);
    EXPECT_TRUE(f.button->selected());
    f.button->setButtonState(CustomButton::kStateHighlight);
    EXPECT_FALSE(f.button->selected());
    // A state out of range shows nothing new.
    const QColor before = f.button->layerBackgroundColor();
    f.button->updateButtonApperaceWithState(7);
    EXPECT_EQ(f.button->layerBackgroundColor(), before);
}

TEST_F(CustomButtonTest, BordersAndRadiiApplyOnlyWithHasBorder) {
    ButtonFixture f;
    struct Case {
        std::uint64_t state;
        double radius, width;
        QColor border;
    };
    const Case withBorder[] = {
        {0, 2, 1.0, RGB::fromRGB(0xDDDDDD)},
        {1, 6, 1.0, QColor(Qt::transparent)},
        {2, 8, 1.0, QColor(Qt::transparent)},
        {3, 18, 2.0, RGB::fromRGB(0x1C9CF7)},
    };
    for (std::uint64_t state = 0; state < 4; ++state) {
        f.button->updateButtonApperaceWithState(state);
        EXPECT_EQ(f.button->layerCornerRadius(), 3.0) << state;
        EXPECT_EQ(f.button->layerBorderWidth(), 0) << state;
        EXPECT_EQ(f.button->layerBorderColor().alpha(), 0) << state;
    }
    f.button->setHasBorder(true);
    for (const Case& c : withBorder) {
        f.button->updateButtonApperaceWithState(c.state);
        EXPECT_EQ(f.button->layerCornerRadius(), c.radius) << c.state;
        EXPECT_EQ(f.button->layerBorderWidth(), c.width) << c.state;
        EXPECT_EQ(f.button->layerBorderColor(), c.border) << c.state;
    }
    f.button->setButtonState(CustomButton::kStateSelected);
    qttest::saveScreenshot(f.window, "CustomButton-selected-with-border");
}

TEST_F(CustomButtonTest, PointerMovesBetweenNormalAndHoverUnlessSelected) {
    ButtonFixture f;
    f.enter();
    EXPECT_TRUE(f.button->hover());
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateHover);
    EXPECT_EQ(f.button->titleColor(), RGB::fromRGB(0x1C9CF7));
    // The title is drawn in that colour, not in the button's text colour.
    EXPECT_TRUE(drawsColour(f.button->grab().toImage(), RGB::fromRGB(0x1C9CF7)));
    qttest::saveScreenshot(f.window, "CustomButton-hover");
    f.leave();
    EXPECT_FALSE(f.button->hover());
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateNormal);
    qttest::saveScreenshot(f.window, "CustomButton-normal");

    f.button->setButtonState(CustomButton::kStateSelected);
    f.enter();
    f.leave();
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateSelected);
}

TEST_F(CustomButtonTest, ClickInsideTogglesSelectionAndSendsTheActionAfterwards) {
    ButtonFixture f;
    QSignalSpy clicked(f.button, &QAbstractButton::clicked);
    f.enter();
    f.release(QPoint(10, 10));
    EXPECT_TRUE(f.button->selected());
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateSelected);
    // The action is queued: it has not run while the release was handled.
    EXPECT_EQ(clicked.count(), 0);
    ASSERT_TRUE(qttest::waitFor([&] { return clicked.count() == 1; }));

    // A second click inside unselects and shows normal, though the pointer is still inside.
    f.release(QPoint(10, 10));
    EXPECT_FALSE(f.button->selected());
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateNormal);
    ASSERT_TRUE(qttest::waitFor([&] { return clicked.count() == 2; }));
}

TEST_F(CustomButtonTest, WithoutSelectionAClickReturnsToHoverAndAReleaseOutsideSendsNothing) {
    ButtonFixture f;
    f.button->setCanSelected(false);
    QSignalSpy clicked(f.button, &QAbstractButton::clicked);
    f.enter();
    f.release(QPoint(10, 10));
    EXPECT_FALSE(f.button->selected());
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateHover);
    ASSERT_TRUE(qttest::waitFor([&] { return clicked.count() == 1; }));

    // Pressed inside, dragged out and released there.
    QTest::mousePress(f.button, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseRelease(f.button, Qt::LeftButton, {}, QPoint(500, 10));
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateNormal);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(CustomButtonTest, ADisabledButtonIgnoresThePointerAndClicksAndGreysItsTitle) {
    ButtonFixture f;
    QSignalSpy clicked(f.button, &QAbstractButton::clicked);
    f.button->setEnabled(false);
    EXPECT_EQ(f.button->titleColor(), f.button->palette().color(QPalette::Disabled, QPalette::ButtonText));
    f.enter();
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateNormal);
    f.release(QPoint(10, 10));
    EXPECT_FALSE(f.button->selected());
    QCoreApplication::processEvents();
    EXPECT_EQ(clicked.count(), 0);
    // Drawing keeps the disabled title.
    qttest::saveScreenshot(f.window, "CustomButton-disabled");
    EXPECT_EQ(f.button->titleColor(), f.button->palette().color(QPalette::Disabled, QPalette::ButtonText));

    f.button->setEnabled(true);
    EXPECT_EQ(f.button->titleColor(), RGB::fromRGB(0x333333));
}

TEST_F(CustomButtonTest, DrawingShowsAStoredHighlightAsNormalWithoutChangingTheState) {
    ButtonFixture f;
    f.button->setButtonState(CustomButton::kStateHighlight);
    EXPECT_EQ(f.button->layerBackgroundColor(), RGB::fromRGB(0xCCE5FF));
    f.window.grab();
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateHighlight);
    EXPECT_EQ(f.button->layerBackgroundColor(), RGB::fromRGB(0xFFFFFF));
}

TEST_F(CustomButtonTest, AnAbsentStateImageLeavesThePreviousOneShown) {
    ButtonFixture f;
    QPixmap normal(16, 16);
    normal.fill(Qt::red);
    QPixmap hover(16, 16);
    hover.fill(Qt::blue);
    f.button->setNormalImage(normal);
    f.button->setHoverImage(hover);
    f.button->updateButtonApperaceWithState(CustomButton::kStateNormal);
    // No image view yet: nothing is shown, the image is still remembered.
    EXPECT_EQ(f.button->defaultImage().cacheKey(), normal.cacheKey());
    f.button->initImageWithFrame(QRect(4, 10, 16, 16));
    EXPECT_EQ(f.button->imageView()->pixmap().cacheKey(), normal.cacheKey());
    f.button->updateButtonApperaceWithState(CustomButton::kStateHover);
    EXPECT_EQ(f.button->imageView()->pixmap().cacheKey(), hover.cacheKey());
    f.button->updateButtonApperaceWithState(CustomButton::kStateSelected);  // no selected image
    EXPECT_EQ(f.button->imageView()->pixmap().cacheKey(), hover.cacheKey());
}

TEST_F(CustomButtonTest, DefaultStateIsHoverAndNotSelected) {
    ButtonFixture f;
    f.button->setButtonState(CustomButton::kStateSelected);
    f.button->setDefaultState();
    EXPECT_TRUE(f.button->hover());
    EXPECT_FALSE(f.button->selected());
    EXPECT_EQ(f.button->buttonState(), CustomButton::kStateHover);
}

}  // namespace
