// One row of the navigation list: the tool's name; a click runs tapBlock. The row turns light
// blue (0xE5EBF4) while the pointer is over it.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class QLabel;

namespace Ui {
class HuxNavigationCellView;
}

class HuxNavigationCellView : public QWidget {
    Q_OBJECT
  public:
    explicit HuxNavigationCellView(QWidget* parent = nullptr);
    ~HuxNavigationCellView() override;

    QLabel* titleLb() const;
    void setTapBlock(std::function<void()> block) { tapBlock_ = std::move(block); }
    // The row's click: runs tapBlock when one is set.
    void tabClickBtn();
    void mouseEntered();
    void mouseExited();
    // The row's background now.
    QColor backgroundColor() const;

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void setBackground(const QColor& color);

    std::unique_ptr<Ui::HuxNavigationCellView> ui_;
    std::function<void()> tapBlock_;
};
