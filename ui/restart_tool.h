#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <vector>

#include "state/restart_database.h"

class QLabel;
class QPushButton;
class QTableView;

namespace qvex {

class RestartRowsModel;
class Settings;

// The question before a wipe while "Prompt on Restart info delete" is on, replaceable so that
// tests can answer it: true deletes.
struct RestartToolDialogs {
    std::function<bool(QWidget* parent, const QString& text)> confirmWipe;
};

// The question's text for these rows.
[[nodiscard]] QString RestartWipeQuestion(const std::vector<RestartToolRow>& rows);

// "Qvex Restart Session Management Tool": the interrupted transfers of the restart database,
// "Restart" (resume the one selected), "Wipe" and the Delete key (forget the selected ones),
// OK and Cancel. Nothing changes in the database before OK.
class RestartToolDialog final : public QDialog {
    Q_OBJECT

  public:
    // While a session runs its slot is not listed, and "Restart" is unavailable: switching
    // slots under a running transfer would mix two descriptions.
    RestartToolDialog(RestartDatabase& database, const Settings& settings, bool sessionRunning,
                      QWidget* parent = nullptr);

    void SetDialogs(RestartToolDialogs dialogs);

    // What "Wipe" (and Delete) and "Restart" do with the rows selected.
    void Wipe();
    void Restart();

    QTableView* table() const { return table_; }

  signals:
    // OK applied the changes: `resume` when a transfer was chosen (do what the resume button
    // does), else `hideResumeButton` when nothing is left to resume.
    void committed(bool resume, bool hideResumeButton);

  public slots:
    void accept() override;

  private:
    void BuildControls();
    std::vector<size_t> SelectedRows() const;
    void ShowState();

    RestartTool tool_;
    bool sessionRunning_;
    RestartToolDialogs dialogs_;
    RestartRowsModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    QLabel* caption_ = nullptr;
    QPushButton* restart_ = nullptr;
    QPushButton* wipe_ = nullptr;
};

}  // namespace qvex
