#include "engine/server_features.h"

#include "engine/control_connection.h"
#include "util/ascii_case.h"

namespace qvex {
namespace {

// Calls `visit(name, byDefault)` for each fact of an MLST feature line's facts, such as
// "type*;size*;unix.mode;", where "*" marks the facts sent by default.
template <typename Visit>
void VisitFacts(std::string_view facts, Visit visit) {
    while (!facts.empty()) {
        const size_t end = facts.find(';');
        std::string_view fact = facts.substr(0, end);
        facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
        const bool byDefault = fact.ends_with('*');
        if (byDefault) {
            fact.remove_suffix(1);
        }
        visit(fact, byDefault);
    }
}

}  // namespace

ServerFeatures ParseFeatureReply(std::string_view lines) {
    ServerFeatures features;
    while (!lines.empty()) {
        const std::string_view line = TakeReplyLine(lines);
        if (line.size() < 2 || line[0] != ' ') {
            continue;
        }
        const size_t blank = line.find(' ', 1);
        const std::string_view name = line.substr(1, blank - 1);
        if (EqualsIgnoringAsciiCase(name, "MLST")) {
            features.mlst = true;
            features.mlstFacts = blank == std::string_view::npos ? "" : line.substr(blank + 1);
            VisitFacts(features.mlstFacts, [&features](std::string_view fact, bool) {
                features.uniqueFact = features.uniqueFact || EqualsIgnoringAsciiCase(fact, "unique");
            });
        }
        features.utf8 = features.utf8 || EqualsIgnoringAsciiCase(name, "UTF8");
        features.size = features.size || EqualsIgnoringAsciiCase(name, "SIZE");
        features.mdtm = features.mdtm || EqualsIgnoringAsciiCase(name, "MDTM");
    }
    return features;
}

std::string MlstFactsToAsk(const ServerFeatures& features) {
    std::string asked;
    bool needed = false;
    VisitFacts(features.mlstFacts, [&](std::string_view fact, bool byDefault) {
        for (std::string_view read : {"type", "size", "modify", "unique", "unix.mode"}) {
            if (EqualsIgnoringAsciiCase(fact, read)) {
                asked.append(fact).push_back(';');
                needed = needed || !byDefault;
            }
        }
    });
    return needed ? asked : std::string();
}

}  // namespace qvex
