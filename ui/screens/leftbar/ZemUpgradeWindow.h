// A window announcing an upgrade: a title, a detail text, a confirm button and a progress bar.
// Layout only; its confirm action does nothing.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <memory>

#include "ui/screens/base/ZemBaseWindow.h"

namespace Ui {
class ZemUpgradeWindow;
}

class ZemUpgradeWindow : public ZemBaseWindow {
    Q_OBJECT
  public:
    explicit ZemUpgradeWindow(QWidget* parent = nullptr);
    ~ZemUpgradeWindow() override;

    QLabel* titleLb() const;
    QLabel* detailLb() const;
    QPushButton* confirmBtn() const;
    QProgressBar* progressIndicator() const;

    void tapConfirmBtn() {}

  private:
    std::unique_ptr<Ui::ZemUpgradeWindow> ui_;
};
