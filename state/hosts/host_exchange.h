#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state/hosts/host_list.h"

namespace qvex {

// The host exchange text: 8-bit text with CR LF line ends, moving host entries between
// installations.
//
//   [QvexEx]
//   X<kind><name>            kind from "AUPB": credentials (1) + per-host word (2)
//   <credentials>            for U and B: EncodeHostEntryData, as stored in the registry
//   <word>                   for P and B: "%08X"
//
// The name is HostNameForText(url): the plain URL, so an exported entry imports as the same
// URL, unless the URL would show a password (or cannot stand on a line): then "*" and the URL
// in secret form. Credentials travel in their stored form, which every installation decodes.
inline constexpr std::string_view kExchangeHeader = "[QvexEx]";
inline constexpr std::string_view kExchangeKinds = "AUPB";
inline constexpr std::string_view kExchangeToolTitle = "Qvex Import/Export Tool";
inline constexpr std::string_view kExchangeFileFilter = "Text files (*.txt)";
inline constexpr std::string_view kExchangeFileExtension = ".txt";

// Status messages of the tool.
inline constexpr std::string_view kExportedToClipboard = "%d entries placed in clipboard";
inline constexpr std::string_view kExportedToFile = "%d entries written to file";
inline constexpr std::string_view kImported = "%d entries imported";
inline constexpr std::string_view kUnableToOpenFile = "Unable to open file";
inline constexpr std::string_view kUnableToWriteFile = "Unable to write to file";
inline constexpr std::string_view kUnableToReadFile = "Unable to read file";
inline constexpr std::string_view kFileIsEmpty = "File is empty";
inline constexpr std::string_view kNoClipboardText = "No text in clipboard";
inline constexpr std::string_view kNoImportData = "No valid QvexEx import data";

// The clipboard as the exchange sees it: the user interface fills `text` from the system
// clipboard before a paste (nullopt when the clipboard holds no text) and puts `text` on the
// clipboard, as plain text, after a copy.
struct ClipboardText {
    std::optional<std::string> text;
};

// What an export or import did.
struct ExchangeOutcome {
    bool acted = false;             // false: nothing was done and the status line stays as it was
    std::string status;             // the status line's new text
    int count = 0;                  // groups written or entries imported
    std::vector<std::string> urls;  // the imported entries' URLs, in text order
};

// The whole text for these entries, header first.
[[nodiscard]] std::string BuildExchangeText(const std::vector<HostEntry>& entries);

// The entries of an exchange text, up to its end or to the first group that is cut short
// or malformed. `valid` is false when the text holds no "[".
struct ParsedExchange {
    bool valid = false;
    std::vector<HostEntry> entries;
};
[[nodiscard]] ParsedExchange ParseExchangeText(std::string_view text);

// Export of the entries whose URLs are `selection` (every entry, in list order, when it is
// empty); URLs no longer in the list are passed over. Nothing happens when there is nothing
// to export.
[[nodiscard]] ExchangeOutcome ExportHosts(const HostList& hosts,
                                          const std::vector<std::string>& selection,
                                          const std::string& path);
[[nodiscard]] ExchangeOutcome ExportHosts(const HostList& hosts,
                                          const std::vector<std::string>& selection,
                                          ClipboardText& clipboard);

// Import into the host list: every entry read is saved (over an existing entry of the same
// URL), those before a fault included. The text of a file, as that of the clipboard, ends at
// its first NUL.
[[nodiscard]] ExchangeOutcome ImportHosts(HostList& hosts, const std::string& path);
[[nodiscard]] ExchangeOutcome ImportHosts(HostList& hosts, const ClipboardText& clipboard);
[[nodiscard]] ExchangeOutcome ImportHostsFromText(HostList& hosts, std::string_view text);

// The import/export tool without its dialog: the list of host URLs (in the host list's order
// when it opened, imported names appended once) and the status line.
class HostExchangeTool {
  public:
    explicit HostExchangeTool(HostList& hosts);

    const std::vector<std::string>& rows() const { return rows_; }
    const std::string& status() const { return status_; }

    // "Export..." and "Copy" with these rows selected (all rows when none).
    void Export(const std::vector<size_t>& selectedRows, const std::string& path);
    void Copy(const std::vector<size_t>& selectedRows, ClipboardText& clipboard);
    // "Import..." (and each file dropped on the dialog) and "Paste".
    void Import(const std::string& path);
    void Paste(const ClipboardText& clipboard);

  private:
    std::vector<std::string> Selection(const std::vector<size_t>& selectedRows) const;
    void Take(const ExchangeOutcome& outcome);

    HostList& hosts_;
    std::vector<std::string> rows_;
    std::string status_;
};

}  // namespace qvex
