// The server sheet of the configure-server menu item: the same address entry as the main view's
// first page, without the ping. Invalid input leaves the sheet open without a word; a valid one
// writes the request and ends the sheet with 1, Cancel with 0.
#pragma once

#include <memory>

#include "ui/screens/base/WindowController.h"

class QAbstractButton;
class QPushButton;
class ZemTextField;

namespace Ui {
class HuxServerSetingWinCtrl;
}

class HuxServerSetingWinCtrl : public WindowController {
    Q_OBJECT
  public:
    // Loads its window.
    explicit HuxServerSetingWinCtrl(QObject* parent = nullptr);
    ~HuxServerSetingWinCtrl() override;

    // Outlets.
    QAbstractButton* savebtn() const;
    ZemTextField* domainOrIPLab() const;
    ZemTextField* PortLab() const;
    QPushButton* okButton() const;
    QPushButton* cancelButton() const;

    void okButtonPush();
    void cancelButtonPush();
    // True when the text is digits only; an empty text and "0" pass.
    static bool isPureNumandCharacters(const QString& text);

  protected:
    QWidget* loadWindow() override;

  private:
    std::unique_ptr<Ui::HuxServerSetingWinCtrl> ui_;
};
