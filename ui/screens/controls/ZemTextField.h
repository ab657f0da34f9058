// The app's text-field family, used in the screens' .ui files (promote a QLineEdit):
//   ZemTextField          text 0x333333, grey placeholder, a 0xDDDDDD frame line, Ctrl+X/C/V/A
//                         sent to the window's focus widget, and a delegate told on focus-in;
//   ZemTextColorField     text 0xA9A9A9;
//   ZemSecureTextField    password field, black text, placeholder 0xA9A9A9;
//   ZemSecureBorderField  password field, black text, a 0xA9A9A9 frame line.
// Text colours are set at construction, so a screen may change them afterwards; placeholder
// colours when the widget is first polished (after the .ui set the placeholder) and, for
// ZemTextField, again on every focus-in. In a .ui file, promote a QLineEdit
// with the header "ui/screens/controls/ZemTextField.h".
#pragma once

#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>

class ZemTextField;

// Told when a ZemTextField takes the keyboard focus.
class ZemTextFieldDelegate {
  public:
    virtual ~ZemTextFieldDelegate() = default;
    virtual void notifyToBecomeFirstResponder(ZemTextField* field) { (void)field; }
};

class ZemTextField : public QLineEdit {
    Q_OBJECT
  public:
    explicit ZemTextField(QWidget* parent = nullptr);

    // Not owned; the delegate must outlive the field or be cleared.
    ZemTextFieldDelegate* textfieldDelegate() const { return textfieldDelegate_; }
    void setTextfieldDelegate(ZemTextFieldDelegate* delegate) { textfieldDelegate_ = delegate; }

    // Ctrl+X, Ctrl+C, Ctrl+V and Ctrl+A (exactly Ctrl, no other modifier) send cut, copy, paste
    // and selectAll to the window's focus widget; true when one was sent and handled.
    bool performKeyEquivalent(QKeyEvent* event);
    // Grey (0x999999) 12-point placeholder when the placeholder is not empty.
    void applyPlaceholderStyle();

  protected:
    bool event(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    ZemTextFieldDelegate* textfieldDelegate_ = nullptr;
};

class ZemTextColorField : public QLineEdit {
    Q_OBJECT
  public:
    explicit ZemTextColorField(QWidget* parent = nullptr);
};

class ZemSecureTextField : public QLineEdit {
    Q_OBJECT
  public:
    explicit ZemSecureTextField(QWidget* parent = nullptr);

  protected:
    bool event(QEvent* event) override;
};

class ZemSecureBorderField : public QLineEdit {
    Q_OBJECT
  public:
    explicit ZemSecureBorderField(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};
