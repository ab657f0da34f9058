#include "HuxExportLogController.h"

#include <QFileDialog>

#include "ui/screens/controls/Localizable.h"
#include "ui/session/log/ZemLogHelper.h"
#include "ui_HuxExportLogController.h"

HuxExportLogController::HuxExportLogController(QObject* parent, ZemLogHelper* logHelper)
    : WindowController(parent), logHelper_(logHelper) {
    folderChooser_ = [](QWidget* owner, const QString& start) -> std::optional<QString> {
        const QString folder =
            QFileDialog::getExistingDirectory(owner, QString(), start, QFileDialog::ShowDirsOnly);
        if (folder.isEmpty()) return std::nullopt;
        return folder;
    };
    currentDirectoryPath_ = QString::fromStdString(log().desktopDirectory());
    window();
}

HuxExportLogController::~HuxExportLogController() = default;

ZemLogHelper& HuxExportLogController::log() const {
    return logHelper_ ? *logHelper_ : ZemLogHelper::sharedInstance();
}

QWidget* HuxExportLogController::loadWindow() {
    auto* window = new QWidget(nullptr, Qt::Dialog);
    ui_ = std::make_unique<Ui::HuxExportLogController>();
    ui_->setupUi(window);
    ui_->titleLabel->setText(Localizable::localizedString("ExportLog"));
    ui_->folderLabel->setText(Localizable::localizedString("ExportLogFolder"));
    ui_->cancelButton->setText(Localizable::localizedString("Cancel"));
    ui_->exportButton->setText(Localizable::localizedString("Export"));
    // Item 0 shows the chosen folder; item 1 opens the folder panel.
    ui_->folderPopup->addItem(currentDirectoryPath_);
    ui_->folderPopup->addItem(Localizable::localizedString("ExportLogOther"));
    connect(ui_->folderPopup, &QComboBox::activated, this, [this](int index) {
        if (index == 1) selectCustomFolderPath();
        ui_->folderPopup->setCurrentIndex(0);
    });
    connect(ui_->cancelButton, &QPushButton::clicked, this, &HuxExportLogController::cancelAction);
    connect(ui_->exportButton, &QPushButton::clicked, this, &HuxExportLogController::excuteExportLog);
    return window;
}

QString HuxExportLogController::customDirPathTitle() const {
    return ui_ ? ui_->folderPopup->itemText(0) : QString();
}
QPushButton* HuxExportLogController::cancelButton() const {
    return ui_ ? ui_->cancelButton : nullptr;
}
QPushButton* HuxExportLogController::exportButton() const {
    return ui_ ? ui_->exportButton : nullptr;
}
QComboBox* HuxExportLogController::folderPopup() const {
    return ui_ ? ui_->folderPopup : nullptr;
}

void HuxExportLogController::selectCustomFolderPath() {
    if (!folderChooser_) return;
    const std::optional<QString> folder = folderChooser_(window(), currentDirectoryPath_);
    if (!folder) return;
    currentDirectoryPath_ = *folder;
    if (ui_) ui_->folderPopup->setItemText(0, *folder);
}

void HuxExportLogController::excuteExportLog() {
    ZemLogHelper& logger = log();
    ZemLogHelper* target = &logger;
    logger.zipLogsWithDirectory(
        currentDirectoryPath_.toStdString(), [target](bool ok, std::optional<std::string> message) {
            if (ok) {
                target->writeLog("RavAviza export log success", 1);
            } else {
                target->writeLog("RavAviza export log failed with error:" + message.value_or(std::string()),
                                 2);
            }
        });
    endSheet(1);
}

void HuxExportLogController::cancelAction() {
    endSheet(0);
}
