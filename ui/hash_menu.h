#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "sums/hash_entries.h"

class QMenu;
class QWidget;

namespace qvex {

class Settings;
class SharedHeap;

// What a hash item of the menu asks for: usually OpenHashSumDialog's dialog.
using HashDialogOpener = std::function<void(const HashRequest& request)>;

// The local pane's hash items, added to its context menu for the selection: `names` are the
// selected files and folders, full paths or relative to `folder`, the folder the pane shows
// (full paths inside it are taken relative to it). For one
// selected file: "Verify As" with "Contains " plus each algorithm's label, and "Verify
// cryptographic checksum(s)" (enabled when the name looks like a sums file); for any
// selection: "Compute " with "Compute " plus each label. Nothing for an empty selection.
void AddHashMenu(QMenu& menu, const QString& folder, const QStringList& names,
                 const HashDialogOpener& open);

// An opener that shows each request in a modeless HashSumDialog over `parent`.
[[nodiscard]] HashDialogOpener HashSumDialogOpener(SharedHeap& heap, Settings& settings,
                                                   QWidget* parent);

}  // namespace qvex
