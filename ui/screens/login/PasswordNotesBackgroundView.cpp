#include "PasswordNotesBackgroundView.h"

#include <QPainter>

PasswordNotesBackgroundView::PasswordNotesBackgroundView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
}

QPainterPath PasswordNotesBackgroundView::calloutPath(const QSizeF& size) {
    const qreal w = size.width();
    const qreal h = size.height();
    // From the tip along the pointer's right side, round the box, back to the pointer's left foot.
    QPainterPath path(QPointF(16, 0));
    path.lineTo(22, 4);
    path.lineTo(w - 1, 4);
    path.lineTo(w - 1, h - 1);
    path.lineTo(1, h - 1);
    path.lineTo(1, 4);
    path.lineTo(10, 4);
    path.closeSubpath();
    return path;
}

void PasswordNotesBackgroundView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.fillPath(calloutPath(size()), Qt::white);
}
