// The small controls: colours, the selection flag, the text fields' shortcuts and colours, the
// hover label's pop-up, the overlay scroller's fading and the localisation table.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QVBoxLayout>

#include "tests/support/QtTestApp.h"
#include "ui/screens/controls/BaseTextFieldCell.h"
#include "ui/screens/controls/ButtonSelected.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/controls/ZemHoverLabel.h"
#include "ui/screens/controls/ZemScroller.h"
#include "ui/screens/controls/ZemTextField.h"

namespace {

class Controls : public ::testing::Test {
  protected:
    void SetUp() override { qttest::qtApp(); }
};

TEST_F(Controls, ColoursComeFromTheirHexValues) {
    struct Case {
        QColor color;
        int red, green, blue, alpha;
    };
    const Case cases[] = {
        {RGB::fromRGB(0x1C9CF7), 28, 156, 247, 255},    {RGB::fromRGB(0x000000), 0, 0, 0, 255},
        {RGB::fromRGB(0xFFFFFFFF), 255, 255, 255, 255},  // bits above the 24 colour bits are ignored
        {RGB::fromRGBA(0x1C9CF780), 28, 156, 247, 128}, {RGB::fromRed(96, 96, 106), 96, 96, 106, 255},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.color.red(), c.red);
        EXPECT_EQ(c.color.green(), c.green);
        EXPECT_EQ(c.color.blue(), c.blue);
        EXPECT_EQ(c.color.alpha(), c.alpha);
    }
    EXPECT_DOUBLE_EQ(RGB::fromRGB(0x1C9CF7).redF(), 28 / 255.0f);
}

TEST_F(Controls, SelectionFlagIsPerButtonAndReadsFalseUntilSet) {
    QPushButton a;
    QPushButton b;
    EXPECT_FALSE(isSelected::isSelected(&a));
    isSelected::setIsSelected(&a, true);
    EXPECT_TRUE(isSelected::isSelected(&a));
    EXPECT_FALSE(isSelected::isSelected(&b));
    isSelected::setIsSelected(&a, false);
    EXPECT_FALSE(isSelected::isSelected(&a));
    EXPECT_FALSE(isSelected::isSelected(nullptr));
}

// A window with a ZemTextField and a plain field, shown so focus works.
struct FieldWindow {
    FieldWindow() {
        auto* layout = new QVBoxLayout(&window);
        field = new ZemTextField(&window);
        other = new QLineEdit(&window);
        layout->addWidget(field);
        layout->addWidget(other);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    QWidget window;
    ZemTextField* field;
    QLineEdit* other;
};

TEST_F(Controls, ControlKeyEditingGoesToTheFocusedFieldOnlyWithControlAlone) {
    struct Case {
        const char* name;
        Qt::KeyboardModifiers modifiers;
        bool handled;
        QString left;  // the field's text afterwards
        QString clipboard;
    };
    const Case cases[] = {
        {"ctrl-x cuts", Qt::ControlModifier, true, "", "secret"},
        {"ctrl-shift-x to base", Qt::ControlModifier | Qt::ShiftModifier, false, "secret", "before"},
        {"meta-x to base", Qt::MetaModifier, false, "secret", "before"},
        {"plain x to base", Qt::NoModifier, false, "secret", "before"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FieldWindow w;
        w.field->setText("secret");
        w.field->setFocus();
        w.field->selectAll();
        QGuiApplication::clipboard()->setText("before");
        QKeyEvent key(QEvent::KeyPress, Qt::Key_X, c.modifiers, "x");
        EXPECT_EQ(w.field->performKeyEquivalent(&key), c.handled);
        EXPECT_EQ(w.field->text(), c.left);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), c.clipboard);
    }
}

TEST_F(Controls, ControlKeyEditingActsOnTheWindowsFocusWidgetNotTheField) {
    FieldWindow w;
    w.field->setText("field");
    w.other->setText("other");
    w.other->setFocus();
    ASSERT_TRUE(qttest::waitFor([&] { return w.other->hasFocus(); }));
    QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier, "a");
    EXPECT_TRUE(w.field->performKeyEquivalent(&key));
    EXPECT_EQ(w.other->selectedText(), "other");
    EXPECT_EQ(w.field->selectedText(), "");

    // A real key press in the field copies through the same road.
    w.field->setFocus();
    w.field->selectAll();
    QTest::keyClick(w.field, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "field");
}

