// The app's message box: an icon by style (0 "msg_box_ok", 1 "msg_box_info", 2
// "msg_box_warnning", other none), a title, a message, an optional check box and two buttons, each
// shown only when it has a title. Run it with AppWindows::runModalForWindow(box.window()) or
// CustomViewControllerBase's helpers; a button ends the session running the box and closes it:
//   first button  -> 0, or 3 when the check box is shown and ticked;
//   second button -> 1, or 4 when the check box is shown and ticked.
// The same code is emitted as buttonClicked, for a box shown without a modal session.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <memory>

#include "BaseWindowController.h"
#include "ui/screens/controls/CustomButton.h"

namespace Ui {
class CustomMessageBox;
}

class CustomMessageBox : public BaseWindowController {
    Q_OBJECT
  public:
    static constexpr long kFirstButton = 0;
    static constexpr long kSecondButton = 1;
    static constexpr long kFirstButtonChecked = 3;
    static constexpr long kSecondButtonChecked = 4;

    explicit CustomMessageBox(QObject* parent = nullptr);
    ~CustomMessageBox() override;

    void setTitle(const QString& title, const QString& message, long boxStyle,
                  const QString& firstButtonTitle, const QString& secondButtonTitle);
    void setTitle(const QString& title, const QString& message, long boxStyle, const QString& checkBoxTitle,
                  const QString& firstButtonTitle, const QString& secondButtonTitle);

    // The image name of a style; empty for a style without an image.
    static QString imageNameForStyle(long boxStyle);

    // Outlets (null before the window is loaded).
    QLabel* titleLabel() const;
    QLabel* imageView() const;
    QLabel* messageLabel() const;
    CustomButton* firstButton() const;
    CustomButton* secondButton() const;
    QCheckBox* checkBox() const;

  public slots:
    void onFirstButtonClicked();
    void onSecondButtonClicked();

  signals:
    void buttonClicked(long code);

  protected:
    QWidget* loadWindow() override;
    void windowDidLoad() override;

  private:
    void finish(long code);
    void fillButton(CustomButton* button, const QString& title);

    std::unique_ptr<Ui::CustomMessageBox> ui_;
};
