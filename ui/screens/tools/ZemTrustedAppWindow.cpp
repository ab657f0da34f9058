#include "ZemTrustedAppWindow.h"

#include <syslog.h>

#include <algorithm>

#include "ZemTrustAppCell.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_ZemTrustedAppWindow.h"

namespace {

// A short text form of a list value for the system log.
std::string describe(const archive::Value& value, int depth = 0) {
    if (depth > 4) return "...";
    if (const auto* array = value.array()) {
        std::string out = "(";
        for (size_t i = 0; i < array->size() && i < 200; ++i)
            out += (i ? ", " : "") + describe((*array)[i], depth + 1);
        return out + ")";
    }
    if (const auto* dict = value.dictionary()) {
        std::string out = "{";
        for (const auto& [key, item] : *dict) out += key + " = " + describe(item, depth + 1) + "; ";
        return out + "}";
    }
    if (value.isNull()) return "<null>";
    return ZemToolValues::text(value);
}

}  // namespace

ZemTrustedAppWindow::ZemTrustedAppWindow(QWidget* parent)
    : ZemBaseWindow(parent), ui_(std::make_unique<Ui::ZemTrustedAppWindow>()) {
    ui_->setupUi(this);
}

ZemTrustedAppWindow::~ZemTrustedAppWindow() = default;

std::unique_ptr<ZemTrustedAppWindow> ZemTrustedAppWindow::initialWithNibName(const QString& nibName) {
    if (nibName != QLatin1String("ZemTrustedAppWindow")) return nullptr;
    auto window = std::make_unique<ZemTrustedAppWindow>();
    window->awakeFromNib();
    return window;
}

QWidget* ZemTrustedAppWindow::trustListView() const {
    return ui_->trustListView;
}
QScrollArea* ZemTrustedAppWindow::mainView() const {
    return ui_->mainView;
}
QPushButton* ZemTrustedAppWindow::trustlistBtn() const {
    return ui_->trustlistBtn;
}

std::vector<ZemTrustAppCell*> ZemTrustedAppWindow::rows() const {
    std::vector<ZemTrustAppCell*> out;
    if (QWidget* document = ui_->mainView->widget()) {
        for (QObject* child : document->children())
            if (auto* row = qobject_cast<ZemTrustAppCell*>(child)) out.push_back(row);
    }
    std::sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->y() < b->y(); });
    return out;
}

void ZemTrustedAppWindow::awakeFromNib() {
    ZemBaseWindow::awakeFromNib();
    // Loaded windows wake here already; showing them later must not add the rows twice.
    if (loaded_) return;
    loaded_ = true;
    loadTrustedApp();
    loadSubView();
    QPalette palette = ui_->trustlistBtn->palette();
    palette.setColor(QPalette::ButtonText, Qt::black);
    ui_->trustlistBtn->setPalette(palette);
}

void ZemTrustedAppWindow::loadTrustedApp() {
    const auto list = hux::RavAvizaLoginHelper::TrustedsAppList();
    ::syslog(LOG_NOTICE, "%s", (list ? describe(*list) : std::string("(null)")).c_str());
    const archive::Array* entries = list ? list->array() : nullptr;
    if (!entries || entries->empty()) return;
    for (const archive::Value& entry : *entries) {
        const archive::Dictionary* dict = entry.dictionary();
        if (!dict) continue;
        auto field = [dict](const char* key) {
            auto it = dict->find(key);
            return it == dict->end() ? std::string() : ZemToolValues::text(it->second);
        };
        const std::string category = field("categoryname");
        const std::string app = field("appname");
        if (isContains::isContainsObject(categoryModes_, category)) {
            const int32_t index = isContains::ObjectPositionToArray(categoryModes_, category);
            if (index != -1) categoryModes_[static_cast<size_t>(index)]->addAppObj(app);
        } else if (auto mode = ZemCategoryMode::initWithDictionary(entry)) {
            categoryModes_.push_back(std::move(mode));
        }
    }
}

void ZemTrustedAppWindow::loadSubView() {
    if (ui_->trustListView->parentWidget() != this) ui_->trustListView->setParent(this);
    ui_->trustListView->show();
    if (categoryModes_.empty()) return;
    std::stable_sort(categoryModes_.begin(), categoryModes_.end(), [](const auto& a, const auto& b) {
        return a->category_serialnum < b->category_serialnum;
    });
    QWidget* document = ui_->mainView->widget();
    int height = 0;
    for (const auto& mode : categoryModes_) {
        const std::string line =
            "type-" + std::to_string(mode->category_serialnum) + ",name-" + mode->trustAppListName();
        ::syslog(LOG_NOTICE, "%s", line.c_str());
        ZemTrustAppCell* row = ZemTrustAppCell::initWithModel(mode);
        row->setGeometry(15, height, row->width(), row->height());
        height += row->height();
        document->setGeometry(0, 0, ui_->mainView->width(), height);
        document->setMinimumSize(ui_->mainView->width(), height);
        row->setParent(document);
        row->show();
    }
}
