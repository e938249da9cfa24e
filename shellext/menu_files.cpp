#include "shellext/menu_files.h"

#include "shellext/launch_command.h"
#include "shellext/recent_hosts.h"
#include "shellext/shortcut_verbs.h"

namespace qvex::shellext {
namespace {

constexpr const char* kStartLabel = "Start Qvex Professional Here";
constexpr const char* kUploadLabel = "Upload file(s) To";
constexpr const char* kNoHostsLabel = "Upload file(s) To (no recent hosts)";
constexpr const char* kVerifyLabel = "Verify cryptographic checksum(s)";
constexpr const char* kVerifyAsLabel = "Verify As";

constexpr const char* kStartHelp = "Start Qvex Professional with this Local folder";
constexpr const char* kUploadHelp = "Upload file(s) To...";
constexpr const char* kComputeHelp = "Compute cryptographic checksum(s)";
constexpr const char* kVerifyHelp = "Verify contained cryptographic checksum(s)";

// One menu item: its label, help text, launcher verb, whether it is for one item only and
// whether only for a Qvex Shortcut file.
struct Item {
    std::string id;  // unique, letters, digits and "-"
    std::string label;
    std::string help;
    std::string verb;
    bool single = false;
    bool shortcutOnly = false;
};

// The items of Qvex Shortcut files; the upload takes a selection that holds one shortcut
// and the files to send, so it is offered on any selection.
std::vector<Item> ShortcutItems() {
    std::vector<Item> items;
    for (const ShortcutVerbItem& verb : kShortcutVerbs) {
        std::string label;
        for (char c : verb.label) {
            if (c != '&') {
                label += c;
            }
        }
        const bool upload = verb.verb == "upload-to-shortcut";
        items.push_back({"shortcut-" + std::string(verb.verb), label, std::string(verb.help),
                         std::string(verb.verb), !upload, !upload});
    }
    return items;
}

std::vector<Item> ComputeItems() {
    std::vector<Item> items;
    for (const Algorithm& algorithm : kAlgorithms) {
        items.push_back({std::string("compute-") + algorithm.letter,
                         std::string("Compute ") + algorithm.label, kComputeHelp,
                         std::string("5") + algorithm.letter, false});
    }
    return items;
}

std::vector<Item> VerifyAsItems() {
    std::vector<Item> items;
    for (const Algorithm& algorithm : kAlgorithms) {
        items.push_back({std::string("verify-") + algorithm.letter,
                         std::string("Contains ") + algorithm.label, kVerifyHelp,
                         std::string("6") + algorithm.letter, true});
    }
    return items;
}

// With no recent host the item stays, saying so; the launcher answers it with a message.
std::vector<Item> UploadItems(const std::vector<std::string>& hosts) {
    std::vector<Item> items;
    for (size_t i = 0; i < hosts.size(); ++i) {
        items.push_back({"upload-" + std::to_string(i), RecentHostLabel(hosts[i]), kUploadHelp,
                         "p" + std::to_string(i), false});
    }
    if (items.empty()) {
        items.push_back({"upload-none", kNoHostsLabel, kUploadHelp, "p0", false});
    }
    return items;
}

// A string value of a desktop entry or a Nemo action (both key files).
std::string KeyValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The program as the first word of an "Exec" line: quoted, with the characters that are
// special inside quotes escaped, then escaped again as a key file value.
std::string ExecProgram(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted.push_back('\\');
        }
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return KeyValue(quoted);
}

std::string ShellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    return out + "'";
}

// A file name that shows the label: "/" cannot be part of one, so DIVISION SLASH stands in.
std::string ScriptName(const std::string& label) {
    std::string out;
    for (char c : label) {
        if (c == '/') {
            out += "\xE2\x88\x95";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

MenuFile MimePackage() {
    return {kMimePackagePath,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
            "  <mime-type type=\"application/x-qvex-shortcut\">\n"
            "    <comment>Qvex Shortcut</comment>\n"
            "    <glob pattern=\"*.qvex\"/>\n"
            "  </mime-type>\n"
            "</mime-info>\n",
            false};
}

MenuFile DesktopEntry(const std::string& folder) {
    return {kDesktopEntryPath,
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Qvex Professional\n"
            "GenericName=FTP Client\n"
            "Comment=Transfer files to and from FTP servers\n"
            "Exec=" +
                ExecProgram(folder + "Qvex3") +
                " -o %f\n"
                "MimeType=application/x-qvex-shortcut;\n"
                "Terminal=false\n"
                "Categories=Network;FileTransfer;\n",
            false};
}

// Nemo shows its actions side by side, so each label names the menu it belongs to.
MenuFile NemoAction(const std::string& launcher, const Item& item, const std::string& menu) {
    return {"nemo/actions/qvex-pro-" + item.id + ".nemo_action",
            "[Nemo Action]\n"
            "Name=" +
                KeyValue(menu + item.label) +
                "\n"
                "Comment=" +
                KeyValue(item.help) +
                "\n"
                "Exec=" +
                ExecProgram(launcher) + " " + item.verb +
                " %F\n"
                "Selection=" +
                (item.single ? "s" : "notnone") +
                "\n"
                "Extensions=" +
                (item.shortcutOnly ? "qvex" : "any") +
                ";\n"
                "Quote=double\n",
            false};
}

void DolphinActions(std::string& actions, std::string& groups, const std::string& launcher,
                    const std::vector<Item>& items, const std::string& prefix) {
    for (const Item& item : items) {
        actions += item.id + ";";
        groups += "\n[Desktop Action " + item.id +
                  "]\n"
                  "Name=" +
                  KeyValue(prefix + item.label) +
                  "\n"
                  "Exec=" +
                  ExecProgram(launcher) + " " + item.verb + " %F\n";
    }
}

// Dolphin nests no deeper than one submenu per file; the items for one selected file come
// in a second file that Dolphin shows only then.
MenuFile DolphinMenu(const std::string& path, const std::string& actions, const std::string& groups,
                     bool single, const std::string& mimeTypes = "application/octet-stream;inode/directory;") {
    return {path,
            "[Desktop Entry]\n"
            "Type=Service\n"
            "Name=Qvex PRO\n"
            "MimeType=" + mimeTypes + "\n"
            "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n"
            "X-KDE-Submenu=Qvex PRO\n" +
                std::string(single ? "X-KDE-MinNumberOfUrls=1\nX-KDE-MaxNumberOfUrls=1\n" : "") +
                "Actions=" + actions + "\n" + groups,
            true};
}

MenuFile NautilusScript(const std::string& launcher, const std::string& path,
                        const std::string& verb) {
    return {path,
            std::string(kScriptHeader) + "exec " + ShellQuoted(launcher) + " " + verb + " \"$@\"\n",
            true};
}

bool Writable(const std::string& folder) {
    for (char c : folder) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '%') {
            return false;
        }
    }
    return !folder.empty();
}

}  // namespace

