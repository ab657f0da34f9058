// The tool cell and the trusted-apps window over real list archives in a temporary root.
#include <gtest/gtest.h>

#include <QImage>
#include <QScrollBar>
#include <filesystem>

#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/QtTestApp.h"
#include "ui/screens/tools/ZemToolCell.h"
#include "ui/screens/tools/ZemTrustAppCell.h"
#include "ui/screens/tools/ZemTrustedAppWindow.h"
#include "ui/session/login/RavAvizaLoginHelper.h"

// Fontconfig, loaded by Qt's offscreen platform, keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

namespace {

using archive::Array;
using archive::Dictionary;
using archive::Value;

class ToolScreensTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qttest::qtApp();
        std::filesystem::create_directories(paths::machineSupportFolder());
    }
    void writeList(const char* name, const Value& root) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(root, paths::machineSupportFolder() + "/" + name));
    }
    testsupport::TempRoot root_{"tools-test", 0755};
};

Dictionary trusted(const char* category, int64_t serial, const char* app) {
    return Dictionary{{"categoryname", category}, {"category_serialnum", serial}, {"appname", app}};
}

}  // namespace

TEST_F(ToolScreensTest, ToolCellShowsTheNamedImageOrTheAppIcon) {
    // A bundle image beside the app's resources: the icon text names it up to its first dot.
    QImage image(40, 40, QImage::Format_ARGB32);
    image.fill(Qt::red);
    std::filesystem::create_directories(paths::uiAppResources());
    ASSERT_TRUE(image.save(QString::fromStdString(paths::uiAppResources() + "/mailtool.png")));

    writeList("appmgrlist.archive",
              Array{Dictionary{{"appname", "Mail"}, {"icon", "mailtool.v2.png"}, {"app_serialnum", 1}},
                    Dictionary{{"appname", "Unknown icon"}, {"icon", "nosuch.png"}},
                    Dictionary{{"appname", "A tool with a name far too long for its cell"}, {"icon", ""}}});
    auto list = hux::RavAvizaLoginHelper::AppMgrList();
    ASSERT_TRUE(list && list->array());
    const char* expected[] = {"mailtool", "AppIcon", "AppIcon"};
    QWidget strip;
    strip.resize(330, 110);
    int x = 0;
    for (size_t i = 0; i < list->array()->size(); ++i) {
        ZemToolCell* cell =
            ZemToolCell::initWithModel(ZemToolModel::initWithDictionary((*list->array())[i]), &strip);
        cell->move(x, 0);
        x += 110;
        EXPECT_EQ(cell->shownImageName(), expected[i]);
        EXPECT_FALSE(cell->iconView()->pixmap().isNull());
        EXPECT_EQ(cell->size(), QSize(110, 110));
        EXPECT_EQ(cell->iconView()->geometry(), QRect(25, 10, 60, 60));
        EXPECT_EQ(cell->titleLabel()->geometry(), QRect(5, 75, 100, 21));
        EXPECT_TRUE(cell->text().isEmpty());
    }
    auto cells = strip.findChildren<ZemToolCell*>();
    ASSERT_EQ(cells.size(), 3);
    EXPECT_EQ(cells[0]->titleLabel()->text(), "Mail");
    // A long name is cut at its tail; the whole name stays in the model.
    EXPECT_TRUE(cells[2]->titleLabel()->text().endsWith(QChar(0x2026)));
    EXPECT_EQ(cells[2]->toolModel()->appName, "A tool with a name far too long for its cell");

    cells[1]->mouseEntered();
    EXPECT_EQ(cells[1]->layerBackgroundColor(), QColor::fromRgbF(0.95, 0.95, 0.95));
    strip.show();
    qttest::saveScreenshot(strip, "tool-cells-hover");
    cells[1]->mouseExited();
    EXPECT_EQ(cells[1]->layerBackgroundColor().alpha(), 0);
}

TEST_F(ToolScreensTest, ToolCellClickCallsTheCompletionWithItself) {
    ZemToolCell* cell = ZemToolCell::initWithModel(ZemToolModel::initWithDictionary(Value(Dictionary{})));
    std::unique_ptr<ZemToolCell> owner(cell);
    cell->click();  // no completion yet: nothing happens
    std::vector<ZemToolCell*> calls;
    cell->setCompletion([&](ZemToolCell* c) { calls.push_back(c); });
    cell->setCompletion([&](ZemToolCell* c) { calls.push_back(c); });  // replaces, no second target
    cell->click();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], cell);
}

