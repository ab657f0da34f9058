// The app's one way to the browser: which texts become which web address, and which never leave.
#include <gtest/gtest.h>

#include <QTextBrowser>
#include <optional>
#include <vector>

#include "tests/support/CapturingLog.h"
#include "tests/support/QtTestApp.h"
#include "ui/screens/base/UrlOpener.h"
#include "ui/screens/base/ZemHelpWebWindowController.h"

namespace {

class UrlOpenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qttest::qtApp();
        testsupport::capturedLog().clear();
        UrlOpener::setOpenFunction([this](const QUrl& url) {
            opened_.push_back(url.toString());
            return true;
        });
    }
    void TearDown() override { UrlOpener::setOpenFunction({}); }

    std::vector<QString> opened_;
};

TEST_F(UrlOpenerTest, OnlyWebAddressesAreOpenedAndABareHostGetsHttps) {
    struct Case {
        const char* text;
        const char* opened;  // nullptr: refused
    };
    const Case cases[] = {
        {"https://mail.example.com/inbox?a=1#top", "https://mail.example.com/inbox?a=1#top"},
        {"http://intranet:8080/a", "http://intranet:8080/a"},
        {"HTTPS://Portal.Example.com/", "https://portal.example.com/"},
        {"portal.example/home", "https://portal.example/home"},
        {"intranet:8080/x", "https://intranet:8080/x"},
        {"  mail.example.com  ", "https://mail.example.com"},
        {"portal.example/?next=http", "https://portal.example/?next=http"},
        {"file:///etc/passwd", nullptr},
        {"FILE:///etc/passwd", nullptr},
        {"smb://server/share", nullptr},
        {"javascript:alert(1)//http", nullptr},
        {"file:///home/u/evil.desktop#http", nullptr},
        {"mailto:a@b.example", nullptr},
        {"data:text/html,<b>x</b>", nullptr},
        {"ftp://files.example/x", nullptr},
        {"ssh://host", nullptr},
        {"http:example.com", nullptr},
        {"/etc/passwd", nullptr},
        {"https:///etc/passwd", nullptr},
        {"http://", nullptr},
        {"mail example.com", nullptr},
        {"https://host.example/\nfile:///etc/passwd", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        opened_.clear();
        const bool result = UrlOpener::open(QString::fromUtf8(c.text));
        EXPECT_EQ(result, c.opened != nullptr);
        if (c.opened) {
            EXPECT_EQ(opened_, std::vector<QString>{QString::fromUtf8(c.opened)});
        } else {
            EXPECT_TRUE(opened_.empty()) << opened_.front().toStdString();
        }
    }
    EXPECT_TRUE(testsupport::capturedLog().contains("refused to open \"javascript:alert(1)//http\""));
}

TEST_F(UrlOpenerTest, HelpPageKeepsItsOwnLinksAndSendsOnlyWebLinksOut) {
    ZemHelpWebWindowController& help = ZemHelpWebWindowController::sharedInstance();
    help.loadHelpView();
    QTextBrowser* page = help.webView();
    ASSERT_NE(page, nullptr);
    const QUrl home = page->source();
    ASSERT_EQ(home.scheme(), "qrc");

    emit page->anchorClicked(QUrl(QStringLiteral("file:///etc/passwd")));
    emit page->anchorClicked(QUrl(QStringLiteral("smb://server/share")));
    EXPECT_TRUE(opened_.empty());
    EXPECT_EQ(page->source(), home) << "a local file never loads into the page";

    emit page->anchorClicked(QUrl(QStringLiteral("https://support.example/faq")));
    EXPECT_EQ(opened_, std::vector<QString>{"https://support.example/faq"});

    emit page->anchorClicked(QUrl(QStringLiteral("#firewall")));
    EXPECT_EQ(page->source().adjusted(QUrl::RemoveFragment), home);
    EXPECT_EQ(opened_.size(), 1u);
}

}  // namespace
