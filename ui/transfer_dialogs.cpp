#include "ui/transfer_dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

#include <utility>

#include "ui/qt_text.h"

namespace qvex {

int RunModal(const ModalRunner& runner, QDialog& dialog) {
    return runner ? runner(dialog) : dialog.exec();
}

ConfirmOverwrite OverwriteQuestionBox(QWidget* parent, ModalRunner runner) {
    return [parent, runner = std::move(runner)](const std::string& title, const std::string& text) {
        // The question ends its lines with CR LF; a label wants LF alone.
        const QString shown = Text(text).replace("\r\n", "\n");
        QMessageBox box(QMessageBox::Warning, Text(title), shown,
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, parent);
        box.setObjectName("overwriteQuestion");
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
        switch (RunModal(runner, box)) {
            case QMessageBox::Yes:
                return OverwriteAnswer::Yes;
            case QMessageBox::No:
                return OverwriteAnswer::No;
            default:
                return OverwriteAnswer::Cancel;
        }
    };
}

std::optional<std::string> ChooseDownloadFolder(QWidget* parent, const ModalRunner& runner,
                                                const QString& start) {
    QFileDialog dialog(parent, kDownloadFolderTitle, start);
    dialog.setObjectName("downloadFolder");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (RunModal(runner, dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst().toStdString();
}

void ShowTransferProblem(QWidget* parent, const ModalRunner& runner, const QString& title,
                         const QString& text) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setObjectName("transferProblem");
    (void)RunModal(runner, box);
}

}  // namespace qvex
