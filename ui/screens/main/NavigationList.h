// The navigation view's list: an outline without disclosure triangles or indentation, whose
// rows span the list's full width.
#pragma once

#include <QTreeWidget>

class NavigationList : public QTreeWidget {
    Q_OBJECT
  public:
    explicit NavigationList(QWidget* parent = nullptr);
};
