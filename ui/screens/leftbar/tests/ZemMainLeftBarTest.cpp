// The left bar: its start-up, navigation, warning look, the QR-login and ticket polls against the
// client-API test server, and a whole QR sign-in through the device-info window.
#include <QTest>
#include <memory>
#include <mutex>
#include <vector>

#include "LeftBarTestSupport.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "ui/screens/controls/ButtonSelected.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/leftbar/ZemDetailWindow.h"
#include "ui/screens/leftbar/ZemMainLeftBar.h"
#include "ui/session/login/HttpSession.h"
#include "ui/session/login/RavAvizaQZNLogin.h"

using leftbartest::LeftBarTest;
using testsupport::capturedLog;

namespace {

QString imageName(const QObject* object) {
    return object->property("_q_huxImageName").toString();
}

// Records the states posted as "update_Lable_notification".
class PostedStates {
  public:
    PostedStates() {
        id_ = dispatch::NotificationCenter::defaultCenter().addObserver(
            ZemMainLeftBar::kUpdateLabelNotification, nullptr, [this](const dispatch::Notification& note) {
                std::lock_guard<std::mutex> lock(mutex_);
                states_.push_back(note.object.integer().value_or(-999));
            });
    }
    ~PostedStates() { dispatch::NotificationCenter::defaultCenter().removeObserver(id_); }
    std::vector<int64_t> states() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        states_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<int64_t> states_;
    dispatch::NotificationCenter::ObserverId id_ = 0;
};

class LeftBar : public LeftBarTest {
  protected:
    std::unique_ptr<ZemMainLeftBar> makeBar() {
        std::unique_ptr<ZemMainLeftBar> bar(
            ZemMainLeftBar::initialWithNibName(QStringLiteral("ZemMainLeftBar")));
        EXPECT_TRUE(bar);
        // The name is set on the main queue.
        qttest::waitFor([&] { return !bar->userNameLb()->text().isEmpty(); });
        return bar;
    }
    // Waits for the next poll answers: one more scan-status request answered and handled.
    bool pollOnce(const char* path) {
        const size_t before = server_.requests(path).size();
        tick(3);
        return qttest::waitFor([&] { return server_.requests(path).size() > before; });
    }
};

TEST_F(LeftBar, OnlyItsOwnResourceNameLoads) {
    EXPECT_EQ(ZemMainLeftBar::initialWithNibName(QStringLiteral("ZemMainViewController")), nullptr);
    EXPECT_EQ(ZemDetailWindow::initialWithNibName(QStringLiteral("ZemMainLeftBar")), nullptr);
}

TEST_F(LeftBar, SignedOutBarShowsNoNameAndPollsForAQrLogin) {
    auto bar = makeBar();
    EXPECT_EQ(bar->userNameLb()->text(), QStringLiteral("未登录"));
    EXPECT_TRUE(bar->isCheckingLogin());
    EXPECT_TRUE(bar->isCheckingTicket());
    EXPECT_FALSE(bar->ishowDetailWin());
    EXPECT_TRUE(isSelected::isSelected(bar->allBtn()));
    EXPECT_EQ(bar->toolButton()->status(), 1u);
    EXPECT_EQ(bar->toolButton()->tag(), 0);
    EXPECT_EQ(bar->toolButton()->titleLabel()->text(), QStringLiteral("办公工具"));
    EXPECT_EQ(imageName(bar->detailBtn()), QStringLiteral("detail_safe-nomal"));
    bar->setUIWithWarnLevel(0);
    bar->show();
    qttest::saveScreenshot(*bar, "ZemMainLeftBar-signed-out");

    // The first QR poll goes out at once; nobody signed in, so the ticket poll sends nothing.
    tick(1);
    ASSERT_TRUE(qttest::waitFor([&] { return !server_.requests(kScanStatusPath).empty(); }));
    EXPECT_TRUE(capturedLog().contains("[ZemMainLeftBar] RavAviza Check QRLogin State"));
    EXPECT_TRUE(server_.requests(kTicketPath).empty());
    ASSERT_TRUE(pollOnce(kScanStatusPath));
    EXPECT_GE(server_.requests(kScanStatusPath).size(), 2u);
}

TEST_F(LeftBar, NavigationCellsFollowTheTagTable) {
    auto bar = makeBar();
    std::vector<long> tapped;
    bar->setTapBarItemBlock([&](long tag) { tapped.push_back(tag); });
    bar->show();
    struct Step {
        ZemLeftBarLitstCell* click;
        std::vector<long> tapped;
        uint64_t tool, all, detail;
    };
    const Step steps[] = {
        {bar->allBtn(), {1}, 0, 1, 0},
        {bar->allBtn(), {1}, 0, 1, 0},  // a highlighted cell ignores the click
        {bar->detailBtn(), {1, 2}, 0, 0, 1},
        {bar->toolButton(), {1, 2, 0}, 1, 0, 0},
    };
    for (const Step& s : steps) {
        QTest::mouseClick(s.click, Qt::LeftButton);
        EXPECT_EQ(tapped, s.tapped);
        EXPECT_EQ(bar->toolButton()->status(), s.tool);
        EXPECT_EQ(bar->allBtn()->status(), s.all);
        EXPECT_EQ(bar->detailBtn()->status(), s.detail);
    }
    // Without the callback the table applies but nobody is told; unknown tags change nothing.
    bar->functionListHandleWithTag(2, false);
    bar->functionListHandleWithTag(7, true);
    EXPECT_EQ(tapped, (std::vector<long>{1, 2, 0, 7}));
    EXPECT_EQ(bar->detailBtn()->status(), 1u);
    EXPECT_EQ(bar->toolButton()->status(), 0u);
    qttest::saveScreenshot(*bar, "ZemMainLeftBar-details-selected");

    bar->switchbtnsecond();
    EXPECT_EQ(tapped.back(), 1);
    bar->setHideDetilBtn(true);
    EXPECT_TRUE(bar->detailBtn()->isHidden());
    bar->setHideDetilBtn(false);
    EXPECT_FALSE(bar->detailBtn()->isHidden());
}

TEST_F(LeftBar, WarningLevelSwitchesBetweenTheSafeAndUnsafeLooks) {
    auto bar = makeBar();
    bar->show();
    struct Case {
        int32_t level;
        bool safe;
    };
    for (const Case& c : {Case{-3, true}, Case{0, true}, Case{1, false}, Case{9, false}}) {
        SCOPED_TRACE(c.level);
        isSelected::setIsSelected(bar->detailBtn(), false);
        bar->setUIWithWarnLevel(c.level);
        EXPECT_EQ(bar->level(), c.level);
        EXPECT_EQ(imageName(bar->backgroundImgView()), c.safe ? "leftBar_safe" : "leftBar_unsafe");
        EXPECT_FALSE(bar->backgroundImgView()->pixmap().isNull());
        EXPECT_EQ(imageName(bar->userPhotoBtn()), c.safe ? "avatar_safe_normal" : "avatar_unsafe_normal");
        EXPECT_FALSE(bar->userPhotoBtn()->image_hight().isNull());
        EXPECT_TRUE(bar->userPhotoBtn()->isAllHover());
        EXPECT_EQ(bar->lineView()->palette().color(QPalette::Window),
                  RGB::fromRGB(c.safe ? 0x40AFFC : 0xFF5C61));
        EXPECT_EQ(imageName(bar->detailBtn()), "detail_safe-nomal");
        // The details image follows the level once something selects that cell.
        isSelected::setIsSelected(bar->detailBtn(), true);
        bar->changeBtnUI();
        EXPECT_EQ(imageName(bar->detailBtn()), c.safe ? "detail_safe-hover" : "detail_unsafe-hover");
        if (c.level == 9) qttest::saveScreenshot(*bar, "ZemMainLeftBar-unsafe");
        if (c.level == 0) qttest::saveScreenshot(*bar, "ZemMainLeftBar-safe");
    }
}

TEST_F(LeftBar, QrPollPostsTheScanStateAndStopsOnASignIn) {
    auto bar = makeBar();
    PostedStates posted;
    tick(1);
    ASSERT_TRUE(qttest::waitFor([&] { return !server_.requests(kScanStatusPath).empty(); }));
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(100));
    posted.clear();
    hux::RavAvizaLoginHelper::sharedInstance().createSoleidAndSave();

