#include "shellext/properties_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace qvex::shellext {
namespace {

// Radio buttons by type, 0 to 3.
constexpr const char* kTypeNames[] = {"None", "ASCII", "Image", "Smart"};

std::string Local8Bit(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

}  // namespace

PropertiesDialog::PropertiesDialog(Shortcut& shortcut, QWidget* parent)
    : QDialog(parent), shortcut_(shortcut) {
    setWindowTitle("Qvex Shortcut");
    auto* name = new QLabel(QFileInfo(QString::fromLocal8Bit(shortcut.path())).completeBaseName());
    name->setObjectName("name");
    name->setTextInteractionFlags(Qt::TextSelectableByMouse);

    url_ = new QLineEdit;
    url_->setObjectName("url");
    folder_ = new QLineEdit;
    folder_->setObjectName("folder");
    auto* fields = new QFormLayout;
    fields->addRow(name);
    fields->addRow("Server URL:", url_);
    fields->addRow("Transfer Dir:", folder_);

    auto* typeBox = new QGroupBox("Transfer Type ");
    auto* typeRow = new QHBoxLayout(typeBox);
    types_ = new QButtonGroup(this);
    for (int type = 0; type < 4; ++type) {
        auto* button = new QRadioButton(kTypeNames[type]);
        types_->addButton(button, type);
        typeRow->addWidget(button);
    }
    updateOnly_ = new QCheckBox("Use Update-ONLY Transfers");

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::Apply);
    apply_ = buttons->button(QDialogButtonBox::Apply);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(typeBox);
    layout->addWidget(updateOnly_);
    layout->addWidget(buttons);

    Fill();
    connect(url_, &QLineEdit::textEdited, this, &PropertiesDialog::MarkChanged);
    connect(folder_, &QLineEdit::textEdited, this, &PropertiesDialog::MarkChanged);
    connect(types_, &QButtonGroup::idClicked, this, &PropertiesDialog::MarkChanged);
    connect(updateOnly_, &QCheckBox::clicked, this, &PropertiesDialog::MarkChanged);
    connect(apply_, &QPushButton::clicked, this, &PropertiesDialog::Apply);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        Apply();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void PropertiesDialog::Fill() {
    const ShortcutFields& stored = shortcut_.fields();
    url_->setText(QString::fromLocal8Bit(stored.url));
    folder_->setText(QString::fromLocal8Bit(stored.folder));
    types_->button(stored.type)->setChecked(true);
    updateOnly_->setChecked(stored.updateOnly);
    apply_->setEnabled(false);
}

void PropertiesDialog::MarkChanged() {
    apply_->setEnabled(true);
}

void PropertiesDialog::Apply() {
    const ShortcutFields stored = shortcut_.fields();
    bool differs = false;
    const std::string url = Local8Bit(url_->text());
    if (url != stored.url) {
        differs = shortcut_.SetUrl(url);
    }
    const std::string folder = Local8Bit(folder_->text());
    if (folder != stored.folder) {
        differs = shortcut_.SetFolder(folder) || differs;
    }
    if (types_->checkedId() != stored.type) {
        differs = shortcut_.SetType(types_->checkedId()) || differs;
    }
    if (updateOnly_->isChecked() != stored.updateOnly) {
        differs = shortcut_.SetUpdateMode(updateOnly_->isChecked() ? 1 : 0) || differs;
    }
    // A file that cannot be written is left as it was, like the page it came from.
    if (differs) {
        (void)shortcut_.Save();
    }
    apply_->setEnabled(false);
}

}  // namespace qvex::shellext
