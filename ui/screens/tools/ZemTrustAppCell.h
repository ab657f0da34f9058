// One row of the trusted-apps window: the category's name with a full-width colon, and under it
// its apps joined by "、" in grey, each label as high as its text needs within 290 points.
#pragma once

#include <QLabel>
#include <QWidget>
#include <memory>

#include "ZemToolModel.h"

class ZemTrustAppCell : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kRowWidth = 300;
    static constexpr int kTextWidth = 290;

    explicit ZemTrustAppCell(QWidget* parent = nullptr);
    static ZemTrustAppCell* initWithModel(const std::shared_ptr<ZemCategoryMode>& model,
                                          QWidget* parent = nullptr);

    QLabel* categoryLable() const { return categoryLable_; }
    QLabel* appNameLable() const { return appNameLable_; }

    static QFont rowFont();

  private:
    QLabel* categoryLable_ = nullptr;
    QLabel* appNameLable_ = nullptr;
};
