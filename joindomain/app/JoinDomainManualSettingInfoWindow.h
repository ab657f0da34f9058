// The manual domain settings: a domain, its administrator account and password typed by the
// user, which replace the issued domain list with that one entry.
#pragma once

#include <QWidget>
#include <memory>

namespace Ui {
class JoinDomainManualSettingInfoWindow;
}

namespace ducene {

class JoinDomainManualSettingInfoWindow : public QWidget {
    Q_OBJECT
  public:
    explicit JoinDomainManualSettingInfoWindow(QWidget* parent = nullptr);
    ~JoinDomainManualSettingInfoWindow() override;

    void showAtwindow(QWidget* parent);
    void saveButtonAction();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    std::unique_ptr<Ui::JoinDomainManualSettingInfoWindow> ui_;
};

}  // namespace ducene
