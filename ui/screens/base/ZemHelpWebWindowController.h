// The help window: one process-wide controller whose window (titled "help", 920 x 600) shows the
// app's help page ":/hux/mac-help.html", whole or at a topic. Closing only hides it; the app shows
// the same window again.
#pragma once

#include <QTextBrowser>
#include <QUrl>
#include <optional>

#include "WindowController.h"

class ZemHelpWebWindowController : public WindowController {
    Q_OBJECT
  public:
    // Made on first use (GUI thread, with the QApplication alive) and never released.
    static ZemHelpWebWindowController& sharedInstance();

    explicit ZemHelpWebWindowController(QObject* parent = nullptr);

    // The page's address; with a topic, "?q=<topic>" appended.
    static QUrl htmlUrlWithTag(const std::optional<QString>& tag);
    // Loads the page from its start.
    void loadHelpView();
    // Loads the page at a topic (the section whose anchor is the topic).
    void loadHelpWithTag(const QString& tag);

    QTextBrowser* webView() const { return webView_; }

  protected:
    QWidget* loadWindow() override;

  private:
    void load(const std::optional<QString>& tag);

    QPointer<QTextBrowser> webView_;
};
