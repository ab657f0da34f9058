#include "HuxServerSetingWinCtrl.h"

#include <QPushButton>

#include "ServerAddressRequest.h"
#include "StringExtension.h"
#include "ui/screens/controls/ZemTextField.h"
#include "ui_HuxServerSetingWinCtrl.h"

HuxServerSetingWinCtrl::HuxServerSetingWinCtrl(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::HuxServerSetingWinCtrl>()) {
    ui_->setupUi(this);
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { okButtonPush(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { cancelButtonPush(); });
}

HuxServerSetingWinCtrl::~HuxServerSetingWinCtrl() = default;

QAbstractButton* HuxServerSetingWinCtrl::savebtn() const { return ui_->savebtn; }
ZemTextField* HuxServerSetingWinCtrl::domainOrIPLab() const { return ui_->domainOrIPLab; }
ZemTextField* HuxServerSetingWinCtrl::PortLab() const { return ui_->PortLab; }

bool HuxServerSetingWinCtrl::isPureNumandCharacters(const QString& text) {
    return hux::isPureNumandCharacters(text, false);
}

void HuxServerSetingWinCtrl::okButtonPush() {
    const QString host = ui_->domainOrIPLab->text();
    const QString port = ui_->PortLab->text();
    if (!isPureNumandCharacters(port) || host.isEmpty() || !Extension::isValidatIP(host)) return;
    hux::writeServerAddressRequest(host, port);
    done(1);
}

void HuxServerSetingWinCtrl::cancelButtonPush() {
    done(0);
}
