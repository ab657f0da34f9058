// The main window: a white window whose content is the main screen of the app's flavour,
// HuxMianViewCtrl or the compliance screen ZemMainViewController. Closing it only hides it; the
// app then lives on behind its status item.
#pragma once

#include <QPointer>

#include "ui/screens/base/ZemBaseWindow.h"

class HuxMianViewCtrl;
class QAbstractButton;

class ZemMainWindow : public ZemBaseWindow {
    Q_OBJECT
  public:
    enum class Flavour { Hux, Compliance };

    // The flavour the app bundle names: its Info.plist's "NSMainNibFile" is the interface file
    // of the main screen ("ZemMainViewController" for the compliance screen); Hux otherwise.
    static Flavour flavourFromBundle();

    explicit ZemMainWindow(Flavour flavour = Flavour::Hux, QWidget* parent = nullptr);
    ~ZemMainWindow() override;

    // The Hux flavour's content, null in the compliance flavour.
    HuxMianViewCtrl* contentViewController() const;
    // The content of either flavour.
    QWidget* contentView() const { return contentView_; }
    Flavour flavour() const { return flavour_; }
    bool isCloseWindow() const { return isCloseWindow_; }
    void setIsCloseWindow(bool value) { isCloseWindow_ = value; }
    QAbstractButton* tipCheckboxButton() const { return nullptr; }

    bool windowShouldClose() { return true; }

  signals:
    void windowWillClose();

  protected:
    void handleTitleView() override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void loadContent();

    Flavour flavour_;
    QPointer<QWidget> contentView_;
    QPointer<HuxMianViewCtrl> content_;
    bool isCloseWindow_ = false;
};
