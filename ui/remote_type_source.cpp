#include "ui/remote_type_source.h"

#include <QFileIconProvider>
#include <QMimeDatabase>
#include <QPainter>
#include <QPixmap>

#include <string>

#include "ui/qt_text.h"

namespace qvex {
namespace {

// A folder with the desktop's link emblem in its lower left corner.
QIcon LinkIcon(const QIcon& base) {
    const QIcon emblem = QIcon::fromTheme("emblem-symbolic-link");
    if (emblem.isNull()) {
        return base;
    }
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48}) {
        QPixmap pixmap = base.pixmap(size, size);
        QPainter painter(&pixmap);
        const int mark = size / 2 + 2;
        painter.drawPixmap(0, size - mark, emblem.pixmap(mark, mark));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

bool RemoteTypeSource::describeExtension(std::string_view extension, EntryType& out) {
    // QMimeDatabase may be used from any thread.
    const QMimeType type = QMimeDatabase().mimeTypeForFile("x" + Text(extension),
                                                           QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault()) {
        return false;
    }
    out.text = type.comment().toStdString();
    std::lock_guard<std::mutex> hold(lock_);
    const std::string key = type.name().toStdString();
    auto found = indexOf_.find(key);
    if (found == indexOf_.end()) {
        names_.emplace_back(type.iconName(), type.genericIconName());
        found = indexOf_.emplace(key, static_cast<uint32_t>(kIconSymLink + names_.size())).first;
    }
    out.icon = found->second;
    return true;
}

QIcon RemoteTypeSource::Icon(uint32_t index) {
    auto found = icons_.find(index);
    if (found != icons_.end()) {
        return found->second;
    }
    const QFileIconProvider provider;
    QIcon icon;
    if (index == kIconFolder) {
        icon = provider.icon(QFileIconProvider::Folder);
    } else if (index == kIconSymLink) {
        icon = LinkIcon(provider.icon(QFileIconProvider::Folder));
    } else {
        icon = provider.icon(QFileIconProvider::File);
        std::pair<QString, QString> names;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (index > kIconSymLink && index - kIconSymLink - 1 < names_.size()) {
                names = names_[index - kIconSymLink - 1];
            }
        }
        if (!names.first.isEmpty()) {
            icon = QIcon::fromTheme(names.first, QIcon::fromTheme(names.second, icon));
        }
    }
    return icons_.emplace(index, icon).first->second;
}

}  // namespace qvex