TEST_F(Controls, TextFieldsTakeTheirColoursAndOnlyANonEmptyPlaceholderIsStyled) {
    QWidget window;
    auto* styled = new ZemTextField(&window);
    styled->setPlaceholderText("User name");
    auto* plain = new ZemTextField(&window);
    const QColor systemPlaceholder = plain->palette().color(QPalette::PlaceholderText);
    auto* grey = new ZemTextColorField(&window);
    auto* secure = new ZemSecureTextField(&window);
    secure->setPlaceholderText("Password");
    auto* border = new ZemSecureBorderField(&window);
    window.ensurePolished();
    for (QWidget* w : window.findChildren<QWidget*>()) w->ensurePolished();

    EXPECT_EQ(styled->palette().color(QPalette::Text), RGB::fromRGB(0x333333));
    EXPECT_EQ(styled->palette().color(QPalette::PlaceholderText), RGB::fromRGB(0x999999));
    EXPECT_EQ(plain->palette().color(QPalette::PlaceholderText), systemPlaceholder);
    EXPECT_EQ(grey->palette().color(QPalette::Text), RGB::fromRGB(0xA9A9A9));
    EXPECT_EQ(secure->palette().color(QPalette::Text), QColor(Qt::black));
    EXPECT_EQ(secure->palette().color(QPalette::PlaceholderText), RGB::fromRGB(0xA9A9A9));
    EXPECT_EQ(secure->echoMode(), QLineEdit::Password);
    EXPECT_EQ(border->echoMode(), QLineEdit::Password);
}

TEST_F(Controls, FocusTellsTheFieldsDelegate) {
    struct Recorder : ZemTextFieldDelegate {
        void notifyToBecomeFirstResponder(ZemTextField* field) override { told = field; }
        ZemTextField* told = nullptr;
    } recorder;
    FieldWindow w;
    w.other->setFocus();
    w.field->setTextfieldDelegate(&recorder);
    w.field->setFocus();
    ASSERT_TRUE(qttest::waitFor([&] { return recorder.told != nullptr; }));
    EXPECT_EQ(recorder.told, w.field);
}

// A parent with a label of a long text, the hover pop-up below it.
struct LabelWindow {
    explicit LabelWindow(double popupWidth) {
        window.resize(420, 240);
        label = new ZemHoverLabel(&window);
        label->setGeometry(20, 20, 120, 20);
        label->setText("A device name far too long for its label, shown whole in the pop-up");
        label->setToolViewWidth(popupWidth);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    QWidget window;
    ZemHoverLabel* label;
};

TEST_F(Controls, HoverLabelPopsUpAsWideAsItsTextBelowItself) {
    LabelWindow w(0);
    QLabel* popup = w.label->toolView();
    ASSERT_NE(popup, nullptr);
    EXPECT_TRUE(popup->isHidden());
    w.label->mouseEntered();
    EXPECT_FALSE(popup->isHidden());
    const int textWidth = QFontMetrics(w.label->font()).horizontalAdvance(w.label->text());
    EXPECT_NEAR(popup->width(), textWidth, 2);
    EXPECT_EQ(popup->y(), w.label->y() + w.label->height());
    EXPECT_EQ(popup->x(), w.label->x());
    EXPECT_EQ(popup->height(), QFontMetrics(w.label->font()).height());
    EXPECT_EQ(w.label->toolViewBgColor(), RGB::fromRGB(0xFAFFE0));
    qttest::saveScreenshot(w.window, "ZemHoverLabel-popup-text-width");
    w.label->mouseExited();
    EXPECT_TRUE(popup->isHidden());
}

TEST_F(Controls, HoverLabelWithAWidthWrapsAndGrowsDownwards) {
    LabelWindow w(270);
    QLabel* popup = w.label->toolView();
    ASSERT_NE(popup, nullptr);
    const int top = popup->y();
    w.label->mouseEntered();
    EXPECT_EQ(popup->width(), 270);
    EXPECT_EQ(popup->y(), top);
    const QFontMetrics metrics(w.label->font());
    // Two or more lines, with the extra 5-point spacing between them.
    EXPECT_GE(popup->height(), 2 * metrics.height() + 5);
    qttest::saveScreenshot(w.window, "ZemHoverLabel-popup-270-wide");

    // A shorter text on the next entry shrinks the pop-up back to one line, same top edge.
    w.label->mouseExited();
    w.label->setText("Short");
    w.label->mouseEntered();
    EXPECT_EQ(popup->y(), top);
    EXPECT_EQ(popup->height(), metrics.height());
}

TEST_F(Controls, HoverPopupTextIsBlackOnADarkDesktop) {
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, Qt::white);
    QApplication::setPalette(dark);
    {
        LabelWindow w(0);
        w.label->mouseEntered();
        // The pop-up's background stays light, so its text must not follow the dark theme.
        EXPECT_EQ(w.label->toolView()->palette().color(QPalette::WindowText), QColor(Qt::black));
        qttest::saveScreenshot(w.window, "ZemHoverLabel-popup-dark-desktop");
    }
    QApplication::setPalette(before);
}

