#include "ui/restart_question.h"

#include <QMessageBox>
#include <QString>

#include <string>

#include "ui/qt_text.h"

namespace qvex {

AskRestartQuestion RestartQuestionBox(QWidget* parent) {
    return [parent](const std::string& title, const std::string& text) {
        // The stored text ends its lines with CR LF; a label wants LF alone.
        const QString shown = Text(text).replace("\r\n", "\n");
        QMessageBox box(QMessageBox::Warning, Text(title), shown,
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, parent);
        box.setObjectName("restartQuestion");
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
        switch (box.exec()) {
            case QMessageBox::Yes:
                return RestartAnswer::Yes;
            case QMessageBox::No:
                return RestartAnswer::No;
            default:
                return RestartAnswer::Cancel;
        }
    };
}

}  // namespace qvex
