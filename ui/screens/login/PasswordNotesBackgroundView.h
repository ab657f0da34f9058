// The password-rule callout's shape: a white box with a pointer on its top edge, tip at x 16.
#pragma once

#include <QPainterPath>
#include <QWidget>

class PasswordNotesBackgroundView : public QWidget {
    Q_OBJECT
  public:
    explicit PasswordNotesBackgroundView(QWidget* parent = nullptr);

    // The outline in a view of the given size.
    static QPainterPath calloutPath(const QSizeF& size);

  protected:
    void paintEvent(QPaintEvent* event) override;
};
