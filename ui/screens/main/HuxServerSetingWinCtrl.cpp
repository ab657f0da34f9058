#include "HuxServerSetingWinCtrl.h"

#include <QPushButton>

#include "ServerAddressRequest.h"
#include "StringExtension.h"
#include "ui/screens/controls/ZemTextField.h"
#include "ui_HuxServerSetingWinCtrl.h"

HuxServerSetingWinCtrl::HuxServerSetingWinCtrl(QObject* parent) : WindowController(parent) {
    window();
}

HuxServerSetingWinCtrl::~HuxServerSetingWinCtrl() = default;

QWidget* HuxServerSetingWinCtrl::loadWindow() {
    auto* window = new QWidget(nullptr, Qt::Dialog);
    ui_ = std::make_unique<Ui::HuxServerSetingWinCtrl>();
    ui_->setupUi(window);
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { okButtonPush(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { cancelButtonPush(); });
    return window;
}

QAbstractButton* HuxServerSetingWinCtrl::savebtn() const {
    return ui_ ? ui_->savebtn : nullptr;
}
ZemTextField* HuxServerSetingWinCtrl::domainOrIPLab() const {
    return ui_ ? ui_->domainOrIPLab : nullptr;
}
ZemTextField* HuxServerSetingWinCtrl::PortLab() const {
    return ui_ ? ui_->PortLab : nullptr;
}
QPushButton* HuxServerSetingWinCtrl::okButton() const {
    return ui_ ? ui_->okButton : nullptr;
}
QPushButton* HuxServerSetingWinCtrl::cancelButton() const {
    return ui_ ? ui_->cancelButton : nullptr;
}

bool HuxServerSetingWinCtrl::isPureNumandCharacters(const QString& text) {
    return hux::isPureNumandCharacters(text, false);
}

void HuxServerSetingWinCtrl::okButtonPush() {
    const QString host = ui_->domainOrIPLab->text();
    const QString port = ui_->PortLab->text();
    if (!isPureNumandCharacters(port) || host.isEmpty() || !Extension::isValidatIP(host)) return;
    // A request that could not be written keeps the sheet open, as invalid input does.
    if (!hux::writeServerAddressRequest(host, port)) return;
    endSheet(1);
}

void HuxServerSetingWinCtrl::cancelButtonPush() {
    endSheet(0);
}
