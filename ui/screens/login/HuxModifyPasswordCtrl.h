// The change-password sheet the app opens on its main window from the status menu while the user
// is signed in. Its content is a HuxModifypasswordViewCtrl; the sheet ends with 1 after a change
// and with 0 on cancel. The app keeps one instance and opens it again each time.
#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QPointer>
#include <memory>

#include "HuxModifypasswordViewCtrl.h"

namespace Ui {
class HuxModifyPasswordCtrl;
}

class HuxModifyPasswordCtrl : public QDialog {
    Q_OBJECT
  public:
    explicit HuxModifyPasswordCtrl(QWidget* parent = nullptr);
    ~HuxModifyPasswordCtrl() override;

    QAbstractButton* savebtn() const;
    HuxModifypasswordViewCtrl* contentViewController() const { return content_; }

  private:
    void windowDidLoad();

    std::unique_ptr<Ui::HuxModifyPasswordCtrl> ui_;
    QPointer<HuxModifypasswordViewCtrl> content_;
};