TEST_F(ToolScreensTest, TrustedAppWindowGroupsByCategoryAndOrdersRows) {
    writeList("qzncloudlist.archive",
              Dictionary{
                  {"trustedapp", Array{trusted("Office", 2, "Mail"), trusted("Chat", 1, "Talk"),
                                       trusted("Office", 9, "Docs"), trusted("Office", 2, "Mail"),
                                       Dictionary{{"categoryname", "Storage"}, {"category_serialnum", 3}}}}});
    auto window = ZemTrustedAppWindow::initialWithNibName("ZemTrustedAppWindow");
    ASSERT_TRUE(window);
    ASSERT_EQ(window->categoryModes().size(), 3u);
    auto rows = window->rows();
    ASSERT_EQ(rows.size(), 3u);
    const char* categories[] = {"Chat\uFF1A", "Office\uFF1A", "Storage\uFF1A"};
    const char* apps[] = {"Talk", "Mail\u3001Docs", ""};
    int y = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i]->categoryLable()->text(), QString::fromUtf8(categories[i]));
        EXPECT_EQ(rows[i]->appNameLable()->text(), QString::fromUtf8(apps[i]));
        EXPECT_EQ(rows[i]->geometry().topLeft(), QPoint(15, y));
        EXPECT_EQ(rows[i]->width(), 300);
        y += rows[i]->height();
    }
    EXPECT_EQ(window->mainView()->widget()->height(), y);
    EXPECT_EQ(window->mainView()->widget()->width(), window->mainView()->width());
    EXPECT_EQ(rows[0]->appNameLable()->palette().color(QPalette::WindowText), QColor(0xA9, 0xA9, 0xA9));
    EXPECT_EQ(window->trustlistBtn()->palette().color(QPalette::ButtonText), QColor(Qt::black));

    // Showing the woken window does not add the rows again.
    window->show();
    EXPECT_EQ(window->rows().size(), 3u);
    qttest::saveScreenshot(*window, "trusted-apps-window");
}

TEST_F(ToolScreensTest, TrustedAppWindowStaysEmptyWithoutAList) {
    const std::pair<const char*, std::optional<Value>> cases[] = {
        {"missing file", std::nullopt},
        {"empty list", Value(Dictionary{{"trustedapp", Array{}}})},
        {"no list key", Value(Dictionary{{"other", 1}})},
    };
    for (const auto& [name, content] : cases) {
        SCOPED_TRACE(name);
        std::filesystem::remove(paths::machineSupportFolder() + "/qzncloudlist.archive");
        if (content) writeList("qzncloudlist.archive", *content);
        auto window = ZemTrustedAppWindow::initialWithNibName("ZemTrustedAppWindow");
        ASSERT_TRUE(window);
        EXPECT_TRUE(window->categoryModes().empty());
        EXPECT_TRUE(window->rows().empty());
        EXPECT_EQ(window->mainView()->widget()->geometry(), QRect(0, 0, 330, 300));
    }
    EXPECT_FALSE(ZemTrustedAppWindow::initialWithNibName("HuxMianViewCtrl"));
}

TEST_F(ToolScreensTest, TrustAppRowIsAsHighAsItsTwoTexts) {
    auto mode = ZemCategoryMode::initWithDictionary(Value(trusted("Office", 1, "Mail")));
    for (int i = 0; i < 40; ++i) mode->addAppObj("Application number " + std::to_string(i));
    std::unique_ptr<ZemTrustAppCell> row(ZemTrustAppCell::initWithModel(mode));
    const int hc = row->categoryLable()->height();
    const int ha = row->appNameLable()->height();
    EXPECT_EQ(row->height(), hc + ha);
    EXPECT_GT(ha, 3 * hc);  // the long list wraps within 290 points
    EXPECT_LE(row->appNameLable()->width(), 290 + 8);
    EXPECT_EQ(row->appNameLable()->y(), hc - 5);
}