    struct Case {
        int64_t state;
        bool posts;
    };
    const Case cases[] = {{-8, true},  {-7, false}, {-6, true}, {-5, true}, {-4, false},
                          {-3, false}, {-2, false}, {-1, true}, {3, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        server_.script({{kScanStatusPath, {{{"json", {{"ret", 0}, {"data", {{"state", c.state}}}}}}}}});
        capturedLog().clear();
        ASSERT_TRUE(pollOnce(kScanStatusPath));
        const std::string line = "[ZemDetailWindow] RavAviza Check QRLogin state:" + std::to_string(c.state);
        ASSERT_TRUE(qttest::waitFor([&] { return capturedLog().contains(line); }));
        qttest::waitFor([] { return false; }, std::chrono::milliseconds(30));
        EXPECT_EQ(posted.states(), c.posts ? std::vector<int64_t>{c.state} : std::vector<int64_t>{});
        EXPECT_TRUE(bar->isCheckingLogin());
        posted.clear();
    }
    EXPECT_TRUE(stateExists("soleid.archive"));

    // Failures are only logged and the poll goes on.
    server_.script({{kScanStatusPath, {{{"json", {{"ret", 4}, {"msg", "busy"}}}}}}});
    ASSERT_TRUE(pollOnce(kScanStatusPath));
    ASSERT_TRUE(qttest::waitFor(
        [] { return capturedLog().contains("[ZemDetailWindow] RavAviza Check QRLogin ret:4 msg:busy"); }));
    server_.script({{kScanStatusPath, {{{"status", 503}}}}});
    ASSERT_TRUE(pollOnce(kScanStatusPath));
    ASSERT_TRUE(qttest::waitFor(
        [] { return capturedLog().contains("[ZemDetailWindow] RavAviza Check QRLogin fail msg:"); }));
    EXPECT_TRUE(bar->isCheckingLogin());
    EXPECT_TRUE(posted.states().empty());

    // State 0: the poll stops, the nonce goes and the state is posted.
    server_.script({{kScanStatusPath, {{{"json", {{"ret", 0}, {"data", {{"state", 0}}}}}}}}});
    ASSERT_TRUE(pollOnce(kScanStatusPath));
    ASSERT_TRUE(qttest::waitFor([&] { return !bar->isCheckingLogin(); }));
    ASSERT_TRUE(qttest::waitFor([&] { return posted.states() == std::vector<int64_t>{0}; }));
    EXPECT_FALSE(stateExists("soleid.archive"));
    const size_t requests = server_.requests(kScanStatusPath).size();
    tick(7);
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(server_.requests(kScanStatusPath).size(), requests) << "a stopped poll sends nothing";

    // A restart replaces the source: one poll every 3 s, not two.
    bar->StartCheckLoginStatus();
    bar->StartCheckLoginStatus();
    tick(1);
    ASSERT_TRUE(qttest::waitFor([&] { return server_.requests(kScanStatusPath).size() == requests + 1; }));
    tick(3);
    ASSERT_TRUE(qttest::waitFor([&] { return server_.requests(kScanStatusPath).size() == requests + 2; }));
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(server_.requests(kScanStatusPath).size(), requests + 2);
}

TEST_F(LeftBar, ReplyWithoutAStateNeitherStopsThePollNorSpendsTheNonce) {
    auto bar = makeBar();
    hux::RavAvizaLoginHelper::sharedInstance().createSoleidAndSave();
    PostedStates posted;
    server_.script({{kScanStatusPath, {{{"json", {{"ret", 0}}}, {"repeat", true}}}}});
    tick(1);
    ASSERT_TRUE(qttest::waitFor([&] { return server_.requests(kScanStatusPath).size() >= 1; }));
    ASSERT_TRUE(pollOnce(kScanStatusPath));
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(bar->isCheckingLogin());
    EXPECT_TRUE(stateExists("soleid.archive"));
    EXPECT_TRUE(posted.states().empty());
}

TEST_F(LeftBar, TicketPollRefreshesTheNameUntilTheSessionIsShown) {
    storeRecord("u7", "User Seven", 1);
    // A device still under review: the ticket stands but the session is not shown yet.
    server_.script({{kTicketPath, {{{"json", {{"ret", 0}, {"msg", "review"}, {"data", {{"state", -5}}}}}}}}});
    auto bar = makeBar();
    EXPECT_EQ(bar->userNameLb()->text(), QStringLiteral("未登录")) << "signed in but not yet shown";
    EXPECT_FALSE(bar->isCheckingLogin());
    PostedStates posted;

    tick(1);
    ASSERT_TRUE(qttest::waitFor([&] { return !server_.requests(kTicketPath).empty(); }));
    EXPECT_EQ(server_.lastBody(kTicketPath)->value("ticket", ""), "TK-u7");
    ASSERT_TRUE(qttest::waitFor([] {
        return capturedLog().contains("[ZemDetailWindow] RavAviza Check ticket response msg:review");
    }));
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(bar->userNameLb()->text(), QStringLiteral("未登录"));
    EXPECT_TRUE(bar->isCheckingTicket());

    // The server confirms the ticket: the session shows the account, the name appears and the
    // ticket poll ends. No device-info window is open, so nothing is posted.
    server_.script(nlohmann::json::object());
    ASSERT_TRUE(pollOnce(kTicketPath));
    ASSERT_TRUE(qttest::waitFor([&] { return bar->userNameLb()->text() == QStringLiteral("User Seven"); }))
        << testing::PrintToString(capturedLog().lines()) << server_.requests(kTicketPath).size();
    ASSERT_TRUE(qttest::waitFor([&] { return !bar->isCheckingTicket(); }));
    EXPECT_TRUE(posted.states().empty());
    const size_t requests = server_.requests(kTicketPath).size();
    tick(6);
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(server_.requests(kTicketPath).size(), requests);
    bar->setUIWithWarnLevel(0);
    bar->show();
    qttest::saveScreenshot(*bar, "ZemMainLeftBar-signed-in");
}

TEST_F(LeftBar, QrSignInThroughTheDeviceInfoWindow) {
    QWidget holder;
    holder.setGeometry(100, 80, 900, 600);
    ZemMainLeftBar* bar = makeBar().release();
    bar->setParent(&holder);
    holder.show();
    bar->show();

    bool scanned = false;
    bool sawWindow = false;
    qttest::WhenModal act([&](QWidget* window) {
        auto* detail = qobject_cast<ZemDetailWindow*>(window);
        ASSERT_TRUE(detail);
        sawWindow = true;
        EXPECT_TRUE(bar->ishowDetailWin());
        EXPECT_EQ(bar->detailWindow(), detail);
        EXPECT_EQ(detail->size(), QSize(500, 334));
        const QRect frame = holder.frameGeometry();
        // Centred across the holder, its bottom edge (600 - 192) / 2 above the holder's (give or
        // take the offscreen window frame).
        EXPECT_NEAR(detail->geometry().x(), frame.x() + 200, 4);
        EXPECT_NEAR(detail->geometry().bottom() + 1, frame.y() + frame.height() - 204, 4);
        EXPECT_EQ(detail->loginStatusLb()->text(), QStringLiteral("Zem快速登录"));
        EXPECT_EQ(detail->tabview()->currentIndex(), 1);

        // The code appears; the phone scans it as "dave".
        tick(1);
        ASSERT_TRUE(qttest::waitFor([&] { return !detail->qrView()->pixmap().isNull(); }));
        qttest::saveScreenshot(*detail, "ZemDetailWindow-qr");
        auto text = hux::RavAvizaQZNLogin::manager().createQRPath();
        ASSERT_TRUE(text);
        const std::string prefix =
            "https://127.0.0.1:" + std::to_string(server_.port()) + "/api/public/clientlogin/scan_login?v=";
        ASSERT_EQ(text->rfind(prefix, 0), 0u);
        const std::string scanUrl =
            "http://127.0.0.1:" + std::to_string(server_.port()) +
            "/api/public/clientlogin/scan_login?user=dave&v=" + text->substr(prefix.size());
        ASSERT_EQ(hux::HttpSession::perform({"GET", scanUrl, "", {}, std::chrono::seconds(5)}).error,
                  std::nullopt);
        scanned = true;
        // The bar's next poll learns of the sign-in; the window closes itself.
        tick(3);
    });
    bar->tapUserPhotoBtn();
    ASSERT_TRUE(sawWindow);
    ASSERT_TRUE(scanned);
    EXPECT_FALSE(bar->ishowDetailWin());
    EXPECT_EQ(bar->detailWindow(), nullptr);
    EXPECT_EQ(AppWindows::modalDepth(), 0);
    auto record = common::AccountModel::currentModel();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->userid, "dave");
    EXPECT_EQ(record->loginType, 2);
    EXPECT_FALSE(bar->isCheckingLogin());
    EXPECT_FALSE(stateExists("soleid.archive"));
}

TEST_F(LeftBar, ClosingTheDeviceInfoWindowEndsItsSessionAndItsRefresh) {
    auto bar = makeBar();
    bar->show();
    QPointer<ZemDetailWindow> seen;
    qttest::WhenModal act([&](QWidget* window) {
        seen = qobject_cast<ZemDetailWindow*>(window);
        ASSERT_TRUE(seen);
        EXPECT_TRUE(seen->isRefreshingQR());
        window->close();
    });
    bar->tapUserPhotoBtn();
    EXPECT_FALSE(bar->ishowDetailWin()) << "the close control resets the flag too";
    EXPECT_EQ(AppWindows::modalDepth(), 0);
    ASSERT_TRUE(qttest::waitFor([&] { return seen.isNull(); }));
    // The bar's QR poll goes on after the window is gone.
    EXPECT_TRUE(bar->isCheckingLogin());
}

}  // namespace
