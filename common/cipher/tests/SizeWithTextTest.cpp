#include <gtest/gtest.h>
#include <stdlib.h>

#include <QFontMetricsF>
#include <QGuiApplication>
#include <limits>
#include <memory>

#include "common/cipher/StringExtensionSize.h"

namespace {

class common_cipher_SizeWithText : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "common_cipher_ui_tests";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    static void TearDownTestSuite() { app.reset(); }

    static inline std::unique_ptr<QGuiApplication> app;
    QFont font{QStringLiteral("DejaVu Sans"), 13};
};

TEST_F(common_cipher_SizeWithText, ShortTextIsOneLineOfItsNaturalWidth) {
    const QFontMetricsF metrics(font);
    const QSizeF size = Extension::sizeWithText(QStringLiteral("Antivirus"), font, QSizeF(290, 1e9));
    EXPECT_NEAR(size.width(), metrics.horizontalAdvance(QStringLiteral("Antivirus")), 1.0);
    EXPECT_NEAR(size.height(), metrics.height(), 2.0);
}

TEST_F(common_cipher_SizeWithText, LongTextWrapsWithinTheMaximumWidth) {
    const QString text = QStringLiteral(
        "Disk encryption, firewall, patch manager, remote desktop, asset report, "
        "software store and device control");
    const QFontMetricsF metrics(font);
    const qreal unlimited = std::numeric_limits<double>::max();
    const QSizeF size = Extension::sizeWithText(text, font, QSizeF(290, unlimited));
    EXPECT_LE(size.width(), 290);
    EXPECT_GT(size.width(), 200);
    EXPECT_GE(size.height(), 2 * metrics.height() - 1);

    // An unbreakable word wider than the line is broken rather than allowed to overflow.
    const QSizeF word = Extension::sizeWithText(QString(200, QChar('W')), font, QSizeF(100, unlimited));
    EXPECT_LE(word.width(), 100);
    EXPECT_GT(word.height(), 5 * metrics.height());

    // Line breaks in the text start new lines; the height is capped by the maximum.
    const QSizeF three = Extension::sizeWithText(QStringLiteral("a\nb\r\nc"), font, QSizeF(290, unlimited));
    EXPECT_NEAR(three.height(), 3 * metrics.height(), 6.0);
    EXPECT_EQ(Extension::sizeWithText(text, font, QSizeF(290, 10)).height(), 10);
}

}  // namespace
