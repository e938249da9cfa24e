#include "ui/transfer_drag_data.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QMimeData>
#include <QUrl>

#include "transfer/listing_cache.h"
#include "ui/qt_text.h"

namespace qvex {
namespace {

// Marks the layout below; a later layout takes another number.
constexpr quint32 kDragMagic = 0x51764401;
// More entries than any listing holds means a damaged drag.
constexpr quint32 kMaxDraggedEntries = static_cast<quint32>(kMaxListingEntries);

}  // namespace

QMimeData* RemoteEntriesMimeData(const ListingCache& cache, int32_t directoryId,
                                 const std::vector<int32_t>& positions) {
    PositionList entries(cache, directoryId, positions);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    quint32 count = 0;
    for (const std::string& name : entries.names) {
        count += name.empty() ? 0u : 1u;
    }
    out << kDragMagic << static_cast<qint64>(QCoreApplication::applicationPid())
        << static_cast<qint32>(directoryId) << count;
    for (size_t i = 0; i < entries.positions.size(); ++i) {
        if (!entries.names[i].empty()) {
            out << static_cast<qint32>(entries.positions[i]) << Text(entries.names[i]);
        }
    }
    auto* data = new QMimeData;
    data->setData(kRemoteEntriesMimeType, bytes);
    return data;
}

std::optional<RemoteEntriesDrag> DecodeRemoteEntries(const QMimeData& data) {
    if (!data.hasFormat(kRemoteEntriesMimeType)) {
        return std::nullopt;
    }
    QDataStream in(data.data(kRemoteEntriesMimeType));
    quint32 magic = 0;
    qint64 process = 0;
    qint32 directoryId = -1;
    quint32 count = 0;
    in >> magic >> process >> directoryId >> count;
    if (in.status() != QDataStream::Ok || magic != kDragMagic ||
        process != QCoreApplication::applicationPid() || count > kMaxDraggedEntries) {
        return std::nullopt;
    }
    RemoteEntriesDrag drag;
    drag.directoryId = directoryId;
    for (quint32 i = 0; i < count; ++i) {
        qint32 position = -1;
        QString name;
        in >> position >> name;
        if (in.status() != QDataStream::Ok || position < 0 || name.isEmpty()) {
            return std::nullopt;
        }
        drag.positions.push_back(position);
        drag.names.push_back(name.toStdString());
    }
    if (!in.atEnd()) {
        return std::nullopt;
    }
    return drag;
}

LocalDrop DecodeLocalPaths(const QMimeData& data) {
    LocalDrop drop;
    if (!data.hasUrls() || data.urls().isEmpty()) {
        drop.problem = "Only files and folders can be dropped here.";
        return drop;
    }
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile()) {
            drop.problem =
                "Only local files and folders can be transferred:\n" + url.toDisplayString();
            break;
        }
        const QString path = QDir::cleanPath(url.toLocalFile());
        if (!QFileInfo::exists(path)) {
            drop.problem = path + "\nThis file or folder does not exist.";
            break;
        }
        drop.paths.push_back(path.toStdString());
    }
    if (!drop.problem.isEmpty()) {
        drop.paths.clear();
    }
    return drop;
}

}  // namespace qvex
