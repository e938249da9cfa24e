#include "shellext/shortcut_verbs.h"

#include <QApplication>
#include <QClipboard>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>

#include "shellext/properties_dialog.h"

namespace qvex::shellext {
namespace {

constexpr std::string_view kShortcutExtension = ".qvex";
constexpr std::string_view kListingSuffix = ";type=d";

// The verbs that show a window or read the clipboard run inside a Qt application.
std::unique_ptr<QApplication> EnsureApplication() {
    if (QApplication::instance() != nullptr) {
        return nullptr;
    }
    static int argc = 1;
    static char name[] = "qvexsx2";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QApplication>(argc, argv);
}

bool IsShortcutPath(std::string_view path) {
    if (path.size() <= kShortcutExtension.size()) {
        return false;
    }
    std::string_view end = path.substr(path.size() - kShortcutExtension.size());
    return std::equal(end.begin(), end.end(), kShortcutExtension.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
    });
}

// A file manager passes full paths; a relative one is made full so that the program never
// takes a name beginning with "-" for an option.
std::string FullPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(path, error);
    return error ? path : full.string();
}

// The clipboard's text when it may be a URL (it holds a '.'), without the line end that a
// copy from a terminal or editor brings along.
std::optional<std::string> ClipboardUrl() {
    const std::string text =
        QApplication::clipboard()->text().trimmed().toLocal8Bit().toStdString();
    if (text.find('.') == std::string::npos) {
        return std::nullopt;
    }
    return text;
}

int Properties(const std::vector<std::string>& args, const VerbEnvironment& environment) {
    if (args.size() != 1) {
        environment.report("Usage: qvexsx2 properties FILE.qvex");
        return kVerbUsage;
    }
    std::unique_ptr<QApplication> application = EnsureApplication();
    Shortcut shortcut;
    shortcut.Load(args[0]);
    PropertiesDialog dialog(shortcut);
    dialog.exec();
    return kVerbDone;
}

int Paste(bool listing, const std::vector<std::string>& args, const VerbEnvironment& environment) {
    if (args.size() != 1) {
        environment.report("Usage: qvexsx2 paste-download|paste-listing FILE.qvex");
        return kVerbUsage;
    }
    std::unique_ptr<QApplication> application = EnsureApplication();
    std::optional<std::string> url = ClipboardUrl();
    if (!url) {
        environment.report("The clipboard holds no URL to paste into " + args[0]);
        return kVerbNothingDone;
    }
    // The shortcut gives the options; the file itself keeps its own URL.
    ShortcutFields fields = ReadShortcut(args[0]).value_or(ShortcutFields{});
    fields.url = *url;
    if (listing) {
        fields.url.append(kListingSuffix);
    }
    return environment.start(ShortcutLaunchOptions(fields, LaunchForm::Download), {})
               ? kVerbDone
               : kVerbNothingDone;
}

int Upload(const std::vector<std::string>& args, const VerbEnvironment& environment) {
    std::vector<std::string> shortcuts;
    std::vector<std::string> files;
    for (const std::string& path : args) {
        (IsShortcutPath(path) ? shortcuts : files).push_back(FullPath(path));
    }
    if (shortcuts.size() != 1 || files.empty()) {
        environment.report(
            "Select one Qvex Shortcut (.qvex file) together with the files to upload to it");
        return kVerbUsage;
    }
    const ShortcutFields fields = ReadShortcut(shortcuts[0]).value_or(ShortcutFields{});
    return environment.start(ShortcutLaunchOptions(fields, LaunchForm::Upload), files)
               ? kVerbDone
               : kVerbNothingDone;
}

}  // namespace

bool IsShortcutVerb(std::string_view verb) {
    return std::any_of(std::begin(kShortcutVerbs), std::end(kShortcutVerbs),
                       [verb](const ShortcutVerbItem& item) { return item.verb == verb; });
}

int RunShortcutVerb(const std::string& verb, const std::vector<std::string>& args,
                    const VerbEnvironment& environment) {
    if (verb == kShortcutVerbs[0].verb) {
        return Properties(args, environment);
    }
    if (verb == kShortcutVerbs[1].verb || verb == kShortcutVerbs[2].verb) {
        return Paste(verb == kShortcutVerbs[2].verb, args, environment);
    }
    if (verb == kShortcutVerbs[3].verb) {
        return Upload(args, environment);
    }
    environment.report("Unknown shortcut verb " + verb);
    return kVerbUsage;
}

std::vector<std::string> ShortcutLaunchOptions(const ShortcutFields& fields, LaunchForm form) {
    std::vector<std::string> options{form == LaunchForm::Upload ? "-u" : "-f", fields.url};
    if (!fields.folder.empty()) {
        options.insert(options.end(), {"-d", fields.folder});
    }
    if (const char letter = ShortcutTypeLetter(fields.type); letter != 0) {
        options.push_back(std::string("-x") + letter);
    }
    if (fields.updateOnly) {
        options.emplace_back("-v");
    }
    return options;
}

}  // namespace qvex::shellext
