// Base of the app's top-level windows (main window, device-info window, trusted-app window, login
// window): white, untitled, with only the close button in its title bar, and draggable by its
// background. Before it is first shown it runs awakeFromNib(): the white background, then
// _handleWindowBar() (untitled bar, close button only), then handleTitleView(), which subclasses
// override to show more title-bar buttons (e.g. setWindowFlag(Qt::WindowMinimizeButtonHint)).
#pragma once

#include <QWidget>

class ZemBaseWindow : public QWidget {
    Q_OBJECT
  public:
    explicit ZemBaseWindow(QWidget* parent = nullptr);
    ~ZemBaseWindow() override;

    void setVisible(bool visible) override;
    bool awoken() const { return awoken_; }

  protected:
    virtual void awakeFromNib();
    void _handleWindowBar();
    // Hides the minimise and zoom buttons.
    virtual void handleTitleView();

    void mousePressEvent(QMouseEvent* event) override;

  private:
    bool awoken_ = false;
};
