// The launcher's verbs on ".qvex" files on the offscreen platform: the properties dialog's
// texts, its Apply button and the file it writes (only on a difference), the paste items with
// and without a URL in the clipboard, and the upload of files dropped on a shortcut.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <string>
#include <vector>

#include "shellext/properties_dialog.h"
#include "shellext/shortcut_verbs.h"
#include "tests/support/temp_env.h"

namespace qvex::shellext {

using Strings = std::vector<std::string>;

// What a verb started and reported.
struct Recorder {
    std::vector<Strings> options;
    std::vector<Strings> names;
    Strings reports;

    VerbEnvironment environment() {
        return {[this](const Strings& o, const Strings& n) {
                    options.push_back(o);
                    names.push_back(n);
                    return true;
                },
                [this](const std::string& message) { reports.push_back(message); }};
    }
};

class ShortcutVerbsTest : public QObject {
    Q_OBJECT

  private:
    const std::string header_ = "[QvexShortcut]";

    static QPushButton* Button(PropertiesDialog& dialog, QDialogButtonBox::StandardButton which) {
        return dialog.findChild<QDialogButtonBox*>()->button(which);
    }

    static QStringList Texts(QWidget& dialog) {
        QStringList texts;
        for (auto* label : dialog.findChildren<QLabel*>()) {
            texts << label->text();
        }
        for (auto* group : dialog.findChildren<QGroupBox*>()) {
            texts << group->title();
        }
        for (auto* button : dialog.findChildren<QAbstractButton*>()) {
            texts << QString(button->text()).remove('&');
        }
        return texts;
    }

  private slots:
    void dialogShowsTheShortcut() {
        qvex::test::TempFolder folder;
        const std::string path = folder.path("My Site.v2.qvex");
        qvex::test::WriteFileBytes(
            path, header_ + "\r\nURL=ftp://h/pub/\r\nXDir=/tmp/in\r\nXMode=i\r\nUpdate=1");
        Shortcut shortcut;
        shortcut.Load(path);
        PropertiesDialog dialog(shortcut);
        QCOMPARE(dialog.windowTitle(), QString("Qvex Shortcut"));
        const QStringList texts = Texts(dialog);
        for (const char* text :
             {"My Site.v2", "Server URL:", "Transfer Dir:", "Transfer Type ", "None", "ASCII",
              "Image", "Smart", "Use Update-ONLY Transfers", "OK", "Cancel", "Apply"}) {
            QVERIFY2(texts.contains(text), text);
        }
        QCOMPARE(dialog.findChild<QLineEdit*>("url")->text(), QString("ftp://h/pub/"));
        QCOMPARE(dialog.findChild<QLineEdit*>("folder")->text(), QString("/tmp/in"));
        for (auto* radio : dialog.findChildren<QRadioButton*>()) {
            QCOMPARE(radio->isChecked(), radio->text() == "Image");
        }
        QVERIFY(dialog.findChild<QCheckBox*>()->isChecked());
        QVERIFY(!Button(dialog, QDialogButtonBox::Apply)->isEnabled());
    }

    void applyWritesOnlyWhatDiffers() {
        qvex::test::TempFolder folder;
        const std::string path = folder.path("site.qvex");
        // CR LF lines as another writer left them: a rewrite would change the bytes.
        const std::string original = header_ + "\r\nURL=ftp://h/\r\nXMode=a\r\n";
        qvex::test::WriteFileBytes(path, original);
        qvex::test::SetFileTime(path, 1000000000);
        Shortcut shortcut;
        shortcut.Load(path);
        PropertiesDialog dialog(shortcut);
        QPushButton* apply = Button(dialog, QDialogButtonBox::Apply);
        auto* url = dialog.findChild<QLineEdit*>("url");

        // An edit typed back to the stored value enables Apply but writes nothing.
        QTest::keyClick(url, Qt::Key_X);
        QVERIFY(apply->isEnabled());
        QTest::keyClick(url, Qt::Key_Backspace);
        apply->click();
        QVERIFY(!apply->isEnabled());
        QCOMPARE(qvex::test::ReadFileBytes(path), original);
        QCOMPARE(qvex::test::FileTime(path), int64_t{1000000000});

        // A click on the checked radio button is a change too, with no difference.
        auto radios = dialog.findChildren<QRadioButton*>();
        QRadioButton* ascii = *std::find_if(radios.begin(), radios.end(),
                                            [](QRadioButton* r) { return r->text() == "ASCII"; });
        ascii->click();
        QVERIFY(apply->isEnabled());
        apply->click();
        QCOMPARE(qvex::test::FileTime(path), int64_t{1000000000});

        // Real differences are written, in the designed form.
        QRadioButton* smart = *std::find_if(radios.begin(), radios.end(),
                                            [](QRadioButton* r) { return r->text() == "Smart"; });
        smart->click();
        QTest::keyClicks(dialog.findChild<QLineEdit*>("folder"), "/srv/in");
        dialog.findChild<QCheckBox*>()->click();
        Button(dialog, QDialogButtonBox::Ok)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(qvex::test::ReadFileBytes(path),
                 header_ + "\nURL=ftp://h/\nXDir=/srv/in\nXMode=x\nUpdate=1");
    }

