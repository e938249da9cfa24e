#pragma once

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "search/search_results.h"
#include "search/site_search.h"
#include "transfer/transfer_queue.h"
#include "ui/search_feed.h"
#include "ui/transfer_dialogs.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace qvex {

class ListingCache;
class SearchResultsModel;
class Settings;
struct SessionWorker;

// What the dialog works with, all owned by the window and outliving the dialog: the
// receivers must be the ones whose search handler the session runs, the toggles are the
// Files page's transfer toggles.
struct SiteSearchContext {
    Settings& settings;
    ListingCache& cache;
    SearchReceivers& receivers;
    const TransferModeModel& toggles;
};

inline constexpr const char* kSearchDeleteTitle = "Delete";
inline constexpr const char* kSearchCommandTip = "Search current REMOTE directory";

// The question before a hit that is a folder is deleted with everything in it.
[[nodiscard]] std::string DeleteTreeQuestion(const std::string& remotePath);

// "Qvex Site Search of " a remote folder: the pattern, "Search subfolders", "Use PCRE",
// "Search", and the hits streaming in while the session's worker walks the folders. Hits can
// be fetched into a local folder ("Get file(s) as...") and deleted on the server, both
// queued on the session behind what it is doing.
class SiteSearchDialog final : public QDialog {
    Q_OBJECT

  public:
    SiteSearchDialog(const SiteSearchContext& context, std::shared_ptr<SessionWorker> session,
                     int32_t directoryId, bool modeless, QWidget* parent = nullptr);
    ~SiteSearchDialog() override;

    // How the folder browser and the questions run; a test answers them without showing.
    void SetModalRunner(ModalRunner runner) { runner_ = std::move(runner); }

    // The "Search" button.
    void Search();
    // "Get file(s) as...": the selected hits into a folder chosen in the folder browser,
    // one get command per remote folder that holds hits.
    void GetSelected();
    // "Delete": the selected hits on the server; their rows go once the server confirmed.
    void DeleteSelected();

    QTableView* table() const { return table_; }
    const SearchResults& results() const { return results_; }

  public slots:
    // Closing stores the pattern and the check boxes and stops the results coming.
    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    struct Group {
        int32_t folderId = 0;
        std::vector<int32_t> positions;
    };

    void BuildControls();
    // The selected hits by the folder that holds them, in the order of the list.
    std::vector<Group> SelectedByFolder() const;
    void Unselect(int32_t folderId, const std::vector<int32_t>& positions);
    // A batch from the search feed.
    void ShowFound();
    // The delete commands have run: the rows whose entries the server removed go.
    void DropDeletedRows();
    void StopReceiving();
    void ShowState();

    Settings& settings_;
    ListingCache& cache_;
    SearchReceivers& receivers_;
    const TransferModeModel& toggles_;
    std::shared_ptr<SessionWorker> session_;
    int32_t directoryId_;
    bool modeless_;
    ModalRunner runner_;

    SearchResults results_;
    SearchFeed found_;
    // Told when the commands queued before its empty search have run.
    SearchFeed deleted_;
    int32_t foundReceiver_ = 0;
    int32_t deletedReceiver_ = 0;

    SearchResultsModel* model_ = nullptr;
    QLineEdit* pattern_ = nullptr;
    QCheckBox* subfolders_ = nullptr;
    QCheckBox* pcre_ = nullptr;
    QPushButton* search_ = nullptr;
    QTableView* table_ = nullptr;
    QLabel* status_ = nullptr;
    QAction* get_ = nullptr;
    QAction* delete_ = nullptr;
    QPushButton* getButton_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    bool widthsSet_ = false;
};

// The command "Search current REMOTE directory" (toolbar button 32791, Ctrl+F); the Files
// page connects it to OpenSiteSearch.
[[nodiscard]] QAction* MakeSiteSearchAction(QObject* parent);

// Opens the search of cached directory `directoryId` of the running session: modeless beside
// `parent` when "ModelessSearch" is on (the open dialog is returned), else modal (returns
// null once it is closed). Only one exists at a time: while one is open it is raised instead.
SiteSearchDialog* OpenSiteSearch(QWidget* parent, const SiteSearchContext& context,
                                 std::shared_ptr<SessionWorker> session, int32_t directoryId);

}  // namespace qvex
