#include "ZemDetailCell.h"

#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/ImageExtension.h"
#include "ui_ZemDetailCell.h"
#include "ui_ZemDetailTabelSectionHeaderView.h"

namespace {

constexpr std::uint32_t kFailedItem = 0xEE5958;
constexpr std::uint32_t kPassedItem = 0x259B24;
constexpr std::uint32_t kFailedCategory = 0xF46F16;
constexpr std::uint32_t kPassedCategory = 0x2894F1;

}  // namespace

void showNamedImage(QLabel* label, const QString& name) {
    if (!label) return;
    label->setProperty("imageName", name);
    label->setPixmap(Extension::imageWithName(name));
}

void setTextColor(QWidget* widget, const QColor& color) {
    // The screens' style sheets would override a palette colour alone.
    widget->setStyleSheet(QStringLiteral("color: %1;").arg(color.name()));
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

ZemDetailCell::ZemDetailCell(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::ZemDetailCell>()) {
    ui_->setupUi(this);
    setFixedHeight(53);
    connect(ui_->repairBtn, &QPushButton::clicked, this, &ZemDetailCell::tapRepairBtn);
}

ZemDetailCell::~ZemDetailCell() = default;

QLabel* ZemDetailCell::titleLb() const {
    return ui_->titleLb;
}
QLabel* ZemDetailCell::detailLb() const {
    return ui_->detailLb;
}
QLabel* ZemDetailCell::stateLb() const {
    return ui_->stateLb;
}
ZemHoverButton* ZemDetailCell::repairBtn() const {
    return ui_->repairBtn;
}

void ZemDetailCell::setUIWithModel(const ZemCheckModel& model) {
    ui_->titleLb->setText(QString::fromStdString(model.title));
    ui_->detailLb->setText(QString::fromStdString(model.detail));
    ZemHoverButton* repair = ui_->repairBtn;
    repair->setIsAllHover(true);
    repair->setBgImage(Extension::imageWithName("repairBtn"), ZemHoverButton::kStateNormal);
    repair->setBgImage(Extension::imageWithName("repairBtn_hover"), ZemHoverButton::kStateHover);
    repair->initialDefaultBgImageView(Extension::imageWithName("repairBtn"));
    QLabel* state = ui_->stateLb;
    if (model.isWarn) {
        state->setText("异常");
        setTextColor(state, RGB::fromRGB(kFailedItem));
        const bool canRepair = !model.keyword.empty();
        repair->setVisible(canRepair);
        state->setVisible(!canRepair);
    } else {
        state->setText("正常");
        setTextColor(state, RGB::fromRGB(kPassedItem));
        state->setVisible(true);
        repair->setVisible(false);
    }
}

void ZemDetailCell::tapRepairBtn() {
    if (tapBlock_) tapBlock_();
}

ZemDetailTabelSectionHeaderView::ZemDetailTabelSectionHeaderView(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::ZemDetailTabelSectionHeaderView>()) {
    ui_->setupUi(this);
    setFixedHeight(39);
}

ZemDetailTabelSectionHeaderView::~ZemDetailTabelSectionHeaderView() = default;

QLabel* ZemDetailTabelSectionHeaderView::titleLb() const {
    return ui_->titleLb;
}
QLabel* ZemDetailTabelSectionHeaderView::headIcon() const {
    return ui_->headIcon;
}
QLabel* ZemDetailTabelSectionHeaderView::repairNumLb() const {
    return ui_->repairNumLb;
}

void ZemDetailTabelSectionHeaderView::setUIWithModel(const ZemRootModel& model) {
    ui_->titleLb->setText(QString::fromStdString(model.name));
    ui_->repairNumLb->setVisible(false);
    if (model.isWarn) {
        setTextColor(ui_->titleLb, RGB::fromRGB(kFailedCategory));
        showNamedImage(ui_->headIcon, "sectionIcon_unsafe");
        if (model.repairNum > 0) {
            ui_->repairNumLb->setText(QString::asprintf("%ld项待修复", static_cast<long>(model.repairNum)));
            ui_->repairNumLb->setVisible(true);
        }
    } else {
        setTextColor(ui_->titleLb, RGB::fromRGB(kPassedCategory));
        showNamedImage(ui_->headIcon, "sectionIcon_safe");
    }
}
