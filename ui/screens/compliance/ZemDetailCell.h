// The compliance outline's cells: an item row (title, detail, state text or repair button) and a
// category header (icon, name, number of items to repair). Each loads the .ui file named after it.
#pragma once

#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>

#include "ui/screens/controls/ZemHoverButton.h"
#include "ui/session/compliance/ZemCheckModel.h"

namespace Ui {
class ZemDetailCell;
class ZemDetailTabelSectionHeaderView;
}  // namespace Ui

class ZemDetailCell : public QWidget {
    Q_OBJECT
  public:
    explicit ZemDetailCell(QWidget* parent = nullptr);
    ~ZemDetailCell() override;

    void setUIWithModel(const ZemCheckModel& model);
    void setTapBlock(std::function<void()> block) { tapBlock_ = std::move(block); }
    // Action of repairBtn: calls tapBlock when it is set.
    void tapRepairBtn();

    QLabel* titleLb() const;
    QLabel* detailLb() const;
    QLabel* stateLb() const;
    ZemHoverButton* repairBtn() const;

  private:
    std::unique_ptr<Ui::ZemDetailCell> ui_;
    std::function<void()> tapBlock_;
};

class ZemDetailTabelSectionHeaderView : public QWidget {
    Q_OBJECT
  public:
    explicit ZemDetailTabelSectionHeaderView(QWidget* parent = nullptr);
    ~ZemDetailTabelSectionHeaderView() override;

    void setUIWithModel(const ZemRootModel& model);

    QLabel* titleLb() const;
    QLabel* headIcon() const;
    QLabel* repairNumLb() const;

  private:
    std::unique_ptr<Ui::ZemDetailTabelSectionHeaderView> ui_;
};

// Shows a named image (Extension::imageWithName) in a label and keeps its name in the label's
// "imageName" property, so what a view shows can be read back.
void showNamedImage(QLabel* label, const QString& name);
// The label's text colour (the foreground of its palette).
void setTextColor(QWidget* widget, const QColor& color);
