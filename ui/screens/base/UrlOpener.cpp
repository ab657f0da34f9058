#include "UrlOpener.h"

#include <QDesktopServices>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTextBrowser>

#include "common/logger/LogSink.h"

namespace UrlOpener {

namespace {

struct Opener {
    QMutex mutex;
    std::function<bool(const QUrl&)> open;
};

Opener& opener() {
    static Opener o;
    return o;
}

void log(const std::string& line) {
    common::processLog().writeLog("[UrlOpener] " + line);
}

// The text for the log: one line, bounded.
std::string shown(const QString& text) {
    QString line = text.left(200);
    for (QChar& c : line)
        if (c.category() == QChar::Other_Control) c = QChar('?');
    return line.toStdString();
}

bool isWebScheme(const QString& scheme) {
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

}  // namespace

std::optional<QUrl> browserUrl(const QString& input) {
    const QString text = input.trimmed();
    if (text.isEmpty()) return std::nullopt;
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control || c.isSpace()) return std::nullopt;
    QString candidate = text;
    if (!text.contains(QLatin1String("://"))) {
        // "name:" that is not a port ("host:8080/x") is a scheme of its own (mailto:, javascript:).
        static const QRegularExpression schemeLike(
            QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:(?![0-9]+(/|\\?|#|$))"));
        if (schemeLike.match(text).hasMatch()) return std::nullopt;
        if (text.startsWith(QLatin1Char('/'))) return std::nullopt;
        candidate = QStringLiteral("https://") + text;
    }
    const QUrl url(candidate, QUrl::StrictMode);
    if (!url.isValid() || !isWebScheme(url.scheme().toLower()) || url.host().isEmpty()) return std::nullopt;
    return url;
}

bool open(const QString& text) {
    const std::optional<QUrl> url = browserUrl(text);
    if (!url) {
        log("refused to open \"" + shown(text) + "\": not a web address");
        return false;
    }
    std::function<bool(const QUrl&)> handOn;
    {
        QMutexLocker lock(&opener().mutex);
        handOn = opener().open;
    }
    const bool opened = handOn ? handOn(*url) : QDesktopServices::openUrl(*url);
    if (!opened) log("could not open \"" + shown(url->toString()) + "\"");
    return opened;
}

bool open(const QUrl& url) {
    return open(url.toString(QUrl::FullyEncoded));
}

void routeLinks(QTextBrowser* browser) {
    if (!browser) return;
    browser->setOpenExternalLinks(false);
    browser->setOpenLinks(false);
    QObject::connect(browser, &QTextBrowser::anchorClicked, browser, [browser](const QUrl& link) {
        const bool ownPage = browser->source().scheme() == QLatin1String("qrc");
        if (link.scheme() == QLatin1String("qrc") || (link.isRelative() && ownPage)) {
            const QUrl target = ownPage ? browser->source().resolved(link) : link;
            QUrl page = target;
            page.setFragment(QString());
            QUrl current = browser->source();
            current.setFragment(QString());
            if (page != current) browser->setSource(page);
            if (target.hasFragment()) browser->scrollToAnchor(target.fragment());
        } else if (link.isRelative()) {
            // A page given as text has no place for a relative link but its own anchors.
            if (link.path().isEmpty() && link.hasFragment()) {
                browser->scrollToAnchor(link.fragment());
            } else {
                log("refused to open \"" + shown(link.toString()) + "\": a relative link");
            }
        } else {
            open(link);
        }
    });
}

void setOpenFunction(std::function<bool(const QUrl&)> open) {
    QMutexLocker lock(&opener().mutex);
    opener().open = std::move(open);
}

}  // namespace UrlOpener
