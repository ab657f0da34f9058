// The about window: "Version <CFBundleVersion>", the agreement text (Chinese when the first
// preferred UI language contains "zh-Hans-CN", else English) and the copyright line. It lets go
// of its window on every close, so the next showWindow() builds a fresh one.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <memory>

#include "WindowController.h"

namespace Ui {
class ZemAboutWindowController;
}

class ZemAboutWindowController : public WindowController {
    Q_OBJECT
  public:
    // bundle: the app bundle whose Contents/Info.plist gives the version; empty means the app's.
    explicit ZemAboutWindowController(QObject* parent = nullptr, QString bundle = QString());
    ~ZemAboutWindowController() override;

    // Fills the agreement text view from the resource for the preferred language.
    void loadWebView();
    // "© 2010-<this year> <holder>."
    static QString fetchCopyright();
    // The agreement resource for a list of preferred UI languages (first one decides).
    static QString agreementResourceFor(const QStringList& uiLanguages);

    // Outlets (null when no window is loaded).
    QLabel* versionLabel() const;
    QTextBrowser* webView() const;
    QLabel* copyrightTextField() const;
    QPushButton* okButton() const;

  public slots:
    void btnOKClicked();

  protected:
    QWidget* loadWindow() override;
    void windowDidLoad() override;
    bool windowShouldClose() override;

  private:
    QString bundleVersion() const;

    QString bundle_;
    std::unique_ptr<Ui::ZemAboutWindowController> ui_;
};