TEST_F(Controls, ScrollerFadesAfterValueChangesAndStaysWhileThePointerIsOver) {
    QScrollArea area;
    auto* scroller = new ZemScroller(Qt::Vertical);
    area.setVerticalScrollBar(scroller);
    auto* content = new QWidget;
    content->resize(200, 2000);
    area.setWidget(content);
    area.resize(220, 300);
    area.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&area));

    EXPECT_EQ(scroller->sizeHint().width(), 15);
    EXPECT_EQ(ZemScroller::scrollerWidthForControlSize(), 15);

    scroller->setFloatValue(0.5);
    EXPECT_EQ(scroller->value(), scroller->maximum() / 2 + (scroller->maximum() % 2));
    EXPECT_EQ(scroller->alphaValue(), 1);
    EXPECT_TRUE(scroller->fadeOutPending());
    // The delay ends in a fade-out.
    scroller->fadeOut();
    EXPECT_EQ(scroller->alphaValue(), 0);
    EXPECT_FALSE(scroller->fadeOutPending());

    // Scrolling the area (a new value) shows it again and re-arms the delay.
    scroller->setValue(10);
    EXPECT_EQ(scroller->alphaValue(), 1);
    EXPECT_TRUE(scroller->fadeOutPending());
    qttest::saveScreenshot(area, "ZemScroller-shown");

    // The pointer coming in cancels the pending fade; leaving fades at once.
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(scroller, &enter);
    EXPECT_FALSE(scroller->fadeOutPending());
    EXPECT_EQ(scroller->alphaValue(), 1);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(scroller, &leave);
    EXPECT_EQ(scroller->alphaValue(), 0);
}

TEST_F(Controls, OnlyTheScrollerItselfIsOverlayCompatible) {
    struct Subclass : ZemScroller {};
    ZemScroller scroller;
    Subclass subclass;
    EXPECT_TRUE(scroller.isCompatibleWithOverlayScrollers());
    EXPECT_FALSE(subclass.isCompatibleWithOverlayScrollers());
}

TEST_F(Controls, CellsCentreTextVerticallyWithoutMovingItSideways) {
    QFont font;
    font.setPixelSize(13);
    const QFontMetricsF metrics(font);
    BaseTextFieldCell cell(font);
    const QRectF frame(10, 5, 200, 40);
    const QRectF adjusted = cell.adjustedFrameToVerticallyCenterText(frame);
    const double inset = std::floor(20 - (metrics.ascent() - metrics.descent()));
    EXPECT_EQ(adjusted.left(), 10);
    EXPECT_EQ(adjusted.width(), 200);
    EXPECT_EQ(adjusted.top(), 5 + inset);
    EXPECT_EQ(adjusted.bottom(), 45 - inset);
    BaseSecureTextFieldCell secure(font);
    EXPECT_EQ(secure.adjustedFrameToVerticallyCenterText(frame), adjusted);
}

TEST_F(Controls, LocalisationTableReadsStringsFilesAndFallsBackToTheKey) {
    const QHash<QString, QString> parsed = Localizable::parseStrings(
        "/* comment */\n\"Confirm\" = \"OK\";\n// line comment\n\"Quote\" = \"say \\\"hi\\\"\\n\";\n");
    EXPECT_EQ(parsed.value("Confirm"), "OK");
    EXPECT_EQ(parsed.value("Quote"), "say \"hi\"\n");
    EXPECT_EQ(Localizable::localizedString("Cancel"), "Cancel");
    EXPECT_EQ(Localizable::localizedString("Confirm"), "OK");
    EXPECT_EQ(Localizable::localizedString("NoSuchKey"), "NoSuchKey");
    // A library's own strings file among the resources joins the table.
    EXPECT_EQ(Localizable::localizedString("TestOnlyKey"), "From a library's table");
    Localizable::addStrings({{"NoSuchKey", "Now there is"}});
    EXPECT_EQ(Localizable::localizedString("NoSuchKey"), "Now there is");
}

}  // namespace
