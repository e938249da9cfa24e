// The file properties dialog: texts for one entry and for several, the mode editor's
// undecided bits, and chmod on local files (on disk) and on remote ones (reported).
#include "ui/properties_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/local_file.h"
#include "platform/locale.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

// 2004-01-05 14:07:09 UTC, a Monday.
constexpr int64_t kMonday = 1073311629;

QString LabelText(const PropertiesDialog& dialog, const char* name) {
    const auto* label = dialog.findChild<QLabel*>(name);
    return label != nullptr ? label->text() : "<no " + QString(name) + ">";
}

QCheckBox* Box(const PropertiesDialog& dialog, uint32_t bit) {
    auto* box = dialog.findChild<QCheckBox*>(QString::asprintf("mode%04o", bit));
    if (box == nullptr) {
        qFatal("no box for %04o", bit);
    }
    return box;
}

// The boxes as an octal mode, with undecided bits apart: "0640" or "0640 ?0004".
QString BoxStates(const PropertiesDialog& dialog) {
    uint32_t checked = 0;
    uint32_t partly = 0;
    for (uint32_t bit = 04000; bit != 0; bit >>= 1) {
        switch (Box(dialog, bit)->checkState()) {
            case Qt::Checked:
                checked |= bit;
                break;
            case Qt::PartiallyChecked:
                partly |= bit;
                break;
            case Qt::Unchecked:
                break;
        }
    }
    return partly == 0 ? QString::asprintf("%04o", checked)
                       : QString::asprintf("%04o ?%04o", checked, partly);
}

uint32_t ModeOnDisk(const std::string& path) {
    const auto status = platform::LocalPathStatus(path);
    return status ? status->mode : 0xFFFFFFFFu;
}

std::string MakeFile(const test::TempFolder& folder, const std::string& name,
                     const std::string& bytes, uint32_t mode) {
    const std::string path = folder.path(name);
    test::WriteFileBytes(path, bytes);
    if (!platform::SetLocalMode(path, mode)) {
        qFatal("chmod %s failed", path.c_str());
    }
    return path;
}

QString Q(const std::string& path) {
    return QString::fromStdString(path);
}

}  // namespace

class PropertiesDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        // Modification times read the same everywhere: in UTC, with English names.
        std::setlocale(LC_TIME, "C");
        ::setenv("TZ", "UTC", 1);
        platform::ForgetLocalTimeOffsets();
    }

    void oneLocalFileShowsItsTextsAndTakesATypedMode() {
        test::TempFolder folder;
        const std::string path = MakeFile(folder, "notes.txt", "hello", 0640);
        test::SetFileTime(path, kMonday);

        PropertiesDialog dialog(QStringList{Q(path)});
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("notes.txt Properties"));
        QCOMPARE(dialog.findChild<QLineEdit*>("propertiesName")->text(),
                 QStringLiteral("notes.txt"));
        QVERIFY(!LabelText(dialog, "propertiesType").isEmpty());
        QCOMPARE(LabelText(dialog, "propertiesSize"), QStringLiteral("5 bytes"));
        QCOMPARE(LabelText(dialog, "propertiesModified"),
                 QStringLiteral("Monday, January 05, 2004 2:07:09 PM"));
        QVERIFY(dialog.findChild<QLabel*>("propertiesSummary") == nullptr);
        QCOMPARE(BoxStates(dialog), QStringLiteral("0640"));
        auto* octal = dialog.findChild<QLineEdit*>("propertiesOctal");
        QCOMPARE(octal->text(), QStringLiteral("0640"));
        QVERIFY(octal->isEnabled());
        QCOMPARE(Box(dialog, 04000)->text(), QStringLiteral("s"));
        QCOMPARE(Box(dialog, 02000)->text(), QStringLiteral("s"));
        QCOMPARE(Box(dialog, 01000)->text(), QStringLiteral("t"));

        // Typing a mode sets the boxes; the field keeps what was typed.
        octal->selectAll();
        QTest::keyClicks(octal, "4751");
        QCOMPARE(BoxStates(dialog), QStringLiteral("4751"));
        QCOMPARE(octal->text(), QStringLiteral("4751"));
        // And a box sets the field.
        Box(dialog, 0004)->click();
        QCOMPARE(octal->text(), QStringLiteral("4755"));

        QSignalSpy chmod(&dialog, &PropertiesDialog::chmodRequested);
        dialog.findChild<QPushButton*>("propertiesChmod")->click();
        QCOMPARE(ModeOnDisk(path), 04755u);
        QCOMPARE(chmod.size(), 1);
        QCOMPARE(chmod[0][0].value<uint32_t>(), 04755u);
        QCOMPARE(chmod[0][1].value<uint32_t>(), 07777u);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void severalLocalEntriesKeepTheirOwnUndecidedBits() {
        test::TempFolder folder;
        const std::string a = MakeFile(folder, "a.txt", "abc", 0644);
        const std::string b = MakeFile(folder, "b.txt", "abcd", 0640);
        const std::string sub = folder.path("sub");
        std::filesystem::create_directory(sub);
        QVERIFY(platform::SetLocalMode(sub, 0755));
        const std::string link = folder.path("link");
        std::filesystem::create_symlink("a.txt", link);

        PropertiesDialog dialog(QStringList{Q(a), Q(b), Q(sub), Q(link)});
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("a.txt, ... Properties"));
        QCOMPARE(LabelText(dialog, "propertiesType"), QStringLiteral("Multiple types"));
        QCOMPARE(LabelText(dialog, "propertiesSize"), QStringLiteral("10 bytes"));
        QCOMPARE(LabelText(dialog, "propertiesSummary"),
                 QStringLiteral("2 Files, 1 Folder, 1 Symbolic Link"));
        QVERIFY(dialog.findChild<QLabel*>("propertiesModified") == nullptr);
        // 0644, 0640, 0755 and the link's 0644: owner x, group x, others r and x differ.
        QCOMPARE(BoxStates(dialog), QStringLiteral("0640 ?0115"));
        auto* octal = dialog.findChild<QLineEdit*>("propertiesOctal");
        QCOMPARE(octal->text(), QStringLiteral("****"));
        QVERIFY(!octal->isEnabled());

        // Deciding three of the four leaves the field disabled.
        Box(dialog, 0100)->click();
        Box(dialog, 0010)->click();
        Box(dialog, 0001)->click();
        QCOMPARE(BoxStates(dialog), QStringLiteral("0751 ?0004"));
        QCOMPARE(octal->text(), QStringLiteral("****"));
        QVERIFY(!octal->isEnabled());

        dialog.findChild<QPushButton*>("propertiesChmod")->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(ModeOnDisk(a), 0755u);
        QCOMPARE(ModeOnDisk(b), 0751u);
        QCOMPARE(ModeOnDisk(sub), 0755u);
    }

    void decidingTheLastUndecidedBitEnablesTheOctalField() {
        test::TempFolder folder;
        const std::string a = MakeFile(folder, "a", "", 0644);
        const std::string b = MakeFile(folder, "b", "", 0640);
        PropertiesDialog dialog(QStringList{Q(a), Q(b)});
        dialog.show();
        // Both are empty files: whatever the desktop calls them, it is one type.
        QVERIFY(LabelText(dialog, "propertiesType").startsWith("All of type "));
        QVERIFY(LabelText(dialog, "propertiesType").size() > 12);
        auto* octal = dialog.findChild<QLineEdit*>("propertiesOctal");
        QCOMPARE(octal->text(), QStringLiteral("****"));
        QVERIFY(!octal->isEnabled());

        QCheckBox* othersRead = Box(dialog, 0004);
        QVERIFY(othersRead->isTristate());
        othersRead->click();  // undecided -> set
        QCOMPARE(octal->text(), QStringLiteral("0644"));
        QVERIFY(octal->isEnabled());
        othersRead->click();  // set -> clear
        QCOMPARE(octal->text(), QStringLiteral("0640"));
        othersRead->click();  // clear -> undecided again
        QCOMPARE(octal->text(), QStringLiteral("****"));
        QVERIFY(!octal->isEnabled());
        othersRead->click();
        othersRead->click();

        dialog.findChild<QPushButton*>("propertiesChmod")->click();
        QCOMPARE(ModeOnDisk(a), 0640u);
        QCOMPARE(ModeOnDisk(b), 0640u);
    }

    void remoteEntriesReportTheModeAndTheDecidedBits() {
        auto entry = [](const char* name, uint32_t mode) {
            RemoteEntry e;
            e.name = name;
            e.size = 100;
            e.flags = kEntryModeValid | kEntryTypeFile;
            e.modeAndIcon = mode << kEntryModeShift;
            return e;
        };
        PropertiesDialog dialog({entry("x.bin", 0600), entry("y.bin", 0644)}, {});
        QCOMPARE(dialog.windowTitle(), QStringLiteral("x.bin, ... Properties"));
        QCOMPARE(LabelText(dialog, "propertiesType"), QStringLiteral("All of type File"));
        QCOMPARE(LabelText(dialog, "propertiesSize"), QStringLiteral("200 bytes"));
        QCOMPARE(LabelText(dialog, "propertiesSummary"),
                 QStringLiteral("2 Files, 0 Folders, 0 Symbolic Links"));
        Box(dialog, 0040)->click();  // group read: undecided -> set; others read stays open

        QSignalSpy chmod(&dialog, &PropertiesDialog::chmodRequested);
        dialog.findChild<QPushButton*>("propertiesChmod")->click();
        QCOMPARE(chmod.size(), 1);
        QCOMPARE(chmod[0][0].value<uint32_t>(), 0644u);
        QCOMPARE(chmod[0][1].value<uint32_t>(), 07773u);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void aVanishedLocalFileIsNamedAndTheDialogStays() {
        test::TempFolder folder;
        const std::string kept = MakeFile(folder, "kept", "", 0600);
        const std::string gone = MakeFile(folder, "gone", "", 0600);
        PropertiesDialog dialog(QStringList{Q(kept), Q(gone)});
        dialog.show();
        std::filesystem::remove(gone);
        Box(dialog, 0004)->click();

        QStringList shown;
        dialog.SetModalRunner([&shown](QDialog& box) {
            shown << box.windowTitle() + "|" + qobject_cast<QMessageBox*>(&box)->text();
            return int(QMessageBox::Ok);
        });
        dialog.findChild<QPushButton*>("propertiesChmod")->click();
        QCOMPARE(shown, QStringList{"kept, ... Properties|Unable to change the mode of:\n" +
                                    Q(gone) + ": No such file or directory"});
        QCOMPARE(ModeOnDisk(kept), 0604u);
        QVERIFY(dialog.isVisible());
    }
};

}  // namespace qvex

QTEST_MAIN(qvex::PropertiesDialogTest)
#include "properties_dialog_test.moc"
