#include "ZemHelpWebWindowController.h"

#include <QUrlQuery>
#include <QVBoxLayout>

#include "UrlOpener.h"

namespace {
constexpr const char* kHelpPage = "qrc:/hux/mac-help.html";
}

ZemHelpWebWindowController& ZemHelpWebWindowController::sharedInstance() {
    // Deliberately never destroyed: widgets must not outlive the QApplication's teardown order.
    static auto* controller = new ZemHelpWebWindowController();
    return *controller;
}

ZemHelpWebWindowController::ZemHelpWebWindowController(QObject* parent) : WindowController(parent) {}

QWidget* ZemHelpWebWindowController::loadWindow() {
    auto* window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    window->setObjectName(QStringLiteral("ZemHelpWebWindow"));
    window->setWindowTitle(QStringLiteral("help"));
    window->resize(920, 600);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    webView_ = new QTextBrowser(window);
    webView_->setObjectName(QStringLiteral("webView"));
    UrlOpener::routeLinks(webView_);
    webView_->setGeometry(0, 0, 920, 600);
    layout->addWidget(webView_);
    return window;
}

QUrl ZemHelpWebWindowController::htmlUrlWithTag(const std::optional<QString>& tag) {
    QUrl url(QString::fromLatin1(kHelpPage));
    if (tag) {
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("q"), *tag);
        url.setQuery(query);
    }
    return url;
}

void ZemHelpWebWindowController::loadHelpView() {
    load(std::nullopt);
}

void ZemHelpWebWindowController::loadHelpWithTag(const QString& tag) {
    load(tag);
}

void ZemHelpWebWindowController::load(const std::optional<QString>& tag) {
    if (!window() || !webView_) return;
    const QUrl url = htmlUrlWithTag(tag);
    // The browser reads the page itself; the topic becomes the anchor it scrolls to.
    QUrl page = url;
    page.setQuery(QString());
    webView_->setSource(page);
    if (tag && !tag->isEmpty()) webView_->scrollToAnchor(*tag);
}
