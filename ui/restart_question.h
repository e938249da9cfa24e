#pragma once

#include "state/restart_database.h"

class QWidget;

namespace qvex {

// The restart question as a Yes/No/Cancel box with a warning icon over `parent`; closing the
// box any other way answers Cancel. `parent` must outlive the returned function.
[[nodiscard]] AskRestartQuestion RestartQuestionBox(QWidget* parent);

}  // namespace qvex
