// The navigation cell and the login-mode switch.
#include <QTest>

#include "LeftBarTestSupport.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/leftbar/ZemLeftBarLitstCell.h"
#include "ui/screens/leftbar/ZemLoginView.h"

using leftbartest::LeftBarTest;
namespace fs = std::filesystem;

namespace {

QColor textColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

QPixmap solid(QColor colour) {
    QPixmap pixmap(14, 14);
    pixmap.fill(colour);
    return pixmap;
}

TEST(LeftBarCell, ClickHighlightsANormalCellOnceAndLaysItsViewsOut) {
    leftbartest::startQt();
    QWidget holder;
    holder.resize(180, 44);
    ZemLeftBarLitstCell cell(QRect(0, 0, 180, 44), &holder);
    EXPECT_EQ(cell.iconView()->geometry(), QRect(180 / 2 - 39, 15, 14, 14));
    EXPECT_EQ(cell.titleLabel()->geometry(), QRect(80, 13, 80, 18));
    EXPECT_EQ(cell.titleLabel()->font().pixelSize(), 13);
    EXPECT_EQ(textColor(cell.titleLabel()), QColor::fromRgbF(0.9f, 0.9f, 0.9f, 0.8f));

    const QPixmap normal = solid(Qt::gray);
    const QPixmap highlight = solid(Qt::white);
    cell.setNormalImage(normal);
    cell.setHighlightImage(highlight);
    EXPECT_EQ(cell.iconView()->pixmap().cacheKey(), normal.cacheKey()) << "a normal image shows at once";
    cell.titleLabel()->setText(QStringLiteral("办公工具"));

    // A cell without a completion is not wired: clicks do nothing.
    QTest::mouseClick(&cell, Qt::LeftButton);
    EXPECT_EQ(cell.status(), 0u);

    int calls = 0;
    cell.setCompletion([&](ZemLeftBarLitstCell* sender) {
        EXPECT_EQ(sender, &cell);
        ++calls;
    });
    holder.show();
    QTest::mouseClick(&cell, Qt::LeftButton);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(cell.status(), 1u);
    EXPECT_EQ(textColor(cell.titleLabel()), QColor(Qt::white));
    EXPECT_EQ(cell.iconView()->pixmap().cacheKey(), highlight.cacheKey());
    EXPECT_EQ(cell.layerBackgroundColor(), QColor::fromRgbF(0, 115.0f / 255.0f, 206.0f / 255.0f, 1));
    qttest::saveScreenshot(holder, "ZemLeftBarLitstCell-highlighted");

    // A highlighted cell ignores clicks.
    QTest::mouseClick(&cell, Qt::LeftButton);
    EXPECT_EQ(calls, 1);

    // Setting the status it already has changes nothing, even what was changed behind its back.
    const QPixmap other = solid(Qt::red);
    cell.iconView()->setPixmap(other);
    cell.setStatus(1);
    EXPECT_EQ(cell.iconView()->pixmap().cacheKey(), other.cacheKey());

    // Colours and images apply at once only for the current status.
    cell.setNormalColor(Qt::green);
    EXPECT_EQ(textColor(cell.titleLabel()), QColor(Qt::white));
    cell.setHighlightColor(Qt::yellow);
    EXPECT_EQ(textColor(cell.titleLabel()), QColor(Qt::yellow));
    cell.setStatus(0);
    EXPECT_EQ(textColor(cell.titleLabel()), QColor(Qt::green));
    EXPECT_EQ(cell.iconView()->pixmap().cacheKey(), normal.cacheKey());
    EXPECT_EQ(cell.layerBackgroundColor().alpha(), 0);
}

class LoginModes : public LeftBarTest {};

TEST_F(LoginModes, ButtonsFollowTheMachinesLoginModes) {
    struct Case {
        const char* name;
        bool file;
        std::optional<archive::Value> qr, pc;
        bool qrButton, acButton;
        bool qrSelected;
        int64_t slectBtn;
    };
    const Case cases[] = {
        {"no file", false, {}, {}, true, true, true, 0},
        {"QR only", true, 1, 0, true, false, true, 1},
        {"account only", true, 0, 1, false, true, false, 1},
        {"account only as text", true, "0", "1", false, true, false, 1},
        {"both", true, 1, 1, true, true, true, 0},
        {"neither", true, 0, 0, true, true, true, 0},
        {"QR only, no account key", true, 1, std::nullopt, true, true, true, 0},
    };
    const QColor blue = RGB::fromRGB(0x1C9CF7);
    const QColor grey = RGB::fromRGB(0x555555);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(paths::machineSupportFolder() + "/userlogin.archive");
        if (c.file) writeLoginModes(c.qr, c.pc);
        ZemLoginView view;
        view.resize(200, 36);
        view.awakeFromNib();
        ASSERT_EQ(view.qr_btn() != nullptr, c.qrButton);
        ASSERT_EQ(view.ac_btn() != nullptr, c.acButton);
        EXPECT_EQ(view.isSelectQRbtn(), c.qrSelected);
        EXPECT_EQ(view.isSelectACbtn(), !c.qrSelected);
        EXPECT_EQ(view.slectBtn(), c.slectBtn);
        if (c.qrButton && c.acButton) {
            EXPECT_EQ(view.qr_btn()->geometry(), QRect(32, 2, 58, 32));
            EXPECT_EQ(view.ac_btn()->geometry(), QRect(110, 2, 58, 32));
            ASSERT_TRUE(view.separator());
            EXPECT_EQ(view.separator()->text(), QStringLiteral("/"));
            EXPECT_EQ(view.separator()->geometry(), QRect(95, 9, 10, 17));
        } else {
            QPushButton* only = c.qrButton ? view.qr_btn() : view.ac_btn();
            EXPECT_EQ(only->geometry(), QRect(71, 2, 58, 32));
            EXPECT_FALSE(view.separator());
        }
        if (view.qr_btn()) {
            EXPECT_EQ(view.qr_btn()->text(), QStringLiteral("扫码登录"));
            EXPECT_EQ(ZemLoginView::tagOf(view.qr_btn()), 0);
            EXPECT_EQ(ZemLoginView::titleColorOf(view.qr_btn()), c.qrSelected ? blue : grey);
        }
        if (view.ac_btn()) {
            EXPECT_EQ(view.ac_btn()->text(), QStringLiteral("账号登录"));
            EXPECT_EQ(ZemLoginView::tagOf(view.ac_btn()), 1);
            EXPECT_EQ(ZemLoginView::titleColorOf(view.ac_btn()), c.qrSelected ? grey : blue);
        }
        if (std::string(c.name) == "no file") qttest::saveScreenshot(view, "ZemLoginView-both");
    }
}

