// One office tool as a 110 × 110 button: its icon (the image named by the model's icon up to its
// first ".", else "AppIcon") over its name. The pointer's entry greys the background; a click
// calls the completion with the cell.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <functional>
#include <memory>

#include "ZemToolModel.h"

class ZemToolCell : public QPushButton {
    Q_OBJECT
  public:
    explicit ZemToolCell(QWidget* parent = nullptr);  // initWithFrame with the 110 × 110 frame
    static ZemToolCell* initWithModel(std::shared_ptr<ZemToolModel> model, QWidget* parent = nullptr);

    QLabel* iconView() const { return iconView_; }
    QLabel* titleLabel() const { return titleLabel_; }
    const std::shared_ptr<ZemToolModel>& toolModel() const { return toolModel_; }
    void setToolModel(std::shared_ptr<ZemToolModel> model);
    const std::function<void(ZemToolCell*)>& completion() const { return completion_; }
    void setCompletion(std::function<void(ZemToolCell*)> completion);
    void toolButtonAction(QObject* sender);

    // The image name an icon text names; "AppIcon" stands in for one without an image.
    static QString imageNameForIcon(const std::string& icon);
    QString shownImageName() const { return shownImageName_; }

    // The background drawn now (clear or white 0.95).
    QColor layerBackgroundColor() const { return layerBackgroundColor_; }
    void mouseEntered();
    void mouseExited();

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    std::shared_ptr<ZemToolModel> toolModel_;
    std::function<void(ZemToolCell*)> completion_;
    QLabel* iconView_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QString shownImageName_;
    QColor layerBackgroundColor_ = Qt::transparent;
    bool targetSet_ = false;
};
