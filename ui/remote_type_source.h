#pragma once

#include <QIcon>
#include <QString>

#include <cstdint>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "transfer/entry_types.h"

namespace qvex {

// File types of remote names as the desktop knows them: the type text and icon of the
// MIME type that an extension maps to. The parser asks on the session's thread, so only
// icon names are kept there; the icons themselves are made on the window thread.
class RemoteTypeSource final : public EntryTypeSource {
  public:
    bool describeExtension(std::string_view extension, EntryType& out) override;
    uint32_t fileIcon() override { return kIconFile; }
    uint32_t folderIcon() override { return kIconFolder; }
    uint32_t symLinkIcon() override { return kIconSymLink; }

    // The icon of an entry's icon index (window thread): the type's theme icon, the generic
    // one of its kind when the theme lacks it. Folders and links have icons of their own.
    QIcon Icon(uint32_t index);

  private:
    std::mutex lock_;
    // Index kIconSymLink + 1 + i: the theme icon name and its generic fallback.
    std::vector<std::pair<QString, QString>> names_;
    std::unordered_map<std::string, uint32_t> indexOf_;
    // Window thread only.
    std::unordered_map<uint32_t, QIcon> icons_;
};

}  // namespace qvex
