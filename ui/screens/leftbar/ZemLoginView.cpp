#include "ZemLoginView.h"

#include <optional>
#include <string>

#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"
#include "ui/screens/controls/ColorRGB.h"

namespace {

constexpr const char* kTagKey = "_q_huxLoginTag";
constexpr std::uint32_t kSelectedColor = 0x1C9CF7;
constexpr std::uint32_t kNormalColor = 0x555555;

// An integer entry of the login-mode dictionary, or a text holding one.
std::optional<std::int64_t> entryInteger(const archive::Value& dict, const char* key) {
    const archive::Value* v = dict.find(key);
    if (!v) return std::nullopt;
    if (auto i = v->integer()) return i;
    if (const auto* s = v->string()) {
        try {
            std::size_t used = 0;
            const long long n = std::stoll(*s, &used);
            if (used == s->size()) return n;
        } catch (...) {
        }
    }
    return std::nullopt;
}

// The two login modes the machine offers, as (qrcode_login, pc_account_login); nothing without a
// readable file.
std::optional<std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>>> offeredModes() {
    archive::DecodeLimits limits;
    limits.maxBytes = 1u << 20;
    auto decoded =
        archive::unarchiveObjectWithFile(paths::machineSupportFolder() + "/userlogin.archive", {}, limits);
    if (!decoded || !decoded.value->dictionary()) return std::nullopt;
    return std::make_pair(entryInteger(*decoded.value, "qrcode_login"),
                          entryInteger(*decoded.value, "pc_account_login"));
}

}  // namespace

ZemLoginView::ZemLoginView(QWidget* parent) : QWidget(parent) {}

void ZemLoginView::awakeFromNib() {
    isSelectQRbtn_ = true;
    isSelectACbtn_ = false;
    slectBtn_ = 0;
    setupSubViews();
}

void ZemLoginView::setupSubViews() {
    delete qr_btn_.data();
    delete ac_btn_.data();
    delete separator_.data();
    const int w = width();
    const int h = height();
    const QRect centred((w - kButtonWidth) / 2, (h - kButtonHeight) / 2, kButtonWidth, kButtonHeight);
    const auto modes = offeredModes();
    if (modes && modes->first == 1 && modes->second == 0) {
        createQRbtn(centred);
        slectBtn_ = 1;
        changeBtnUI();
        return;
    }
    if (modes && modes->first == 0 && modes->second == 1) {
        isSelectQRbtn_ = false;
        isSelectACbtn_ = true;
        createACbtn(centred);
        slectBtn_ = 1;
        changeBtnUI();
        return;
    }
    createQRbtn(QRect((w - 136) / 2, (h - kButtonHeight) / 2, kButtonWidth, kButtonHeight));
    createACbtn(QRect(w / 2 + 10, (h - kButtonHeight) / 2, kButtonWidth, kButtonHeight));
    separator_ = new QLabel(QStringLiteral("/"), this);
    separator_->setObjectName(QStringLiteral("separator"));
    separator_->setGeometry((w - 10) / 2, (h - 17) / 2, 10, 17);
    separator_->setAlignment(Qt::AlignCenter);
    separator_->setAutoFillBackground(false);
    separator_->setTextInteractionFlags(Qt::NoTextInteraction);
    QPalette palette = separator_->palette();
    palette.setColor(QPalette::WindowText, RGB::fromRGB(kNormalColor));
    separator_->setPalette(palette);
    separator_->show();
    changeBtnUI();
}

QPushButton* ZemLoginView::createButton(const QRect& frame, const QString& title, long tag) {
    auto* button = new QPushButton(title, this);
    button->setGeometry(frame);
    button->setFlat(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::PointingHandCursor);
    button->setProperty(kTagKey, static_cast<qlonglong>(tag));
    button->show();
    return button;
}

QPushButton* ZemLoginView::createQRbtn(const QRect& frame) {
    qr_btn_ = createButton(frame, QStringLiteral("扫码登录"), 0);
    qr_btn_->setObjectName(QStringLiteral("qr_btn"));
    QPushButton* button = qr_btn_;
    connect(button, &QPushButton::clicked, this, [this, button] { qrbtnAction(button); });
    return button;
}

QPushButton* ZemLoginView::createACbtn(const QRect& frame) {
    ac_btn_ = createButton(frame, QStringLiteral("账号登录"), 1);
    ac_btn_->setObjectName(QStringLiteral("ac_btn"));
    QPushButton* button = ac_btn_;
    connect(button, &QPushButton::clicked, this, [this, button] { acbtnAction(button); });
    return button;
}

void ZemLoginView::qrbtnAction(QPushButton* sender) {
    isSelectQRbtn_ = true;
    isSelectACbtn_ = false;
    changeBtnUI();
    if (completion_) completion_(sender);
    slectBtn_ = 0;
}

void ZemLoginView::acbtnAction(QPushButton* sender) {
    isSelectACbtn_ = true;
    isSelectQRbtn_ = false;
    changeBtnUI();
    if (completion_) completion_(sender);
    slectBtn_ = 1;
}

void ZemLoginView::changeBtnUI() {
    const auto colour = [](QPushButton* button, bool selected) {
        if (!button) return;
        const QColor c = RGB::fromRGB(selected ? kSelectedColor : kNormalColor);
        button->setStyleSheet(
            QStringLiteral("QPushButton { color: %1; border: none; background: transparent; }")
                .arg(c.name()));
        button->setProperty("_q_huxTitleColor", c);
    };
    colour(qr_btn_, isSelectQRbtn_);
    colour(ac_btn_, isSelectACbtn_);
}

long ZemLoginView::tagOf(const QObject* button) {
    return button ? static_cast<long>(button->property(kTagKey).toLongLong()) : 0;
}

QColor ZemLoginView::titleColorOf(const QPushButton* button) {
    return button ? button->property("_q_huxTitleColor").value<QColor>() : QColor();
}
