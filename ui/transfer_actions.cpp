#include "ui/transfer_actions.h"

#include <QAction>
#include <QApplication>
#include <QIcon>

#include <optional>

#include "engine/session_worker.h"
#include "state/settings.h"

namespace qvex {
namespace {

const char* ModeName(TransferType mode) {
    switch (mode) {
        case TransferType::Text:
            return "ASCII";
        case TransferType::Image:
            return "Image";
        case TransferType::Smart:
            break;
    }
    return "Smart";
}

// The Files page's first mode: the command line's, else the remembered one.
TransferType StartMode(const Settings& settings) {
    if (std::optional<TransferType> mode = transferTypeFromOption(settings.GetInt("CLXMode"))) {
        return *mode;
    }
    if (settings.GetInt("KeepXMode") != 0) {
        const int32_t last = settings.GetInt("LastXMode");
        if (last >= 0 && last <= 2) {
            return static_cast<TransferType>(last);
        }
    }
    return TransferType::Smart;
}

// The end of the type toggles' tips: "(currently \"ASCII\")" and the like.
QString TransferModeTip(TransferType mode) {
    return QString("(currently \"%1\")").arg(ModeName(mode));
}

}  // namespace

TransferActions::TransferActions(Settings& settings, QObject* parent)
    : QObject(parent), settings_(settings) {
    toggles_.SetMode(StartMode(settings));
    toggles_.SetUpdateOnly(settings.GetInt("UpdateONLY") != 0);

    forceText_ = MakeAction("forceText", "Force &ASCII", kForceTextTip, kForceTextCommand,
                            "text-x-generic", QStyle::SP_FileIcon);
    forceImage_ = MakeAction("forceImage", "Force &Image", kForceImageTip, kForceImageCommand,
                             "application-x-executable", QStyle::SP_DriveHDIcon);
    // A clock, for "only what is newer": the panes' Refresh has the circling arrows.
    updateOnly_ = MakeAction("updateOnly", "&Update-ONLY", kUpdateOnlyTip, kUpdateOnlyCommand,
                             "document-open-recent", QStyle::SP_FileDialogContentsView);
    stop_ = MakeAction("stopTransfer", "&STOP", kStopTransferTip, kStopTransferCommand,
                       "process-stop", QStyle::SP_BrowserStop);
    for (QAction* toggle : {forceText_, forceImage_, updateOnly_}) {
        toggle->setCheckable(true);
        connect(toggle, &QAction::toggled, this, &TransferActions::OnToggled);
    }
    connect(stop_, &QAction::triggered, this, &TransferActions::Stop);

    struct GetAs {
        const char* name;
        const char* text;
        TransferType mode;
    };
    for (const GetAs& entry : {GetAs{"getAsSmart", kGetAsSmartText, TransferType::Smart},
                               GetAs{"getAsImage", kGetAsImageText, TransferType::Image},
                               GetAs{"getAsText", kGetAsTextText, TransferType::Text}}) {
        auto* action = new QAction(entry.text, this);
        action->setObjectName(entry.name);
        action->setData(static_cast<int>(entry.mode));
        const TransferType mode = entry.mode;
        connect(action, &QAction::triggered, this, [this, mode] { emit getFilesAs(mode); });
        getAs_.append(action);
    }
    ShowState();
    stop_->setEnabled(false);
}

QAction* TransferActions::MakeAction(const char* name, const QString& text, const char* toolTip,
                                     int command, const char* iconName,
                                     QStyle::StandardPixmap fallbackIcon) {
    const QIcon icon =
        QIcon::fromTheme(iconName, QApplication::style()->standardIcon(fallbackIcon));
    auto* action = new QAction(icon, text, this);
    action->setObjectName(name);
    action->setToolTip(toolTip);
    action->setStatusTip(toolTip);
    action->setData(command);
    return action;
}

QList<QAction*> TransferActions::toolbarActions() const {
    return {forceText_, forceImage_, updateOnly_, stop_};
}

void TransferActions::SetSession(const std::shared_ptr<SessionWorker>& session) {
    session_ = session;
    stop_->setEnabled(session != nullptr);
}

void TransferActions::OnToggled() {
    toggles_.SetForceText(forceText_->isChecked());
    toggles_.SetForceImage(forceImage_->isChecked());
    const bool updateOnly = updateOnly_->isChecked();
    if (updateOnly != toggles_.updateOnly()) {
        toggles_.SetUpdateOnly(updateOnly);
        settings_.SetInt("UpdateONLY", updateOnly ? 1 : 0);
    }
    ShowState();
}

// The pressed state follows the model; both tips name the mode the pair gives.
void TransferActions::ShowState() {
    const QSignalBlocker blockText(forceText_);
    const QSignalBlocker blockImage(forceImage_);
    const QSignalBlocker blockUpdate(updateOnly_);
    forceText_->setChecked(toggles_.forceText());
    forceImage_->setChecked(toggles_.forceImage());
    updateOnly_->setChecked(toggles_.updateOnly());
    const QString state = " " + TransferModeTip(toggles_.currentTransferMode());
    forceText_->setToolTip(kForceTextTip + state);
    forceImage_->setToolTip(kForceImageTip + state);
}

// The abort is the one call the window thread makes into a running session: it sets the
// flag, sends ABOR under the send lock and empties the queue, all without waiting on the
// server.
void TransferActions::Stop() {
    if (std::shared_ptr<SessionWorker> session = session_.lock()) {
        abortTransfers(*session);
    }
}

}  // namespace qvex
