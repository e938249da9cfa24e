#pragma once

#include <QString>
#include <QWidget>

class QPushButton;

namespace qvex {

class ProgramState;
class SessionLogFiles;

// The "Help" page: the program's title and version, where its settings and logs are kept,
// the command line with its exit statuses, and a link that opens the current log's folder.
class HelpPage final : public QWidget {
    Q_OBJECT

  public:
    HelpPage(const ProgramState& state, const SessionLogFiles& logFiles, QWidget* parent = nullptr);

    // The folder the link opens: the current log's, or the data folder for a log kept in
    // memory; "" when there is neither.
    const QString& logFolder() const { return logFolder_; }

  private:
    QString logFolder_;
};

// The command line and its exit statuses as the page shows them (HTML).
[[nodiscard]] QString CommandLineHelpHtml();

}  // namespace qvex
