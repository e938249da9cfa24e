// ".qvex" files come from anywhere a file manager can open one. Any bytes must either be
// refused or give a shortcut whose written text reads back to the same shortcut.
#include "state/startup/shortcut_file.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::optional<qvex::ShortcutData> shortcut = qvex::ReadShortcutText(bytes);
    Check(shortcut.has_value() == (size == 0 || bytes.starts_with(qvex::kShortcutHeader)));
    if (!shortcut) {
        return 0;
    }
    Check(shortcut->type >= 0 && shortcut->type <= 3);
    Check(shortcut->url.find_first_of("\r\n") == std::string::npos);
    Check(shortcut->folder.find_first_of("\r\n") == std::string::npos);

    std::string text = qvex::ShortcutText(*shortcut);
    Check(text.starts_with(qvex::kShortcutHeader));
    Check(text.find('\r') == std::string::npos);
    Check(text.find("\n\n") == std::string::npos);
    Check(text.back() != '\n');
    std::optional<qvex::ShortcutData> again = qvex::ReadShortcutText(text);
    Check(again.has_value());
    Check(*again == *shortcut);
    Check(qvex::ShortcutText(*again) == text);
    return 0;
}
