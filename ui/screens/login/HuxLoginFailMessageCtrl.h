// A window telling that a login failed, with a link to the password retrieval coloured 0x057CFF;
// the app keeps it but never opens it.
#pragma once

#include <memory>

#include "ui/screens/base/WindowController.h"
#include "ui/screens/controls/ZemHoverButton.h"

namespace Ui {
class HuxLoginFailMessageCtrl;
}

class HuxLoginFailMessageCtrl : public WindowController {
    Q_OBJECT
  public:
    explicit HuxLoginFailMessageCtrl(QObject* parent = nullptr);
    ~HuxLoginFailMessageCtrl() override;

    // Null before the window is loaded.
    ZemHoverButton* findpwd_btn() const;

  protected:
    QWidget* loadWindow() override;
    void windowDidLoad() override;

  private:
    std::unique_ptr<Ui::HuxLoginFailMessageCtrl> ui_;
};
