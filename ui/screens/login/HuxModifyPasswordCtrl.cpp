#include "HuxModifyPasswordCtrl.h"

#include <QVBoxLayout>

#include "ui_HuxModifyPasswordCtrl.h"

HuxModifyPasswordCtrl::HuxModifyPasswordCtrl(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::HuxModifyPasswordCtrl>()) {
    ui_->setupUi(this);
    windowDidLoad();
}

HuxModifyPasswordCtrl::~HuxModifyPasswordCtrl() = default;

QAbstractButton* HuxModifyPasswordCtrl::savebtn() const {
    return ui_->savebtn;
}

void HuxModifyPasswordCtrl::windowDidLoad() {
    content_ = new HuxModifypasswordViewCtrl(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content_);
    setFixedSize(content_->size());
}
