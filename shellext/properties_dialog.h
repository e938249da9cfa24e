#pragma once

#include <QDialog>

#include "shellext/shortcut_object.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qvex::shellext {

// The "Qvex Shortcut" page of a ".qvex" file: its URL, transfer folder, transfer type and
// Update-ONLY switch. Apply is enabled by the first change after the page is filled, and
// writes the file only when a control differs from the stored value; OK does the same and
// closes.
class PropertiesDialog : public QDialog {
    Q_OBJECT

  public:
    // `shortcut` has its file name set (Load) and outlives the dialog.
    explicit PropertiesDialog(Shortcut& shortcut, QWidget* parent = nullptr);

    void Apply();

  private:
    void Fill();
    void MarkChanged();

    Shortcut& shortcut_;
    QLineEdit* url_ = nullptr;
    QLineEdit* folder_ = nullptr;
    QButtonGroup* types_ = nullptr;
    QCheckBox* updateOnly_ = nullptr;
    QPushButton* apply_ = nullptr;
};

}  // namespace qvex::shellext
