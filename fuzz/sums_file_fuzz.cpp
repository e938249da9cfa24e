// Sums files come from anywhere: downloads, other tools, other systems. Any bytes must give
// only lines with a valid digest and a usable name, the same lines however the bytes arrive,
// and an algorithm that the first line decides.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sums/sums_file.h"

namespace {

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::vector<qvex::SumsLine> ReadInPieces(std::string_view text, qvex::HashAlgorithm requested,
                                         size_t piece, qvex::HashAlgorithm* algorithm) {
    qvex::SumsFileReader reader(requested);
    for (size_t at = 0; at < text.size(); at += piece) {
        reader.Feed(text.substr(at, piece));
    }
    reader.Finish();
    *algorithm = reader.algorithm();
    return reader.TakeLines();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (qvex::HashAlgorithm requested :
         {qvex::HashAlgorithm::None, qvex::HashAlgorithm::Whirlpool}) {
        qvex::HashAlgorithm algorithm;
        std::vector<qvex::SumsLine> lines = ReadInPieces(text, requested, size + 1, &algorithm);
        if (requested != qvex::HashAlgorithm::None) {
            Check(algorithm == requested);
        } else if (lines.empty()) {
            Check(algorithm == qvex::HashAlgorithm::None);
        } else {
            Check(algorithm == qvex::AlgorithmFromHexLength(lines.front().digest.size()));
        }
        for (const qvex::SumsLine& line : lines) {
            Check(qvex::AlgorithmFromHexLength(line.digest.size()) != qvex::HashAlgorithm::None);
            for (char c : line.digest) {
                Check(IsHex(c));
            }
            Check(!line.name.empty());
            Check(line.name.find('\0') == std::string::npos);
            Check(line.name.find('\n') == std::string::npos);
            Check(line.name.size() + line.digest.size() < qvex::kMaxSumsLineLength);
            Check(text.find(line.name) != std::string_view::npos);
        }
        // Pieces as a socket or a small read would deliver them.
        size_t piece = size == 0 ? 1 : 1 + data[0] % 17;
        qvex::HashAlgorithm again;
        Check(ReadInPieces(text, requested, piece, &again) == lines);
        Check(again == algorithm);
    }
    return 0;
}
