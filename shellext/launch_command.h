#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvex::shellext {

// One menu action as the launcher is told it: "r" start here, "p0" to "p7" upload to that
// recent host, "5" and an algorithm letter compute sums, "6" verify with the algorithm of
// the sums file, "6" and a letter verify as that algorithm.
struct Verb {
    char action = 0;    // 'r', 'p', '5' or '6'
    char argument = 0;  // the recent host's index for 'p', the algorithm letter, or 0
};

// The verb a text names; action 0 when it names none.
[[nodiscard]] Verb ParseVerb(std::string_view text);

// The algorithm letters in menu order, MD5 first, and their menu labels.
struct Algorithm {
    char letter;
    const char* label;  // behind "Compute " or "Contains "
};
inline constexpr Algorithm kAlgorithms[] = {
    {'m', "MD5 checksum(s)"},       {'s', "SHA1 checksum(s)"},     {'S', "SHA2-224 checksum(s)"},
    {'2', "SHA2-256 checksum(s)"},  {'3', "SHA2-384 checksum(s)"}, {'5', "SHA2-512 checksum(s)"},
    {'w', "Whirlpool checksum(s)"},
};

// A selection's longest common folder, ending with "/": the longest prefix of the first
// path up to and including a "/" that every other path begins with ("//" counts as one
// separator). "" when there is none.
[[nodiscard]] std::string CommonFolder(const std::vector<std::string>& paths);

// Past this many characters a quoted item list is handed over through "-@" instead.
inline constexpr long long kInlineListLimit = 32001;

// Qvex3's command line for a verb: the options in their order, then either the item names
// (relative to the folder given with "-d") or, with `throughSection`, nothing more: the
// caller appends "-@" and the descriptor of a section holding `names`.
struct LaunchCommand {
    std::vector<std::string> arguments;
    std::vector<std::string> names;
    bool throughSection = false;
    std::string failure;  // a message for the user; nothing is started
};

// `items` are the selected paths as the file manager gives them; relative ones are taken
// below `currentFolder`. `recentHosts` is the recent-hosts list read now, for 'p'.
[[nodiscard]] LaunchCommand BuildLaunchCommand(const Verb& verb, std::vector<std::string> items,
                                               const std::string& currentFolder,
                                               const std::vector<std::string>& recentHosts);

}  // namespace qvex::shellext
