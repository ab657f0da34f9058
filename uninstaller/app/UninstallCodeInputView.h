// The uninstall-code window: attached above a parent window, it compares the entered code with
// the expected one and reports a match; an empty or wrong entry keeps it open with a hint.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class QLineEdit;

namespace Ui {
class UninstallCodeInputView;
}

namespace quillet {

class UninstallCodeInputView : public QWidget {
    Q_OBJECT
  public:
    explicit UninstallCodeInputView(QWidget* parent = nullptr);
    ~UninstallCodeInputView() override;

    void showAtwindow(QWidget* window, const QString& password, std::function<void(bool)> completion);
    void confirmButtonAction();
    void cancelButtonAction();

    QLineEdit* codeTextField() const;
    const QString& uninstallPassword() const { return uninstallPassword_; }

  private:
    std::unique_ptr<Ui::UninstallCodeInputView> ui_;
    QString uninstallPassword_;
    std::function<void(bool)> checkCompletion;
};

}  // namespace quillet
