#include "ViewFrame.h"

#include <QWidget>

namespace frame {

int left(const QWidget* view) {
    return view ? view->x() : 0;
}
int right(const QWidget* view) {
    return view ? view->x() + view->width() : 0;
}
int top(const QWidget* view) {
    return view ? view->y() : 0;
}
int bottom(const QWidget* view) {
    return view ? view->y() + view->height() : 0;
}
int width(const QWidget* view) {
    return view ? view->width() : 0;
}
int height(const QWidget* view) {
    return view ? view->height() : 0;
}

void setLeft(QWidget* view, int left) {
    if (view) view->move(left, view->y());
}
void setRight(QWidget* view, int right) {
    if (view) view->move(right - view->width(), view->y());
}
void setTop(QWidget* view, int top) {
    if (view) view->move(view->x(), top);
}
void setBottom(QWidget* view, int bottom) {
    if (view) view->move(view->x(), bottom - view->height());
}
void setWidth(QWidget* view, int width) {
    if (view) view->resize(width, view->height());
}
void setHeight(QWidget* view, int height) {
    if (view) view->resize(view->width(), height);
}

}  // namespace frame
