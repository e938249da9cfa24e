#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sums/hash_algorithm.h"

namespace qvex {

// Longer lines of a sums file are cut here; what follows on the same line is dropped.
inline constexpr size_t kMaxSumsLineLength = 395;

// One valid line of a sums file: the expected digest and the file name, both as written.
struct SumsLine {
    std::string digest;
    std::string name;

    bool operator==(const SumsLine&) const = default;
};

// The two line forms:
//   d41d8cd98f00b204e9800998ecf8427e  name      (a '*' before the name is dropped)
//   MD5 (name) = d41d8cd98f00b204e9800998ecf8427e
// The line comes without its line end. No check of the digest's length here.
[[nodiscard]] std::optional<SumsLine> MatchSumsLine(std::string_view line);

// Turns the bytes of a sums file, fed in pieces of any size, into its valid lines: lines end
// at LF, a CR before the LF is dropped, a line holding a NUL byte is skipped (no file name
// can hold one), and a line whose digest length is not a valid one is skipped. With
// HashAlgorithm::None requested, the first valid line decides the algorithm.
class SumsFileReader {
  public:
    explicit SumsFileReader(HashAlgorithm requested);

    void Feed(std::string_view bytes);
    // Ends a last line that has no line end.
    void Finish();

    HashAlgorithm algorithm() const { return algorithm_; }
    const std::vector<SumsLine>& lines() const { return lines_; }
    std::vector<SumsLine> TakeLines() { return std::move(lines_); }

  private:
    void EndLine();

    HashAlgorithm algorithm_;
    std::vector<SumsLine> lines_;
    std::string line_;       // at most kMaxSumsLineLength + 1 bytes of the current line
    size_t lineLength_ = 0;  // the whole current line
    char lastByte_ = 0;
    bool lineHasNul_ = false;
};

struct SumsFileContent {
    HashAlgorithm algorithm = HashAlgorithm::None;
    std::vector<SumsLine> lines;
};

// Reads a whole sums file. Nullopt when it is not a regular file or cannot be opened or read.
[[nodiscard]] std::optional<SumsFileContent> ReadSumsFile(const std::string& path,
                                                          HashAlgorithm requested);

// The layouts a sums file is saved in; the tagged ones have no Whirlpool form.
enum class SumsLayout {
    HashRelative,  // "<hash>  <rel-file-path>"
    TagRelative,   // "<hash-name> (<rel-file-path>) = <hash>"
    HashAbsolute,  // "<hash>  <abs-file-path>"
    TagAbsolute,   // "<hash-name> (<abs-file-path>) = <hash>"
};

[[nodiscard]] bool LayoutAllowed(HashAlgorithm algorithm, SumsLayout layout);

// One written line, "\n" included. `folder` is written before the relative path in the
// absolute layouts and ignored in the others.
[[nodiscard]] std::string FormatSumsLine(SumsLayout layout, HashAlgorithm algorithm,
                                         std::string_view digest, std::string_view folder,
                                         std::string_view relativePath);

}  // namespace qvex
