// The callout that shows the password rule beside a new-password field: a shadowed
// PasswordNotesBackgroundView holding the tip label. Its controller shows and places it.
#pragma once

#include <QLabel>
#include <QWidget>
#include <memory>

namespace Ui {
class ZemCheckPasswordFormat;
}

class ZemCheckPasswordFormat : public QWidget {
    Q_OBJECT
  public:
    explicit ZemCheckPasswordFormat(QWidget* parent = nullptr);
    ~ZemCheckPasswordFormat() override;

    QLabel* tipsLab() const;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void viewDidLoad();
    std::unique_ptr<Ui::ZemCheckPasswordFormat> ui_;
};
