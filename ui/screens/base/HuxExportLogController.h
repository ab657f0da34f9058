// The export-logs sheet: the folder the logs go to (the Desktop at first; "Other…" picks another,
// and a pick stays for the next export), Export and Cancel. Export hands the folder to
// ZemLogHelper::zipLogsWithDirectory and closes the sheet at once (code 1); the result is only
// logged. Cancel closes it with code 0. Show it with beginSheet(mainWindow, completion).
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <functional>
#include <memory>
#include <optional>

#include "WindowController.h"

class ZemLogHelper;

namespace Ui {
class HuxExportLogController;
}

class HuxExportLogController : public WindowController {
    Q_OBJECT
  public:
    // Asks the user for a folder; none when cancelled. The default runs a folder dialog.
    using FolderChooser = std::function<std::optional<QString>(QWidget* parent, const QString& start)>;

    // logHelper: the log to export and write to; null means ZemLogHelper::sharedInstance().
    explicit HuxExportLogController(QObject* parent = nullptr, ZemLogHelper* logHelper = nullptr);
    ~HuxExportLogController() override;

    QString currentDirectoryPath() const { return currentDirectoryPath_; }
    void setFolderChooser(FolderChooser chooser) { folderChooser_ = std::move(chooser); }

    // The folder item's title (the customDirPath menu item).
    QString customDirPathTitle() const;
    QPushButton* cancelButton() const;
    QPushButton* exportButton() const;
    QComboBox* folderPopup() const;

  public slots:
    void selectCustomFolderPath();
    void excuteExportLog();
    void cancelAction();

  protected:
    QWidget* loadWindow() override;

  private:
    ZemLogHelper& log() const;

    ZemLogHelper* logHelper_;
    QString currentDirectoryPath_;
    FolderChooser folderChooser_;
    std::unique_ptr<Ui::HuxExportLogController> ui_;
};
