// The domain-join app's first window: whether the machine is bound to a domain, with the actions
// to join (opening the join window), leave, and create the domain user's mobile account.
#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <string>

namespace Ui {
class JoinDomainStatusWindowController;
}

namespace ducene {

class DuceneMainWindowController;

class JoinDomainStatusWindowController : public QWidget {
    Q_OBJECT
  public:
    explicit JoinDomainStatusWindowController(QWidget* parent = nullptr);
    ~JoinDomainStatusWindowController() override;

    // Reads the binding state again and shows it.
    void loadDomainView();
    void mainButtonAction();
    void quitDomainButtonAction();
    void createMobileAccountButtonAction();
    void quitDomain();
    // True when the domain user has no home folder yet, so a mobile account can be created.
    bool isShowCreateMobileAccount();
    std::optional<std::string> fetchDomainAccount();
    void windowDidBecomeMain();

    bool isJoinDomain() const { return isJoinDomain_; }
    bool isCreateMobileAccount() const { return isCreateMobileAccount_; }
    DuceneMainWindowController* joinMainWindowController() const { return joinMainWindowController_; }

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void showJoined(const std::string& domain);

    std::unique_ptr<Ui::JoinDomainStatusWindowController> ui_;
    bool isJoinDomain_ = false;
    bool isCreateMobileAccount_ = false;
    DuceneMainWindowController* joinMainWindowController_ = nullptr;
};

}  // namespace ducene
