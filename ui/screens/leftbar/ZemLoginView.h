// The login-mode switch: "扫码登录" (QR code, tag 0) and "账号登录" (account, tag 1), or only one
// of them, as the machine-wide userlogin.archive offers ("qrcode_login", "pc_account_login"). The
// selected mode's title is blue, the other grey; a click selects a mode and calls the completion
// with the clicked button. In a .ui file, promote a QWidget with the header
// "ui/screens/leftbar/ZemLoginView.h"; the owner calls awakeFromNib once the view has its size.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <functional>

class ZemLoginView : public QWidget {
    Q_OBJECT
  public:
    using Completion = std::function<void(QPushButton*)>;
    static constexpr int kButtonWidth = 58;
    static constexpr int kButtonHeight = 32;

    explicit ZemLoginView(QWidget* parent = nullptr);

    // Selects the QR mode and lays the buttons out by the login-mode file.
    void awakeFromNib();

    QPushButton* qr_btn() const { return qr_btn_; }
    QPushButton* ac_btn() const { return ac_btn_; }
    // The "/" between the two buttons; null when only one is shown.
    QLabel* separator() const { return separator_; }

    const Completion& completion() const { return completion_; }
    void setCompletion(Completion completion) { completion_ = std::move(completion); }

    std::int64_t slectBtn() const { return slectBtn_; }
    bool isSelectQRbtn() const { return isSelectQRbtn_; }
    bool isSelectACbtn() const { return isSelectACbtn_; }

    void qrbtnAction(QPushButton* sender);
    void acbtnAction(QPushButton* sender);
    QPushButton* createQRbtn(const QRect& frame);
    QPushButton* createACbtn(const QRect& frame);
    // Colours each existing button's title by whether its mode is selected.
    void changeBtnUI();

    // The tag a button of this view carries (0 QR, 1 account).
    static long tagOf(const QObject* button);
    // The title colour a button shows.
    static QColor titleColorOf(const QPushButton* button);

  private:
    void setupSubViews();
    QPushButton* createButton(const QRect& frame, const QString& title, long tag);

    QPointer<QPushButton> qr_btn_;
    QPointer<QPushButton> ac_btn_;
    QPointer<QLabel> separator_;
    Completion completion_;
    std::int64_t slectBtn_ = 0;
    bool isSelectQRbtn_ = true;
    bool isSelectACbtn_ = false;
};