    void cancelWritesNothing() {
        qvex::test::TempFolder folder;
        const std::string path = folder.path("site.qvex");
        qvex::test::WriteFileBytes(path, header_);
        Shortcut shortcut;
        shortcut.Load(path);
        PropertiesDialog dialog(shortcut);
        QTest::keyClicks(dialog.findChild<QLineEdit*>("url"), "ftp://x/");
        Button(dialog, QDialogButtonBox::Cancel)->click();
        QCOMPARE(qvex::test::ReadFileBytes(path), header_);
    }

    void pasteVerbsStartTheClipboardUrl() {
        qvex::test::TempFolder folder;
        const std::string path = folder.path("site.qvex");
        const std::string bytes = header_ + "\nURL=ftp://own/\nXDir=/srv/in\nXMode=i\nUpdate=1";
        qvex::test::WriteFileBytes(path, bytes);
        Recorder recorder;
        QApplication::clipboard()->setText("ftp://mirror.example.org/pub/\n");
        QCOMPARE(RunShortcutVerb("paste-download", {path}, recorder.environment()), kVerbDone);
        QCOMPARE(RunShortcutVerb("paste-listing", {path}, recorder.environment()), kVerbDone);
        QCOMPARE(
            recorder.options,
            (std::vector<Strings>{
                {"-f", "ftp://mirror.example.org/pub/", "-d", "/srv/in", "-xi", "-v"},
                {"-f", "ftp://mirror.example.org/pub/;type=d", "-d", "/srv/in", "-xi", "-v"}}));
        QCOMPARE(recorder.names, (std::vector<Strings>{{}, {}}));
        QVERIFY(recorder.reports.empty());
        QCOMPARE(qvex::test::ReadFileBytes(path), bytes);
    }

    void pasteWithoutUrlStartsNothing() {
        qvex::test::TempFolder folder;
        const std::string path = folder.path("site.qvex");
        qvex::test::WriteFileBytes(path, header_ + "\nURL=ftp://own/");
        for (const char* text : {"", "  \n", "no dot here"}) {
            Recorder recorder;
            QApplication::clipboard()->setText(text);
            QCOMPARE(RunShortcutVerb("paste-download", {path}, recorder.environment()),
                     kVerbNothingDone);
            QVERIFY(recorder.options.empty());
            QCOMPARE(recorder.reports, Strings{"The clipboard holds no URL to paste into " + path});
        }
    }

    void uploadToTheShortcutInTheSelection() {
        qvex::test::TempFolder folder;
        const std::string shortcut = folder.path("Site.QVEX");
        qvex::test::WriteFileBytes(shortcut, header_ + "\nURL=ftp://u@h/in/");
        Recorder recorder;
        const Strings files{folder.path("a b.txt"), folder.path("-rf"), folder.path("new\nline")};
        QCOMPARE(RunShortcutVerb("upload-to-shortcut", {files[0], shortcut, files[1], files[2]},
                                 recorder.environment()),
                 kVerbDone);
        QCOMPARE(recorder.options, (std::vector<Strings>{{"-u", "ftp://u@h/in/"}}));
        QCOMPARE(recorder.names, (std::vector<Strings>{files}));

        // No shortcut, two shortcuts, or nothing to upload: refused with a message.
        for (const Strings& selection :
             {Strings{files[0]}, Strings{shortcut, shortcut, files[0]}, Strings{shortcut}}) {
            Recorder refused;
            QCOMPARE(RunShortcutVerb("upload-to-shortcut", selection, refused.environment()),
                     kVerbUsage);
            QVERIFY(refused.options.empty());
            QCOMPARE(refused.reports.size(), size_t{1});
        }
    }
};

}  // namespace qvex::shellext

QTEST_MAIN(qvex::shellext::ShortcutVerbsTest)
#include "shortcut_verbs_test.moc"
