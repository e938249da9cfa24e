#include "ui/properties_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/local_file.h"
#include "ui/qt_text.h"
#include "util/format.h"

namespace qvex {
namespace {

constexpr uint32_t BitOfBox(size_t box) {
    return 04000u >> box;
}

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// A local file or folder as a list entry, with the type text the local pane's Type column
// shows for it.
RemoteEntry LocalEntry(const QString& path, std::string& typeText) {
    const QFileInfo info(path);
    RemoteEntry entry;
    entry.name = (info.fileName().isEmpty() ? path : info.fileName()).toStdString();
    if (info.isSymLink()) {
        entry.flags |= kEntrySymLink;
    }
    // A link reports what it names, as chmod changes that.
    if (std::optional<platform::LocalStatus> status = platform::LocalPathStatus(LocalPath(path))) {
        entry.flags |= kEntryModeValid | (status->isFolder ? kEntryDirectory : 0);
        entry.modeAndIcon = status->mode << kEntryModeShift;
        entry.size = status->isFolder ? 0 : static_cast<int64_t>(status->size);
        entry.time = status->modified;
    }
    typeText = QFileIconProvider().type(info).toStdString();
    return entry;
}

}  // namespace

PropertiesDialog::PropertiesDialog(std::vector<RemoteEntry> entries,
                                   const EntryTypeText& typeTextOf, QWidget* parent)
    : QDialog(parent), entries_(std::move(entries)) {
    Build(entryProperties(entries_, typeTextOf));
}

PropertiesDialog::PropertiesDialog(const QStringList& localPaths, QWidget* parent)
    : QDialog(parent), localPaths_(localPaths) {
    // Paths of one folder: their names tell them apart.
    std::map<std::string, std::string> types;
    for (const QString& path : localPaths_) {
        std::string type;
        entries_.push_back(LocalEntry(path, type));
        types[entries_.back().name] = std::move(type);
    }
    Build(entryProperties(entries_,
                          [&types](const RemoteEntry& entry) { return types[entry.name]; }));
}

void PropertiesDialog::Build(const EntryProperties& shown) {
    setObjectName("propertiesDialog");
    setWindowTitle(Text(shown.nameText) + " Properties");
    unionMode_ = shown.mode;

    auto* form = new QFormLayout;
    auto* name = new QLineEdit(Text(shown.nameText));
    name->setObjectName("propertiesName");
    name->setReadOnly(true);
    form->addRow("Name:", name);
    auto addText = [form](const char* label, const char* objectName, const std::string& text) {
        auto* value = new QLabel(Text(text));
        value->setObjectName(objectName);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(label, value);
    };
    addText("Type:", "propertiesType", shown.typeText);
    addText("Size:", "propertiesSize", FormatSize(shown.size, kSizeWithBytes));
    if (entries_.size() == 1) {
        addText("Modified:", "propertiesModified", shown.modifiedText);
    } else {
        addText("Contains:", "propertiesSummary", shown.summaryText);
    }

    auto* modeBox = new QGroupBox("Permissions");
    auto* grid = new QGridLayout(modeBox);
    const char* columns[] = {"read", "write", "execute"};
    for (int column = 0; column < 3; ++column) {
        grid->addWidget(new QLabel(columns[column]), 0, column + 1, Qt::AlignCenter);
    }
    const char* rows[] = {"extra", "owner", "group", "others"};
    const char* extras[] = {"s", "s", "t"};
    const char* extraNames[] = {"set-user-ID", "set-group-ID", "sticky"};
    for (size_t box = 0; box < boxes_.size(); ++box) {
        const size_t row = box / 3;
        const size_t column = box % 3;
        const uint32_t bit = BitOfBox(box);
        auto* check = new QCheckBox(row == 0 ? extras[column] : "");
        check->setObjectName(QString::asprintf("mode%04o", bit));
        check->setAccessibleName(row == 0 ? QString(extraNames[column])
                                          : QString("%1 %2").arg(rows[row], columns[column]));
        check->setToolTip(check->accessibleName());
        if ((shown.undecided & bit) != 0) {
            check->setTristate(true);
            check->setCheckState(Qt::PartiallyChecked);
        } else {
            check->setChecked((shown.mode & bit) != 0);
        }
        connect(check, &QCheckBox::stateChanged, this, &PropertiesDialog::ShowOctal);
        boxes_[box] = check;
        // The extra row goes below the three classes.
        const int gridRow = row == 0 ? 4 : static_cast<int>(row);
        grid->addWidget(check, gridRow, static_cast<int>(column) + 1, Qt::AlignCenter);
    }
    for (int row = 0; row < 4; ++row) {
        grid->addWidget(new QLabel(rows[row]), row == 0 ? 4 : row, 0);
    }

    octal_ = new QLineEdit;
    octal_->setObjectName("propertiesOctal");
    octal_->setAccessibleName("Octal mode");
    octal_->setMaxLength(4);
    octal_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-7]{1,4}"), octal_));
    connect(octal_, &QLineEdit::textEdited, this, &PropertiesDialog::OctalEdited);
    auto* chmod = new QPushButton("chmod");
    chmod->setObjectName("propertiesChmod");
    chmod->setAutoDefault(false);
    connect(chmod, &QPushButton::clicked, this, &PropertiesDialog::Chmod);
    auto* octalRow = new QHBoxLayout;
    octalRow->addWidget(octal_);
    octalRow->addWidget(chmod);
    octalRow->addStretch();
    grid->addLayout(octalRow, 5, 0, 1, 4);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(modeBox);
    layout->addWidget(buttons);
    ShowOctal();
}

