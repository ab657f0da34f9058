// Page 2 of the main view: the office tools of appmgrlist.archive as rows ordered by their
// serial number (a click opens the tool's address), an empty notice when there are none, and the
// network state.
#pragma once

#include <QPixmap>
#include <QString>
#include <memory>
#include <vector>

#include "platform/dispatch/NotificationCenter.h"
#include "ui/screens/base/CustomViewControllerBase.h"

class QLabel;
class NavigationList;
class HuxNavigationCellView;
class ZemToolModel;
class QNetworkInformation;

namespace Ui {
class HuxNavigationViewCtrl;
}

class HuxNavigationViewCtrl : public CustomViewControllerBase {
    Q_OBJECT
  public:
    // Reachability values as the network monitor reports them.
    enum NetworkStatus { StatusUnknown = -1, NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

    explicit HuxNavigationViewCtrl(QWidget* parent = nullptr);
    ~HuxNavigationViewCtrl() override;

    NavigationList* NavigationTableView() const;
    QLabel* networkStateImage() const;
    QLabel* tipsNewrokLab() const;
    QWidget* emptyView() const;
    const std::vector<std::shared_ptr<ZemToolModel>>& toolModels() const { return toolModels_; }
    // The image name shown with the network state ("Hux-icon" or "Hux-gray").
    QString networkImageName() const { return networkImageName_; }
    HuxNavigationCellView* cellAt(int row) const;

    // Rebuilds the tools from the list file, on the main queue.
    void updateSourceData();
    void ReloadNavigationData();
    void updateNetWorkStatus(int status);

  signals:
    void reloaded();

  private:
    void viewDidLoad();
    void rebuild();
    void startReachability();

    std::unique_ptr<Ui::HuxNavigationViewCtrl> ui_;
    std::vector<std::shared_ptr<ZemToolModel>> toolModels_;
    QString networkImageName_;
    dispatch::NotificationCenter::ObserverId listObserver_ = 0;
};
