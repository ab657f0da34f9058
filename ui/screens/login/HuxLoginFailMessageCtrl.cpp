#include "HuxLoginFailMessageCtrl.h"

#include "ui/screens/controls/ColorRGB.h"
#include "ui_HuxLoginFailMessageCtrl.h"

HuxLoginFailMessageCtrl::HuxLoginFailMessageCtrl(QObject* parent) : WindowController(parent) {}

HuxLoginFailMessageCtrl::~HuxLoginFailMessageCtrl() = default;

ZemHoverButton* HuxLoginFailMessageCtrl::findpwd_btn() const {
    return ui_ ? ui_->findpwd_btn : nullptr;
}

QWidget* HuxLoginFailMessageCtrl::loadWindow() {
    auto* window = new QWidget(nullptr, Qt::Window);
    ui_ = std::make_unique<Ui::HuxLoginFailMessageCtrl>();
    ui_->setupUi(window);
    return window;
}

void HuxLoginFailMessageCtrl::windowDidLoad() {
    QPalette palette = ui_->findpwd_btn->palette();
    palette.setColor(QPalette::ButtonText, RGB::fromRGB(0x057CFF));
    ui_->findpwd_btn->setPalette(palette);
}
