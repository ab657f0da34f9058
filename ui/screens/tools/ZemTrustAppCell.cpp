#include "ZemTrustAppCell.h"

#include <cmath>

#include "common/cipher/StringExtensionSize.h"
#include "ui/screens/controls/ColorRGB.h"

namespace {

void styleLabel(QLabel* label, const QFont& font, const QColor& color) {
    label->setFont(font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    label->setAutoFillBackground(false);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

}  // namespace

ZemTrustAppCell::ZemTrustAppCell(QWidget* parent) : QWidget(parent) {
    categoryLable_ = new QLabel(this);
    appNameLable_ = new QLabel(this);
    // Categories and app names are the server's texts: shown as typed.
    categoryLable_->setTextFormat(Qt::PlainText);
    appNameLable_->setTextFormat(Qt::PlainText);
}

QFont ZemTrustAppCell::rowFont() {
    QFont font(QStringLiteral("PingFangSC-Light"));
    font.setPixelSize(14);
    return font;
}

ZemTrustAppCell* ZemTrustAppCell::initWithModel(const std::shared_ptr<ZemCategoryMode>& model,
                                                QWidget* parent) {
    auto* cell = new ZemTrustAppCell(parent);
    const QFont font = rowFont();
    const QString category = model ? QString::fromStdString(model->categoryType) : QString();
    const QString apps = model ? QString::fromStdString(model->trustAppListName()) : QString();
    const QSizeF maxSize(kTextWidth, 1e7);
    const QSizeF categorySize = Extension::sizeWithText(category, font, maxSize);
    const QSizeF appsSize = Extension::sizeWithText(apps, font, maxSize);
    const int hc = static_cast<int>(std::ceil(categorySize.height()));
    const int wa = static_cast<int>(std::ceil(appsSize.width()));
    const int ha = static_cast<int>(std::ceil(appsSize.height()));

    cell->setGeometry(0, 0, kRowWidth, hc + ha);
    // The category on top; the apps below it, reaching 5 points into the category's line box.
    cell->categoryLable_->setGeometry(0, 0, kTextWidth, hc);
    cell->categoryLable_->setText(QStringLiteral("%1\uFF1A").arg(category));
    styleLabel(cell->categoryLable_, font, Qt::black);
    cell->appNameLable_->setGeometry(0, hc - 5, wa + 8, ha);
    cell->appNameLable_->setText(apps);
    styleLabel(cell->appNameLable_, font, RGB::fromRGB(0xA9A9A9));
    return cell;
}
