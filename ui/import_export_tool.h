#pragma once

#include <QDialog>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

class QLabel;
class QListView;
class QProgressBar;
class QPushButton;
class QTimer;

namespace qvex {

class HostExchangeTool;
class HostList;
class HostRowsModel;

// The file choices of the tool, replaceable so that tests can answer them: the chosen path,
// "" when cancelled.
struct ImportExportDialogs {
    std::function<QString(QWidget* parent)> openFileName;
    std::function<QString(QWidget* parent)> saveFileName;
};

// "Qvex Import/Export Tool": the host entries in a multi-selection list, "Import...",
// "Paste", "Export..." and "Copy", files dropped on it imported one by one, and a status line
// with the outcome of the last action. Imports read and parse off the window thread (a file
// may be large or no exchange text at all); the result comes back as a queued call, and the
// commands wait until it has.
class ImportExportTool final : public QDialog {
    Q_OBJECT

  public:
    explicit ImportExportTool(HostList& hosts, QWidget* parent = nullptr);
    // Waits for an import under way: it writes to the host list.
    ~ImportExportTool() override;

    void SetDialogs(ImportExportDialogs dialogs);

    // What the buttons do, with a path already chosen ("Import..." also for a dropped file).
    void ImportFile(const QString& path);
    void Paste();
    void ExportFile(const QString& path);
    void Copy();

    QString statusText() const;
    bool importing() const { return worker_.joinable(); }
    QListView* list() const { return list_; }

  signals:
    // An import ended: entries may have been added or saved again.
    void hostsImported();

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    // One import to run: a file, or the clipboard's text (nullopt when it holds none).
    struct Source {
        bool clipboard = false;
        std::string path;
        std::optional<std::string> text;
    };

    void BuildControls();
    std::vector<size_t> SelectedRows() const;
    void Enqueue(Source source);
    void StartNext();
    void Finish(std::shared_ptr<HostExchangeTool> result);
    void ShowBusy(bool busy);

    HostList& hosts_;
    ImportExportDialogs dialogs_;
    // What the list and status line show; an import works on a copy and hands it back.
    std::shared_ptr<HostExchangeTool> tool_;
    HostRowsModel* model_ = nullptr;
    QListView* list_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* busy_ = nullptr;
    QTimer* busyDelay_ = nullptr;
    QPushButton* import_ = nullptr;
    QPushButton* paste_ = nullptr;
    QPushButton* export_ = nullptr;
    QPushButton* copy_ = nullptr;
    std::deque<Source> pending_;
    std::thread worker_;
};

}  // namespace qvex
