// The join window: the domain chosen from the issued list (or the manual settings), the domain
// user's account and password, and the join itself, one helper step at a time with a tip for
// each, preparing the 802.1X profiles on the way.
#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace Ui {
class DuceneMainWindowController;
}

namespace ducene {

class JoinDomainManualSettingInfoWindow;

class DuceneMainWindowController : public QWidget {
    Q_OBJECT
  public:
    explicit DuceneMainWindowController(QWidget* parent = nullptr);
    ~DuceneMainWindowController() override;

    void showAtwindow(QWidget* parent);
    void fetchDomainInfos();
    void joinDomainButtonAction();
    void settingButtonAction();
    void loadViewForFailedWithTips(const std::string& tips);
    void windowDidBecomeMain();

    // Runs a command line of fixed words; its output, or nothing when it wrote error text.
    static std::optional<std::string> Command(const std::string& program,
                                              const std::vector<std::string>& args);

    const std::optional<std::string>& ssid() const { return ssid_; }
    JoinDomainManualSettingInfoWindow* settingWindowController() const { return settingWindowController_; }
    // The folder of the bundle's profile templates (the app's Resources folder by default).
    static std::string resourcesFolder();
    static void setResourcesFolder(std::string folder);

  signals:
    void closed();

  protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void windowDidLoad();
    void fillDomainComboBox();
    void prepareProfiles(const std::string& account, const std::string& password);
    void checkAccount(const std::string& account, const std::string& password);
    void fetchComputerName(const std::string& account);
    void join(const std::string& account, const std::string& name);
    void updateMachine(const std::string& account, const std::string& name);
    void finishJoin();
    void setTips(const std::string& text);

    std::unique_ptr<Ui::DuceneMainWindowController> ui_;
    std::optional<std::string> ssid_;
    JoinDomainManualSettingInfoWindow* settingWindowController_ = nullptr;
};

}  // namespace ducene