std::vector<MenuFile> MenuFiles(const std::string& programFolder,
                                const std::vector<std::string>& recentHosts) {
    if (!Writable(programFolder)) {
        return {};
    }
    const std::string launcher = programFolder + "qvexsx2";
    const Item start{"start", kStartLabel, kStartHelp, "r", false};
    const std::vector<Item> uploads = UploadItems(recentHosts);
    const std::vector<Item> computes = ComputeItems();
    const Item verify{"verify", kVerifyLabel, kVerifyHelp, "6", true};
    const std::vector<Item> verifyAs = VerifyAsItems();

    std::vector<MenuFile> files{MimePackage(), DesktopEntry(programFolder)};

    const std::string nemoMenu = "Qvex PRO: ";
    files.push_back(NemoAction(launcher, start, nemoMenu));
    for (const Item& item : uploads) {
        files.push_back(
            NemoAction(launcher, item,
                       nemoMenu + (recentHosts.empty() ? "" : std::string(kUploadLabel) + " ")));
    }
    for (const Item& item : computes) {
        files.push_back(NemoAction(launcher, item, nemoMenu));
    }
    files.push_back(NemoAction(launcher, verify, nemoMenu));
    for (const Item& item : verifyAs) {
        files.push_back(NemoAction(launcher, item, nemoMenu + kVerifyAsLabel + ": "));
    }

    const std::vector<Item> shortcutItems = ShortcutItems();
    std::vector<Item> onShortcut, onAny;
    for (const Item& item : shortcutItems) {
        (item.shortcutOnly ? onShortcut : onAny).push_back(item);
        files.push_back(NemoAction(launcher, item, nemoMenu));
    }

    std::string actions, groups;
    DolphinActions(actions, groups, launcher, {start}, "");
    DolphinActions(actions, groups, launcher, uploads,
                   recentHosts.empty() ? "" : std::string(kUploadLabel) + " ");
    DolphinActions(actions, groups, launcher, computes, "");
    DolphinActions(actions, groups, launcher, onAny, "");
    files.push_back(DolphinMenu("kio/servicemenus/qvex-pro.desktop", actions, groups, false));
    groups.clear();
    actions.clear();
    DolphinActions(actions, groups, launcher, onShortcut, "");
    files.push_back(DolphinMenu("kio/servicemenus/qvex-pro-shortcut.desktop", actions, groups,
                                true, "application/x-qvex-shortcut;"));
    groups.clear();
    actions.clear();
    DolphinActions(actions, groups, launcher, {verify}, "");
    DolphinActions(actions, groups, launcher, verifyAs, std::string(kVerifyAsLabel) + ": ");
    files.push_back(DolphinMenu("kio/servicemenus/qvex-pro-verify.desktop", actions, groups, true));

    const std::string menu = kNautilusMenuFolder;
    files.push_back(NautilusScript(launcher, menu + kStartLabel, "r"));
    if (recentHosts.empty()) {
        files.push_back(NautilusScript(launcher, menu + kNoHostsLabel, "p0"));
    }
    for (size_t i = 0; i < recentHosts.size(); ++i) {
        // Numbered, as Nautilus sorts scripts by name and the most recent comes first.
        files.push_back(NautilusScript(
            launcher,
            kNautilusUploadFolder + std::to_string(i + 1) + " " + ScriptName(uploads[i].label),
            uploads[i].verb));
    }
    for (const Item& item : computes) {
        files.push_back(NautilusScript(launcher, menu + item.label, item.verb));
    }
    for (const Item& item : shortcutItems) {
        files.push_back(NautilusScript(launcher, menu + item.label, item.verb));
    }
    files.push_back(NautilusScript(launcher, menu + kVerifyLabel, "6"));
    for (const Item& item : verifyAs) {
        files.push_back(
            NautilusScript(launcher, menu + kVerifyAsLabel + "/" + item.label, item.verb));
    }
    return files;
}

std::vector<std::string> UploadItemPaths() {
    std::vector<std::string> paths{"nemo/actions/qvex-pro-upload-none.nemo_action",
                                   std::string(kNautilusMenuFolder) + kNoHostsLabel};
    for (size_t i = 0; i < kMaxRecentHosts; ++i) {
        paths.push_back("nemo/actions/qvex-pro-upload-" + std::to_string(i) + ".nemo_action");
    }
    return paths;
}

}  // namespace qvex::shellext
