#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

#include "ui/transfer_dialogs.h"

class QAction;
class QComboBox;
class QFileSystemModel;
class QMenu;
class QToolBar;
class QTreeView;

namespace qvex {

class Settings;

// Tooltips of the local pane's commands.
inline constexpr const char* kLocalUpTip = "Up one level (to parent directory)";
inline constexpr const char* kLocalNewFolderTip = "Create new LOCAL folder";

// The local side of the Files page: the files and folders of one local folder (a model over
// the disk that follows its changes), a path box with the folders visited, and the commands
// up, new folder, rename, delete to the desktop's trash and properties. It starts in
// "CLXDir", else in "LastXDir" when "KeepXDir" is on, else in the home folder, and keeps the
// folder it shows in "LastXDir" while "KeepXDir" is on.
class LocalPane final : public QWidget {
    Q_OBJECT

  public:
    // Adds its items to the context menu before the pane's own, for the selected paths.
    using MenuExtension = std::function<void(QMenu& menu, const QStringList& selectedPaths)>;

    explicit LocalPane(Settings& settings, QWidget* parent = nullptr);

    // The list, for drag and drop; its model is a QFileSystemModel.
    [[nodiscard]] QTreeView* view() const { return view_; }
    // The pane's commands: up and new folder (the Files page may take them over).
    [[nodiscard]] QToolBar* toolBar() const { return toolBar_; }
    // The folder shown, without a trailing separator (except the root).
    [[nodiscard]] QString currentFolder() const { return folder_; }
    // Full paths of the selected entries, in the order shown.
    [[nodiscard]] QStringList selectedPaths() const;

    // Shows another folder; false (with a message) when the path is not a folder.
    bool SetCurrentFolder(const QString& path);
    // A file or folder appeared on disk (a download stored it): shown at once when it is in
    // the folder shown, without waiting for the disk watcher.
    void ShowNewEntry(const QString& path);
    void SetMenuExtension(MenuExtension extension);
    // How the pane's message boxes run (tests answer them); the properties dialogs it opens
    // get the same.
    void SetModalRunner(ModalRunner runner);
    // The context menu's items for the current selection: the extension's, then rename,
    // delete and "P&roperties".
    void FillContextMenu(QMenu& menu);

  signals:
    void currentFolderChanged(const QString& folder);

  private:
    QAction* AddCommand(const char* name, const QString& text, const QString& toolTip,
                        const char* iconName);
    QString StartFolder() const;
    void ShowFolder(const QString& folder);
    void RememberInHistory(const QString& folder);
    void Activated(const QString& path);
    void GoUp();
    void MakeFolder();
    void EditNewFolder();
    void StartRename();
    void DeleteSelection();
    void ShowProperties();
    void ShowEnabledState();
    void ShowFailure(const QString& text);

    Settings& settings_;
    QFileSystemModel* model_ = nullptr;
    QTreeView* view_ = nullptr;
    QComboBox* path_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QAction* up_ = nullptr;
    QAction* newFolder_ = nullptr;
    QAction* rename_ = nullptr;
    QAction* delete_ = nullptr;
    QAction* properties_ = nullptr;
    QString folder_;
    // The folder New Folder made, until its name is edited.
    QString unnamedFolder_;
    MenuExtension menuExtension_;
    ModalRunner modalRunner_;
};

}  // namespace qvex
