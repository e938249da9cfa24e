#pragma once

// For widget tests: answers the message boxes that a command opens.

#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

namespace qvex::test {

// Waits on the event loop for the next message boxes and presses one answer on each, in
// turn, adding "title|text" of each to `shown`.
inline void AnswerMessageBoxes(QObject* context, QList<QMessageBox::StandardButton> answers,
                               QStringList* shown) {
    if (answers.isEmpty()) {
        return;
    }
    QTimer::singleShot(20, context, [context, answers, shown]() mutable {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr) {
            *shown << box->windowTitle() + "|" + box->text();
            box->button(answers.takeFirst())->click();
        }
        AnswerMessageBoxes(context, answers, shown);
    });
}

}  // namespace qvex::test
