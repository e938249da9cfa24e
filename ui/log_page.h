#pragma once

#include <QString>
#include <QStyledItemDelegate>
#include <QWidget>
#include <functional>

#include "ui/log_list_view.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace qvex {

class LogModel;
class LogReceiver;
class SessionLogFiles;
class Settings;

// The questions the Log page asks the user, replaceable so that tests can answer them.
struct LogPageDialogs {
    // The export's file name ("" when cancelled), proposing `proposed`.
    std::function<QString(QWidget* parent, const QString& proposed)> saveFileName;
    // An export failure: "Unable to save to <path>".
    std::function<void(QWidget* parent, const QString& message)> showError;
};

// Draws a row on its class colour and tells the list how wide its text was.
class LogLineDelegate final : public QStyledItemDelegate {
    Q_OBJECT

  public:
    explicit LogLineDelegate(LogListView& view);
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

  private:
    LogListView& view_;
};

// The "Log" page: the session log on display (the current log, or a saved one chosen in the
// selector), its display switches and colour key, copy, wipe, delete and export.
//
// It takes the log's objects as they are: the files with the current log opened, the
// receiver that appends to it (started or not), and the settings. It reads "LogCmd",
// "LogExt", "Logging" and "LogColor", follows changes of the last two, and writes the
// display switches when they are clicked. Its destruction stops the receiver, which must
// not append to a log whose page is gone.
class LogPage final : public QWidget {
    Q_OBJECT

  public:
    LogPage(SessionLogFiles& files, LogReceiver& receiver, Settings& settings,
            QWidget* parent = nullptr);
    ~LogPage() override;

    // Replaces the file dialog and the message box (tests).
    void SetDialogs(LogPageDialogs dialogs);
    // Once the program has begun to exit, the copy and select keys do nothing.
    void SetExiting();

    LogModel& model() { return *model_; }
    LogListView& list() { return *list_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void BuildControls();
    void FillSelector();
    void ChooseLog(int entry);
    void ShowChoice();
    void WipeOrDelete();
    void ExportLog();
    void CopyToClipboard();
    void SwitchesChanged();
    void FollowSetting(const QString& name);
    void ShowLoggingState();

    SessionLogFiles& files_;
    LogReceiver& receiver_;
    Settings& settings_;
    LogPageDialogs dialogs_;
    LogModel* model_ = nullptr;
    LogListView* list_ = nullptr;
    QFrame* selectorFrame_ = nullptr;
    QComboBox* selector_ = nullptr;
    QPushButton* wipeButton_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QCheckBox* commands_ = nullptr;
    QCheckBox* extended_ = nullptr;
    QCheckBox* important_ = nullptr;
    QLabel* loggingOff_ = nullptr;
    QAction* selectAll_ = nullptr;
    QAction* copy_ = nullptr;
    QAction* cut_ = nullptr;
    bool listed_ = false;
};

}  // namespace qvex
