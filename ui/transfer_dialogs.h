#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <string>

#include "transfer/transfer_queue.h"

class QDialog;
class QWidget;

namespace qvex {

inline constexpr const char* kDownloadFolderTitle = "Select folder for downloaded files";

// Shows a modal dialog and returns what exec() returns. The window runs it with exec(); a
// test puts in a function that answers the dialog as built, without showing it.
using ModalRunner = std::function<int(QDialog&)>;
[[nodiscard]] int RunModal(const ModalRunner& runner, QDialog& dialog);

// The overwrite confirmation as a Yes/No/Cancel box with a warning icon over `parent`;
// closing the box any other way answers Cancel. `parent` must outlive the function.
[[nodiscard]] ConfirmOverwrite OverwriteQuestionBox(QWidget* parent, ModalRunner runner);

// The folder browser for downloads, starting at `start`: the chosen folder, or nothing when
// the user cancelled.
[[nodiscard]] std::optional<std::string> ChooseDownloadFolder(QWidget* parent,
                                                              const ModalRunner& runner,
                                                              const QString& start);

// Tells the user why a transfer was not started: a box with a warning icon and OK.
void ShowTransferProblem(QWidget* parent, const ModalRunner& runner, const QString& title,
                         const QString& text);

}  // namespace qvex
