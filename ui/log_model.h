#pragma once

#include <QAbstractListModel>
#include <QItemSelection>
#include <QString>
#include <atomic>

#include "log/log_view.h"

namespace qvex {

class SessionLogFiles;

// The Log page's rows: a model over the index of the log on display. It keeps no text and
// no row data of its own; each row reads its line from the mapped log when it is drawn, so
// a million lines cost the log's own index and nothing per row here.
//
// Lines appended by the receiver thread arrive as one queued call to the window thread per
// burst: the observer only posts a call when none is pending, and the call takes in every
// line indexed by then.
class LogModel final : public QAbstractListModel, private LogViewObserver {
    Q_OBJECT

  public:
    // The line's colour class (LogClass; 8 for the two header lines).
    static constexpr int kLineClassRole = Qt::UserRole;

    // Observes the current log; the receiver must be stopped before the model is destroyed.
    explicit LogModel(SessionLogFiles& files, QObject* parent = nullptr);
    ~LogModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // "LogColor": rows on their class colours, or on the list's own background.
    void SetColored(bool on);
    bool colored() const { return colored_; }

    // Reads the displayed log's index afresh (after a rebuild, a choice, a wipe).
    void Reload();
    // Takes in the lines indexed since the last call; runs on the window thread.
    void CatchUp();

    // The lines of a selection in list order, each with its CR LF; with an empty
    // selection every displayed line. This is what the clipboard gets.
    QString CopyText(const QItemSelection& selection) const;

  signals:
    // Rows were appended to the end (the view may follow the tail).
    void rowsAppended();

  private:
    void OnShownLineAppended() override;

    SessionLogFiles& files_;
    int rows_ = 0;
    bool colored_ = true;
    std::atomic<bool> catchUpPending_{false};
};

}  // namespace qvex
