#include "sums/sums_file.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "util/posix_regex.h"

namespace qvex {
namespace {

// "d41d8cd98f00b204e9800998ecf8427e *name": digest, then name.
constexpr const char* kDigestFirst = "([[:xdigit:]]{32,128})\\s+\\*?(\\S.*)$";
// "SHA1 (name) = da39a3ee5e6b4b0d3255bfef95601890afd80709": name in parentheses, then digest.
constexpr const char* kNameFirst =
    "(?:MD5|md5|SHA|SHA1|SHA2|sha|sha1|sha2)\\s*\\(\\s*(\\S.*)\\s*\\)\\s*=\\s*"
    "([[:xdigit:]]{32,128})";

const PosixRegex& DigestFirstPattern() {
    static const PosixRegex pattern(kDigestFirst);
    return pattern;
}

const PosixRegex& NameFirstPattern() {
    static const PosixRegex pattern(kNameFirst);
    return pattern;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::optional<SumsLine> MatchSumsLine(std::string_view line) {
    auto captures = DigestFirstPattern().Search(line);
    if (captures.size() == 3 && captures[1] && captures[2]) {
        return SumsLine{std::move(*captures[1]), std::move(*captures[2])};
    }
    captures = NameFirstPattern().Search(line);
    if (captures.size() == 3 && captures[1] && captures[2]) {
        return SumsLine{std::move(*captures[2]), std::move(*captures[1])};
    }
    return std::nullopt;
}

SumsFileReader::SumsFileReader(HashAlgorithm requested) : algorithm_(requested) {}

void SumsFileReader::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        size_t end = bytes.find('\n');
        std::string_view piece = bytes.substr(0, end);
        // One byte beyond the limit is kept, so a CR at the limit can still be told apart.
        size_t room = kMaxSumsLineLength + 1 - line_.size();
        line_.append(piece.substr(0, room));
        if (!piece.empty()) {
            lineLength_ += piece.size();
            lastByte_ = piece.back();
            lineHasNul_ = lineHasNul_ || piece.find('\0') != std::string_view::npos;
        }
        if (end == std::string_view::npos) {
            return;
        }
        EndLine();
        bytes.remove_prefix(end + 1);
    }
}

void SumsFileReader::Finish() {
    if (lineLength_ > 0) {
        EndLine();
    }
}

void SumsFileReader::EndLine() {
    size_t length = lineLength_;
    if (length > 0 && lastByte_ == '\r') {
        --length;
    }
    line_.resize(std::min({length, line_.size(), kMaxSumsLineLength}));
    bool skip = lineHasNul_;
    lineLength_ = 0;
    lastByte_ = 0;
    lineHasNul_ = false;
    if (skip) {
        line_.clear();
        return;
    }
    std::optional<SumsLine> match = MatchSumsLine(line_);
    line_.clear();
    if (!match) {
        return;
    }
    HashAlgorithm byLength = AlgorithmFromHexLength(match->digest.size());
    if (byLength == HashAlgorithm::None) {
        return;
    }
    if (algorithm_ == HashAlgorithm::None) {
        algorithm_ = byLength;
    }
    lines_.push_back(std::move(*match));
}

std::optional<SumsFileContent> ReadSumsFile(const std::string& path, HashAlgorithm requested) {
    // Anything but a regular file (a FIFO would block the reader) counts as unreadable.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return std::nullopt;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return std::nullopt;
    }
    SumsFileReader reader(requested);
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        reader.Feed(std::string_view(buffer, got));
    }
    if (std::ferror(file.get())) {
        return std::nullopt;
    }
    reader.Finish();
    return SumsFileContent{reader.algorithm(), reader.TakeLines()};
}

bool LayoutAllowed(HashAlgorithm algorithm, SumsLayout layout) {
    const HashAlgorithmInfo& info = InfoOf(algorithm);
    if (info.digestBytes == 0) {
        return false;
    }
    bool tagged = layout == SumsLayout::TagRelative || layout == SumsLayout::TagAbsolute;
    return !tagged || info.tagName != nullptr;
}

std::string FormatSumsLine(SumsLayout layout, HashAlgorithm algorithm, std::string_view digest,
                           std::string_view folder, std::string_view relativePath) {
    std::string line;
    const char* tag = InfoOf(algorithm).tagName;
    std::string_view tagName = tag != nullptr ? tag : "";
    switch (layout) {
        case SumsLayout::HashRelative:
            line.append(digest).append("  ").append(relativePath);
            break;
        case SumsLayout::TagRelative:
            line.append(tagName).append(" (").append(relativePath).append(") = ").append(digest);
            break;
        case SumsLayout::HashAbsolute:
            line.append(digest).append("  ").append(folder).append(relativePath);
            break;
        case SumsLayout::TagAbsolute:
            line.append(tagName).append(" (").append(folder).append(relativePath);
            line.append(") = ").append(digest);
            break;
    }
    line.push_back('\n');
    return line;
}

}  // namespace qvex