uint32_t PropertiesDialog::mode() const {
    uint32_t mode = 0;
    for (size_t box = 0; box < boxes_.size(); ++box) {
        const uint32_t bit = BitOfBox(box);
        switch (boxes_[box]->checkState()) {
            case Qt::Checked:
                mode |= bit;
                break;
            case Qt::PartiallyChecked:
                mode |= unionMode_ & bit;
                break;
            case Qt::Unchecked:
                break;
        }
    }
    return mode;
}

uint32_t PropertiesDialog::decidedBits() const {
    uint32_t decided = kModeBits;
    for (size_t box = 0; box < boxes_.size(); ++box) {
        if (boxes_[box]->checkState() == Qt::PartiallyChecked) {
            decided &= ~BitOfBox(box);
        }
    }
    return decided;
}

void PropertiesDialog::ShowOctal() {
    const uint32_t undecided = kModeBits & ~decidedBits();
    octal_->setEnabled(undecided == 0);
    // While the user types, the field keeps what was typed.
    if (!octalTyping_) {
        octal_->setText(Text(octalModeText(mode(), undecided)));
    }
}

void PropertiesDialog::OctalEdited(const QString& text) {
    bool valid = false;
    const uint32_t typed = text.toUInt(&valid, 8);
    if (!valid) {
        return;
    }
    octalTyping_ = true;
    for (size_t box = 0; box < boxes_.size(); ++box) {
        boxes_[box]->setCheckState((typed & BitOfBox(box)) != 0 ? Qt::Checked : Qt::Unchecked);
    }
    octalTyping_ = false;
}

void PropertiesDialog::Chmod() {
    emit chmodRequested(mode(), decidedBits());
    if (!localPaths_.isEmpty() && !ChangeLocalModes()) {
        return;
    }
    accept();
}

bool PropertiesDialog::ChangeLocalModes() {
    const uint32_t chosen = mode();
    const uint32_t decided = decidedBits();
    QStringList failures;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const RemoteEntry& entry = entries_[i];
        const uint32_t own = (entry.flags & kEntryModeValid) != 0 ? entryModeOf(entry) : unionMode_;
        const uint32_t changed = (chosen & decided) | (own & ~decided & kModeBits);
        const QString& path = localPaths_[static_cast<qsizetype>(i)];
        if (!platform::SetLocalMode(LocalPath(path), changed)) {
            failures << path + ": " + Text(platform::FileErrorText(platform::LastFileError()));
        }
    }
    if (failures.isEmpty()) {
        return true;
    }
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    "Unable to change the mode of:\n" + failures.join('\n'), QMessageBox::Ok, this);
    box.setObjectName("propertiesProblem");
    (void)RunModal(modalRunner_, box);
    return false;
}

}  // namespace qvex
