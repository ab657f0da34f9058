#include "HuxNavigationViewCtrl.h"

#include <QLabel>
#include <QNetworkInformation>
#include <QPointer>
#include <QTreeWidgetItem>
#include <QUrl>
#include <algorithm>

#include "HuxNavigationCellView.h"
#include "NavigationList.h"
#include "platform/dispatch/WorkQueue.h"
#include "ui/screens/base/UrlOpener.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/tools/ZemToolModel.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_HuxNavigationViewCtrl.h"

namespace {

constexpr int kRowHeight = 56;

QPixmap namedImage(const QString& name) {
    return QPixmap(QStringLiteral(":/hux/images/") + name + QStringLiteral(".png"));
}

}  // namespace

HuxNavigationViewCtrl::HuxNavigationViewCtrl(QWidget* parent)
    : CustomViewControllerBase(parent), ui_(std::make_unique<Ui::HuxNavigationViewCtrl>()) {
    ui_->setupUi(this);
    viewDidLoad();
}

HuxNavigationViewCtrl::~HuxNavigationViewCtrl() {
    dispatch::NotificationCenter::defaultCenter().removeObserver(listObserver_);
}

NavigationList* HuxNavigationViewCtrl::NavigationTableView() const {
    return ui_->NavigationTableView;
}
QLabel* HuxNavigationViewCtrl::networkStateImage() const {
    return ui_->networkStateImage;
}
QLabel* HuxNavigationViewCtrl::tipsNewrokLab() const {
    return ui_->tipsNewrokLab;
}
QWidget* HuxNavigationViewCtrl::emptyView() const {
    return ui_->emptyView;
}

HuxNavigationCellView* HuxNavigationViewCtrl::cellAt(int row) const {
    QTreeWidgetItem* item = ui_->NavigationTableView->topLevelItem(row);
    return item ? qobject_cast<HuxNavigationCellView*>(ui_->NavigationTableView->itemWidget(item, 0))
                : nullptr;
}

void HuxNavigationViewCtrl::viewDidLoad() {
    updateSourceData();
    startReachability();
    // The list's change arrives on the watcher's thread; the rebuild hops to the main queue.
    QPointer<HuxNavigationViewCtrl> self(this);
    listObserver_ = dispatch::NotificationCenter::defaultCenter().addObserver(
        hux::UpdateAppMgtListForConfigNoticationKey, nullptr, [self](const dispatch::Notification&) {
            dispatch::WorkQueue::main()->dispatch([self] {
                if (self) self->rebuild();
            });
        });
}

void HuxNavigationViewCtrl::startReachability() {
    updateNetWorkStatus(StatusUnknown);
    if (!QNetworkInformation::instance() &&
        !QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    auto map = [](QNetworkInformation::Reachability reachability) {
        switch (reachability) {
            case QNetworkInformation::Reachability::Disconnected:
                return NotReachable;
            case QNetworkInformation::Reachability::Unknown:
                return StatusUnknown;
            default:
                return QNetworkInformation::instance()->transportMedium() ==
                               QNetworkInformation::TransportMedium::Cellular
                           ? ReachableViaWWAN
                           : ReachableViaWiFi;
        }
    };
    QNetworkInformation* info = QNetworkInformation::instance();
    connect(info, &QNetworkInformation::reachabilityChanged, this,
            [this, map](QNetworkInformation::Reachability r) { updateNetWorkStatus(map(r)); });
    updateNetWorkStatus(map(info->reachability()));
}

void HuxNavigationViewCtrl::updateSourceData() {
    QPointer<HuxNavigationViewCtrl> self(this);
    dispatch::WorkQueue::main()->dispatch([self] {
        if (self) self->rebuild();
    });
}

void HuxNavigationViewCtrl::rebuild() {
    toolModels_.clear();
    if (auto list = hux::RavAvizaLoginHelper::AppMgrList()) {
        if (const archive::Array* entries = list->array()) {
            for (const archive::Value& entry : *entries) {
                if (auto model = ZemToolModel::initWithDictionary(entry))
                    toolModels_.push_back(std::move(model));
            }
        }
    }
    std::stable_sort(toolModels_.begin(), toolModels_.end(),
                     [](const auto& a, const auto& b) { return a->appSerialNum < b->appSerialNum; });
    ReloadNavigationData();
}

void HuxNavigationViewCtrl::ReloadNavigationData() {
    NavigationList* list = ui_->NavigationTableView;
    ui_->emptyView->setVisible(toolModels_.empty());
    list->setVisible(!toolModels_.empty());
    list->clear();
    for (const auto& model : toolModels_) {
        auto* item = new QTreeWidgetItem(list);
        item->setFlags(Qt::ItemIsEnabled);
        item->setSizeHint(0, QSize(0, kRowHeight));
        auto* cell = new HuxNavigationCellView();
        cell->titleLb()->setText(QString::fromStdString(model->appName));
        const QString address = QString::fromStdString(model->desUrl);
        cell->setTapBlock([address] {
            if (!address.isEmpty()) UrlOpener::open(address);
        });
        list->setItemWidget(item, 0, cell);
    }
    list->expandAll();
    emit reloaded();
}

void HuxNavigationViewCtrl::updateNetWorkStatus(int status) {
    QString image;
    QString key;
    if (status == ReachableViaWWAN || status == ReachableViaWiFi) {
        image = QStringLiteral("Hux-icon");
        key = QStringLiteral("HuxSuccess");
    } else if (status == NotReachable || status == StatusUnknown) {
        image = QStringLiteral("Hux-gray");
        key = QStringLiteral("ReconnectServer");
    } else {
        return;
    }
    networkImageName_ = image;
    ui_->networkStateImage->setPixmap(namedImage(image));
    ui_->tipsNewrokLab->setText(Localizable::localizedString(key));
}
