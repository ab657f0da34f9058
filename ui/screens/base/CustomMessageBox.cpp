#include "CustomMessageBox.h"

#include "AppWindows.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/ImageExtension.h"
#include "ui_CustomMessageBox.h"

CustomMessageBox::CustomMessageBox(QObject* parent) : BaseWindowController(parent) {}

CustomMessageBox::~CustomMessageBox() = default;

QWidget* CustomMessageBox::loadWindow() {
    auto* window = new QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    ui_ = std::make_unique<Ui::CustomMessageBox>();
    ui_->setupUi(window);
    return window;
}

void CustomMessageBox::windowDidLoad() {
    BaseWindowController::windowDidLoad();
    // The second button is the default (blue) one; the first an outlined one.
    CustomButton* first = ui_->firstButton;
    first->setHasBorder(true);
    for (CustomButton* button : {first, ui_->secondButton}) {
        button->setCornerNormalRadius(4);
        button->setCornerHoverRadius(4);
        button->setCornerHighlightRadius(4);
        button->setCornerSelectedRadius(4);
    }
    first->setBorderNormalColor(RGB::fromRGB(0xDDDDDD));
    first->setBorderHoverColor(RGB::fromRGB(0x1C9CF7));
    first->setBorderSelectedColor(RGB::fromRGB(0x1C9CF7));
    first->setBorderSelectedWidth(1);
    first->setNormalColor(RGB::fromRGB(0x333333));
    first->setHoverColor(RGB::fromRGB(0x1C9CF7));
    first->setSelectedColor(RGB::fromRGB(0x1C9CF7));
    first->setBackgroundNormalColor(Qt::white);
    first->setBackgroundHoverColor(Qt::white);
    first->setBackgroundSelectedColor(Qt::white);
    first->setCanSelected(false);

    CustomButton* second = ui_->secondButton;
    second->setHasBorder(true);
    second->setNormalColor(Qt::white);
    second->setHoverColor(Qt::white);
    second->setSelectedColor(Qt::white);
    second->setBackgroundNormalColor(RGB::fromRGB(0x1C9CF7));
    second->setBackgroundHoverColor(RGB::fromRGB(0x47AFF9));
    second->setBackgroundSelectedColor(RGB::fromRGB(0x1C9CF7));
    second->setCanSelected(false);

    first->hide();
    second->hide();
    ui_->checkBox->hide();
    connect(first, &QPushButton::clicked, this, &CustomMessageBox::onFirstButtonClicked);
    connect(second, &QPushButton::clicked, this, &CustomMessageBox::onSecondButtonClicked);
}

QString CustomMessageBox::imageNameForStyle(long boxStyle) {
    switch (boxStyle) {
        case 0:
            return QStringLiteral("msg_box_ok");
        case 1:
            return QStringLiteral("msg_box_info");
        case 2:
            return QStringLiteral("msg_box_warnning");
        default:
            return QString();
    }
}

void CustomMessageBox::fillButton(CustomButton* button, const QString& title) {
    button->hide();
    if (title.isEmpty()) return;
    QFont font(QStringLiteral("Helvetica Neue"));
    font.setWeight(QFont::Light);
    font.setPixelSize(13);
    button->setTitle(title, button->rect(), Qt::AlignCenter, font);
    button->updateButtonApperaceWithState(button->buttonState());
    button->show();
}

void CustomMessageBox::setTitle(const QString& title, const QString& message, long boxStyle,
                                const QString& firstButtonTitle, const QString& secondButtonTitle) {
    if (!window() || !ui_) return;
    ui_->titleLabel->setText(title);
    ui_->messageLabel->setText(message);
    const QString image = imageNameForStyle(boxStyle);
    ui_->imageView->setPixmap(image.isEmpty() ? QPixmap() : Extension::imageWithName(image));
    fillButton(ui_->firstButton, firstButtonTitle);
    fillButton(ui_->secondButton, secondButtonTitle);
}

void CustomMessageBox::setTitle(const QString& title, const QString& message, long boxStyle,
                                const QString& checkBoxTitle, const QString& firstButtonTitle,
                                const QString& secondButtonTitle) {
    setTitle(title, message, boxStyle, firstButtonTitle, secondButtonTitle);
    if (!ui_ || checkBoxTitle.isEmpty()) return;
    QCheckBox* box = ui_->checkBox;
    box->setText(checkBoxTitle);
    // The title is grey (96, 96, 106) unless it was already given the light (244, 244, 244).
    QPalette palette = box->palette();
    if (palette.color(QPalette::WindowText) != QColor(244, 244, 244)) {
        palette.setColor(QPalette::WindowText, QColor(96, 96, 106));
        box->setPalette(palette);
    }
    box->show();
}

QLabel* CustomMessageBox::titleLabel() const {
    return ui_ ? ui_->titleLabel : nullptr;
}
QLabel* CustomMessageBox::imageView() const {
    return ui_ ? ui_->imageView : nullptr;
}
QLabel* CustomMessageBox::messageLabel() const {
    return ui_ ? ui_->messageLabel : nullptr;
}
CustomButton* CustomMessageBox::firstButton() const {
    return ui_ ? ui_->firstButton : nullptr;
}
CustomButton* CustomMessageBox::secondButton() const {
    return ui_ ? ui_->secondButton : nullptr;
}
QCheckBox* CustomMessageBox::checkBox() const {
    return ui_ ? ui_->checkBox : nullptr;
}

void CustomMessageBox::onFirstButtonClicked() {
    const bool ticked = ui_ && !ui_->checkBox->isHidden() && ui_->checkBox->isChecked();
    finish(ticked ? kFirstButtonChecked : kFirstButton);
}

void CustomMessageBox::onSecondButtonClicked() {
    const bool ticked = ui_ && !ui_->checkBox->isHidden() && ui_->checkBox->isChecked();
    finish(ticked ? kSecondButtonChecked : kSecondButton);
}

void CustomMessageBox::finish(long code) {
    // The code first, so the session ends with it and not with the close's abort.
    AppWindows::stopModalForWindow(isWindowLoaded() ? window() : nullptr, code);
    emit buttonClicked(code);
    close();
}
