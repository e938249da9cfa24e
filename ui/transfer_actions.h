#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStyle>

#include <memory>

#include "transfer/transfer_queue.h"
#include "transfer/transfer_type.h"

class QAction;

namespace qvex {

class Settings;
struct SessionWorker;

// Command identifiers of the Files page's transfer commands.
inline constexpr int kForceTextCommand = 32768;
inline constexpr int kForceImageCommand = 32769;
inline constexpr int kUpdateOnlyCommand = 32773;
inline constexpr int kStopTransferCommand = 32777;

// Their tooltips; the two type toggles end theirs with the current mode.
inline constexpr const char* kForceTextTip = "FORCE ASCII (text) transfer mode";
inline constexpr const char* kForceImageTip = "FORCE Image (binary) transfer mode";
inline constexpr const char* kUpdateOnlyTip = "Enable \"Update-ONLY\" transfers";
inline constexpr const char* kStopTransferTip = "STOP current transfer!";

// The remote pane's menu entries that download with a mode of their own.
inline constexpr const char* kGetAsSmartText = "&Get file(s) as \"Smart\" (auto)...";
inline constexpr const char* kGetAsImageText = "&Get file(s) as Image (binary)...";
inline constexpr const char* kGetAsTextText = "&Get file(s) as Ascii (text)...";

// The Files page's transfer commands as actions that its toolbar and menus share: the two
// type toggles and Update-ONLY (the state every transfer reads), STOP for the running
// session, and the three "Get file(s) as" entries. Lives on the window thread.
class TransferActions final : public QObject {
    Q_OBJECT

  public:
    // The toggles start from "CLXMode" - 1 when it is set, else from "LastXMode" when
    // "KeepXMode" is on, else Smart; Update-ONLY from "UpdateONLY", which it keeps.
    explicit TransferActions(Settings& settings, QObject* parent = nullptr);

    QAction* forceText() const { return forceText_; }
    QAction* forceImage() const { return forceImage_; }
    QAction* updateOnly() const { return updateOnly_; }
    QAction* stop() const { return stop_; }
    // For the toolbar, in its order: ASCII, Image, Update-ONLY, STOP.
    QList<QAction*> toolbarActions() const;
    // For the remote pane's menu, in its order: Smart, Image, Ascii. Each one's data() is
    // its TransferType as an int; triggering one emits getFilesAs.
    QList<QAction*> getAsActions() const { return getAs_; }

    // The mode and Update-ONLY that a transfer composed now takes.
    const TransferModeModel& toggles() const { return toggles_; }

    // The running session, or null: STOP is enabled only while there is one. The session
    // is not kept alive by this.
    void SetSession(const std::shared_ptr<SessionWorker>& session);

  signals:
    // A "Get file(s) as" entry was chosen: download the remote selection with `mode`.
    void getFilesAs(qvex::TransferType mode);

  private:
    QAction* MakeAction(const char* name, const QString& text, const char* toolTip, int command,
                        const char* iconName, QStyle::StandardPixmap fallbackIcon);
    void OnToggled();
    void ShowState();
    void Stop();

    Settings& settings_;
    TransferModeModel toggles_;
    std::weak_ptr<SessionWorker> session_;
    QAction* forceText_ = nullptr;
    QAction* forceImage_ = nullptr;
    QAction* updateOnly_ = nullptr;
    QAction* stop_ = nullptr;
    QList<QAction*> getAs_;
};

}  // namespace qvex