TEST_F(LoginModes, ClicksSwitchTheModeAndReportTheButton) {
    ZemLoginView view;
    view.resize(200, 36);
    view.awakeFromNib();
    std::vector<long> reported;
    std::vector<int64_t> slectDuringCall;
    view.setCompletion([&](QPushButton* button) {
        reported.push_back(ZemLoginView::tagOf(button));
        slectDuringCall.push_back(view.slectBtn());
    });
    view.show();
    QTest::mouseClick(view.ac_btn(), Qt::LeftButton);
    EXPECT_TRUE(view.isSelectACbtn());
    EXPECT_FALSE(view.isSelectQRbtn());
    EXPECT_EQ(view.slectBtn(), 1);
    EXPECT_EQ(ZemLoginView::titleColorOf(view.ac_btn()), RGB::fromRGB(0x1C9CF7));
    EXPECT_EQ(ZemLoginView::titleColorOf(view.qr_btn()), RGB::fromRGB(0x555555));
    qttest::saveScreenshot(view, "ZemLoginView-account-selected");
    QTest::mouseClick(view.qr_btn(), Qt::LeftButton);
    EXPECT_TRUE(view.isSelectQRbtn());
    EXPECT_EQ(view.slectBtn(), 0);
    EXPECT_EQ(reported, (std::vector<long>{1, 0}));
    EXPECT_EQ(slectDuringCall, (std::vector<int64_t>{0, 1})) << "the mode number follows the completion";
}

}  // namespace
