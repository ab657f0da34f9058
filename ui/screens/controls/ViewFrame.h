// Frame-edge accessors for widgets, in the parent's coordinates (top-left origin).
#pragma once

class QWidget;

namespace frame {

int left(const QWidget* view);
int right(const QWidget* view);
int top(const QWidget* view);
int bottom(const QWidget* view);
int width(const QWidget* view);
int height(const QWidget* view);

// Each moves (left, top) or resizes (width, height); right and bottom move the widget so that
// the edge lands there, keeping its size.
void setLeft(QWidget* view, int left);
void setRight(QWidget* view, int right);
void setTop(QWidget* view, int top);
void setBottom(QWidget* view, int bottom);
void setWidth(QWidget* view, int width);
void setHeight(QWidget* view, int height);

}  // namespace frame
