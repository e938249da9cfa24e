#include "ui/hash_menu.h"

#include <QDir>
#include <QFileInfo>
#include <QMenu>

#include "ui/hash_sum_dialog.h"

namespace qvex {
namespace {

// The algorithms a menu offers, in table order, MD5 first.
constexpr HashAlgorithm kOffered[] = {HashAlgorithm::Md5,    HashAlgorithm::Sha1,
                                      HashAlgorithm::Sha224, HashAlgorithm::Sha256,
                                      HashAlgorithm::Sha384, HashAlgorithm::Sha512,
                                      HashAlgorithm::Whirlpool};

}  // namespace

void AddHashMenu(QMenu& menu, const QString& folder, const QStringList& names,
                 const HashDialogOpener& open) {
    if (names.isEmpty()) {
        return;
    }
    // The pane hands over full paths; rows and saved files name them from its folder.
    const QDir shown(folder);
    QStringList relative;
    for (const QString& name : names) {
        const QString inside = shown.relativeFilePath(name);
        relative << (QDir::isAbsolutePath(name) && !inside.startsWith("..") ? inside : name);
    }
    std::vector<std::string> selected;
    for (const QString& name : relative) {
        selected.push_back(name.toStdString());
    }
    const std::string base = folder.toStdString();
    auto request = [base, selected](HashMode mode, int letter) {
        return HashRequest{mode, letter, base, selected};
    };

    const QString single = relative.size() == 1 ? relative.front() : QString();
    if (!single.isEmpty() && QFileInfo(QDir(folder).filePath(single)).isFile()) {
        QMenu* verifyAs = menu.addMenu("Verify As");
        for (HashAlgorithm algorithm : kOffered) {
            const HashAlgorithmInfo& info = InfoOf(algorithm);
            QAction* item = verifyAs->addAction(QString("Contains ") + info.menuLabel);
            QObject::connect(item, &QAction::triggered, &menu, [open, request, info] {
                open(request(HashMode::Verify, info.letter));
            });
        }
        QAction* verify = menu.addAction("Verify cryptographic checksum(s)");
        verify->setEnabled(IsSumsFileName(QFileInfo(single).fileName().toStdString()));
        QObject::connect(verify, &QAction::triggered, &menu,
                         [open, request] { open(request(HashMode::Verify, 0)); });
    }
    QMenu* compute = menu.addMenu("Compute ");
    for (HashAlgorithm algorithm : kOffered) {
        const HashAlgorithmInfo& info = InfoOf(algorithm);
        QAction* item = compute->addAction(QString("Compute ") + info.menuLabel);
        QObject::connect(item, &QAction::triggered, &menu, [open, request, info] {
            open(request(HashMode::Compute, info.letter));
        });
    }
}

HashDialogOpener HashSumDialogOpener(SharedHeap& heap, Settings& settings, QWidget* parent) {
    return [&heap, &settings, parent](const HashRequest& request) {
        (void)OpenHashSumDialog(heap, settings, request, parent);
    };
}

}  // namespace qvex
