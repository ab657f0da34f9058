// The upgrade window as the console user sees it: three labels, the confirm button and, while a
// download runs, the progress bar. It draws what the root app sends and reports the user's
// clicks; it decides nothing itself (the close button only asks).
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "VPNLoginProgressView.h"
#include "upgrade/app/WindowState.h"

namespace Ui {
class ZemUpgradeWindow;
}

class ZemUpgradeWindow : public QWidget {
    Q_OBJECT
  public:
    explicit ZemUpgradeWindow(QWidget* parent = nullptr);
    ~ZemUpgradeWindow() override;

    void render(const WindowState& state);
    void showWindow(bool forceFront);
    void closeWindow();
    void showAlertWithText(const QString& text);

    // For inspection.
    QString noNewVersionTip() const;
    QString versionTip() const;
    QString progressTip() const;
    QString confirmTitle() const;
    bool noNewVersionTipShown() const;
    bool versionTipShown() const;
    bool progressTipShown() const;
    bool confirmShown() const;
    VPNLoginProgressView* gradualProgressView() const { return gradualProgressView_; }
    QMessageBox* alert() const { return alert_; }
    void pressConfirm();
    // Progress bars created from now on run on manual time.
    void setManualAnimationTime(bool manual) { manualTime_ = manual; }

  signals:
    void confirmPressed(const QString& title);
    void closeRequested();
    // After each render: the controls show the new state.
    void rendered();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    std::unique_ptr<Ui::ZemUpgradeWindow> ui_;
    QPointer<VPNLoginProgressView> gradualProgressView_;
    QPointer<QMessageBox> alert_;
    bool manualTime_ = false;
};
