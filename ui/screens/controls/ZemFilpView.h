// A plain container view whose origin is the top-left corner (as every QWidget's is); kept so
// layouts can name it.
#pragma once

#include <QWidget>

class ZemFilpView : public QWidget {
    Q_OBJECT
  public:
    using QWidget::QWidget;
    bool isFlipped() const { return true; }
};
