#include "ZemAboutWindowController.h"

#include <QDate>
#include <QFile>
#include <QLocale>

#include "UrlOpener.h"
#include "platform/archive/Plist.h"
#include "platform/paths/Paths.h"
#include "ui/screens/controls/Localizable.h"
#include "ui_ZemAboutWindowController.h"

namespace {
constexpr const char* kCopyrightHolder = "Velmora Technologies";
}

ZemAboutWindowController::ZemAboutWindowController(QObject* parent, QString bundle)
    : WindowController(parent), bundle_(std::move(bundle)) {}

ZemAboutWindowController::~ZemAboutWindowController() = default;

QWidget* ZemAboutWindowController::loadWindow() {
    auto* window = new QWidget(
        nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    ui_ = std::make_unique<Ui::ZemAboutWindowController>();
    ui_->setupUi(window);
    connect(ui_->okButton, &QPushButton::clicked, this, &ZemAboutWindowController::btnOKClicked);
    return window;
}

QString ZemAboutWindowController::bundleVersion() const {
    const std::string bundle = bundle_.isEmpty() ? paths::uiAppBundle() : bundle_.toStdString();
    auto info = archive::readPlistFile(bundle + "/Contents/Info.plist", nullptr, 1u << 20);
    if (!info) return QString();
    const archive::Value* version = info->find("CFBundleVersion");
    if (!version || !version->string()) return QString();
    return QString::fromStdString(*version->string());
}

void ZemAboutWindowController::windowDidLoad() {
    WindowController::windowDidLoad();
    ui_->versionLabel->setText(QStringLiteral("%1 ").arg(Localizable::localizedString("Version")) +
                               bundleVersion());
    ui_->copyrightTextField->setText(fetchCopyright());
    QWidget* w = window();
    w->setWindowTitle(QString());
    setMovableByWindowBackground(true);
    QPalette palette = w->palette();
    palette.setColor(QPalette::Window, Qt::white);
    w->setPalette(palette);
    loadWebView();
}

QString ZemAboutWindowController::agreementResourceFor(const QStringList& uiLanguages) {
    const bool chinese = !uiLanguages.isEmpty() && uiLanguages.first().contains("zh-Hans-CN");
    return chinese ? QStringLiteral(":/hux/Agreement_Chinese.html")
                   : QStringLiteral(":/hux/Agreement_English.html");
}

void ZemAboutWindowController::loadWebView() {
    if (!ui_) return;
    QFile file(agreementResourceFor(QLocale().uiLanguages()));
    if (!file.open(QIODevice::ReadOnly)) return;
    UrlOpener::routeLinks(ui_->webView);
    ui_->webView->setHtml(QString::fromUtf8(file.readAll()));
}

QString ZemAboutWindowController::fetchCopyright() {
    const QString year = QDate::currentDate().toString(QStringLiteral("yyyy"));
    return QStringLiteral("Copyright %1 2010-%2 %3.")
        .arg(QChar(0x00A9), year, QLatin1String(kCopyrightHolder));
}

void ZemAboutWindowController::btnOKClicked() {
    close();
}

bool ZemAboutWindowController::windowShouldClose() {
    // Let go of the window; the next opening builds a fresh one.
    ui_.reset();
    setWindow(nullptr);
    return true;
}

QLabel* ZemAboutWindowController::versionLabel() const {
    return ui_ ? ui_->versionLabel : nullptr;
}
QTextBrowser* ZemAboutWindowController::webView() const {
    return ui_ ? ui_->webView : nullptr;
}
QLabel* ZemAboutWindowController::copyrightTextField() const {
    return ui_ ? ui_->copyrightTextField : nullptr;
}
QPushButton* ZemAboutWindowController::okButton() const {
    return ui_ ? ui_->okButton : nullptr;
}
