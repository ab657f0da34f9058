// The main window: a white window whose content is HuxMianViewCtrl. Closing it only hides it;
// the app then lives on behind its status item.
#pragma once

#include <QPointer>

#include "ui/screens/base/ZemBaseWindow.h"

class HuxMianViewCtrl;
class QAbstractButton;

class ZemMainWindow : public ZemBaseWindow {
    Q_OBJECT
  public:
    explicit ZemMainWindow(QWidget* parent = nullptr);
    ~ZemMainWindow() override;

    HuxMianViewCtrl* contentViewController() const;
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

    QPointer<HuxMianViewCtrl> content_;
    bool isCloseWindow_ = false;
};
