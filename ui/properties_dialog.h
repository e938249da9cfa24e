#pragma once

#include <QDialog>
#include <QStringList>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "transfer/entry_properties.h"
#include "transfer/remote_entry.h"
#include "ui/transfer_dialogs.h"

class QCheckBox;
class QLineEdit;

namespace qvex {

// The file properties of a pane's selection: name, type, size, time (one entry) or the count
// of files, folders and links (several), and a mode editor. A bit on which the entries differ
// shows as a partly checked box and keeps each entry's own value unless the user decides it.
// "chmod" reports the chosen mode; for local files the dialog also sets it on disk.
class PropertiesDialog final : public QDialog {
    Q_OBJECT

  public:
    // Entries of a remote listing (at least one): "chmod" emits chmodRequested and closes the
    // dialog, and the caller sends SITE chmod. `typeTextOf` as for entryProperties.
    PropertiesDialog(std::vector<RemoteEntry> entries, const EntryTypeText& typeTextOf,
                     QWidget* parent = nullptr);
    // Local files and folders (at least one), by path: "chmod" changes their modes itself,
    // closing the dialog when every change succeeded and naming the ones that failed.
    explicit PropertiesDialog(const QStringList& localPaths, QWidget* parent = nullptr);

    // The mode the boxes show, and the bits that are decided (kModeBits without the partly
    // checked ones).
    [[nodiscard]] uint32_t mode() const;
    [[nodiscard]] uint32_t decidedBits() const;
    // How the box that names failed changes runs (tests answer it).
    void SetModalRunner(ModalRunner runner) { modalRunner_ = std::move(runner); }

  signals:
    // "chmod" was pressed. Bits outside `decided` are left to each entry's own mode; in
    // `mode` they hold the union of the entries' modes.
    void chmodRequested(uint32_t mode, uint32_t decided);

  private:
    void Build(const EntryProperties& shown);
    void ShowOctal();
    void OctalEdited(const QString& text);
    void Chmod();
    bool ChangeLocalModes();

    std::vector<RemoteEntry> entries_;
    QStringList localPaths_;  // parallel to entries_; empty for remote entries
    uint32_t unionMode_ = 0;  // what the undecided boxes stand for
    // One box per bit, highest first: set-user-ID, set-group-ID, sticky, then rwx for owner,
    // group and others.
    std::array<QCheckBox*, 12> boxes_{};
    QLineEdit* octal_ = nullptr;
    bool octalTyping_ = false;
    ModalRunner modalRunner_;
};

}  // namespace qvex
