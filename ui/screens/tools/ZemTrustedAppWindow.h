// The trusted-apps window: the trusted cloud apps of qzncloudlist.archive grouped by category,
// one row per category in the order of its serial number, in a scrolling list.
#pragma once

#include <QPushButton>
#include <QScrollArea>
#include <QWidget>
#include <memory>
#include <vector>

#include "ZemToolModel.h"
#include "ui/screens/base/ZemBaseWindow.h"

namespace Ui {
class ZemTrustedAppWindow;
}

class ZemTrustAppCell;

class ZemTrustedAppWindow : public ZemBaseWindow {
    Q_OBJECT
  public:
    explicit ZemTrustedAppWindow(QWidget* parent = nullptr);
    ~ZemTrustedAppWindow() override;

    // The window of the interface file of that name, loaded and awake; null for any other name.
    static std::unique_ptr<ZemTrustedAppWindow> initialWithNibName(const QString& nibName);

    std::vector<std::shared_ptr<ZemCategoryMode>>& categoryModes() { return categoryModes_; }
    QWidget* trustListView() const;
    QScrollArea* mainView() const;
    QPushButton* trustlistBtn() const;
    // The rows placed, top to bottom.
    std::vector<ZemTrustAppCell*> rows() const;

    void loadTrustedApp();
    void loadSubView();

  protected:
    void awakeFromNib() override;

  private:
    std::unique_ptr<Ui::ZemTrustedAppWindow> ui_;
    std::vector<std::shared_ptr<ZemCategoryMode>> categoryModes_;
    bool loaded_ = false;
};
