// The server sheet of the configure-server menu item: the same address entry as the main view's
// first page, without the ping. Invalid input leaves the sheet open without a word; a valid one
// writes the request and ends the sheet with 1, Cancel with 0.
#pragma once

#include <QDialog>
#include <memory>

class QAbstractButton;
class ZemTextField;

namespace Ui {
class HuxServerSetingWinCtrl;
}

class HuxServerSetingWinCtrl : public QDialog {
    Q_OBJECT
  public:
    explicit HuxServerSetingWinCtrl(QWidget* parent = nullptr);
    ~HuxServerSetingWinCtrl() override;

    QAbstractButton* savebtn() const;
    ZemTextField* domainOrIPLab() const;
    ZemTextField* PortLab() const;

    void okButtonPush();
    void cancelButtonPush();
    // True when the text is digits only; an empty text and "0" pass.
    static bool isPureNumandCharacters(const QString& text);

  private:
    std::unique_ptr<Ui::HuxServerSetingWinCtrl> ui_;
};
