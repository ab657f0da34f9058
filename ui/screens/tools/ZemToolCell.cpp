#include "ZemToolCell.h"

#include <QPainter>
#include <QPainterPath>

#include "ui/screens/controls/ImageExtension.h"

namespace {

constexpr int kSide = 110;
constexpr int kIcon = 60;

}  // namespace

ZemToolCell::ZemToolCell(QWidget* parent) : QPushButton(parent) {
    setGeometry(0, 0, kSide, kSide);
    setFixedSize(kSide, kSide);
    setFlat(true);
    setEnabled(true);
    setText(QString());
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover);

    iconView_ = new QLabel(this);
    iconView_->setGeometry(static_cast<int>((width() - kIcon) * 0.5), 10, kIcon, kIcon);
    iconView_->setScaledContents(true);
    iconView_->setAttribute(Qt::WA_TransparentForMouseEvents);

    titleLabel_ = new QLabel(this);
    titleLabel_->setTextFormat(Qt::PlainText);
    titleLabel_->setGeometry(5, 75, width() - 10, 21);
    titleLabel_->setAlignment(Qt::AlignCenter);
    titleLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    titleLabel_->setAutoFillBackground(false);
    QPalette palette = titleLabel_->palette();
    palette.setColor(QPalette::WindowText, QColor::fromRgbF(0.1, 0.1, 0.1, 1.0));
    titleLabel_->setPalette(palette);
    QFont font = titleLabel_->font();
    font.setPixelSize(13);
    titleLabel_->setFont(font);
}

ZemToolCell* ZemToolCell::initWithModel(std::shared_ptr<ZemToolModel> model, QWidget* parent) {
    auto* cell = new ZemToolCell(parent);
    cell->setToolModel(std::move(model));
    return cell;
}

QString ZemToolCell::imageNameForIcon(const std::string& icon) {
    const QString name = QString::fromStdString(icon.substr(0, icon.find('.')));
    if (!name.isEmpty() && !Extension::imageWithName(name).isNull()) return name;
    return QStringLiteral("AppIcon");
}

void ZemToolCell::setToolModel(std::shared_ptr<ZemToolModel> model) {
    toolModel_ = std::move(model);
    shownImageName_ = imageNameForIcon(toolModel_ ? toolModel_->icon : std::string());
    iconView_->setPixmap(Extension::imageWithName(shownImageName_));
    const QString name = toolModel_ ? QString::fromStdString(toolModel_->appName) : QString();
    // The tool's name is the server's text: the tooltip, a rich text, gets it escaped.
    titleLabel_->setToolTip(name.isEmpty() ? QString()
                                           : QStringLiteral("<qt>%1</qt>").arg(name.toHtmlEscaped()));
    titleLabel_->setText(titleLabel_->fontMetrics().elidedText(name, Qt::ElideRight, titleLabel_->width()));
}

void ZemToolCell::setCompletion(std::function<void(ZemToolCell*)> completion) {
    completion_ = std::move(completion);
    if (!targetSet_) {
        targetSet_ = true;
        connect(this, &QPushButton::clicked, this, [this] { toolButtonAction(this); });
    }
}

void ZemToolCell::toolButtonAction(QObject*) {
    if (completion_) completion_(this);
}

void ZemToolCell::mouseEntered() {
    layerBackgroundColor_ = QColor::fromRgbF(0.95, 0.95, 0.95, 1.0);
    update();
}

void ZemToolCell::mouseExited() {
    layerBackgroundColor_ = Qt::transparent;
    update();
}

void ZemToolCell::enterEvent(QEnterEvent* event) {
    QPushButton::enterEvent(event);
    mouseEntered();
}

void ZemToolCell::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    mouseExited();
}

void ZemToolCell::paintEvent(QPaintEvent*) {
    // No bezel: only the layer's background with its corner radius.
    if (layerBackgroundColor_.alpha() == 0) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 3.0, 3.0);
    painter.fillPath(path, layerBackgroundColor_);
}
