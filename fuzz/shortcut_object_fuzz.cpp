// The shell extension reads ".qvex" files with a reader of its own: any bytes must give
// exactly the program's reading, and a shortcut that is read must write back to text that
// reads the same.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "shellext/shortcut_object.h"
#include "state/startup/shortcut_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::optional<qvex::shellext::ShortcutFields> ours = qvex::shellext::ParseShortcut(bytes);
    std::optional<qvex::ShortcutData> theirs = qvex::ReadShortcutText(bytes);
    Check(ours.has_value() == theirs.has_value());
    if (!ours) {
        return 0;
    }
    Check(ours->url == theirs->url && ours->folder == theirs->folder &&
          ours->type == theirs->type && ours->updateOnly == theirs->updateOnly);

    std::string text = qvex::shellext::FormatShortcut(*ours);
    Check(text == qvex::ShortcutText(*theirs));
    Check(qvex::shellext::ParseShortcut(text) == ours);
    return 0;
}
