// A login window with account, password and a confirm button that does nothing; the app keeps it
// but never opens it.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <memory>

#include "ui/screens/base/ZemBaseWindow.h"

namespace Ui {
class ZemLoginWindow;
}

class ZemLoginWindow : public ZemBaseWindow {
    Q_OBJECT
  public:
    explicit ZemLoginWindow(QWidget* parent = nullptr);
    ~ZemLoginWindow() override;

    QLineEdit* userNameTF() const;
    QLineEdit* passwordTF() const;
    QPushButton* confirmBtn() const;

    void tapConfirmBtn(QObject* sender);

  private:
    std::unique_ptr<Ui::ZemLoginWindow> ui_;
};
