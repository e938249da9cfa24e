#pragma once

#include <string>
#include <string_view>

namespace qvex {

// What a server's answer to FEAT offers, of what the session uses (RFC 2389).
struct ServerFeatures {
    bool mlst = false;  // MLST and MLSD (RFC 3659 section 7)
    bool utf8 = false;  // UTF-8 path names (RFC 2640)
    bool size = false;  // SIZE (RFC 3659 section 4)
    bool mdtm = false;  // MDTM (RFC 3659 section 3)
    bool uniqueFact = false;  // MLST offers the "unique" fact
    // The facts the MLST line names, those sent by default marked "*":
    // "type*;perm*;size*;modify*;unique*;unix.mode;"
    std::string mlstFacts;
};

// Reads the lines of a "211" reply to FEAT, each ended by LF as ReadReply collects them:
//   211-Extensions supported:
//    MLST type*;size*;modify*;
//    UTF8
//   211 End
// Feature lines begin with one blank; a feature's name runs to the next blank and is matched
// without regard to case. Any other line is no feature.
[[nodiscard]] ServerFeatures ParseFeatureReply(std::string_view lines);

// The argument of "OPTS MLST" (RFC 3659 section 7.9) that asks for the facts a listing reads
// (type, size, modify, unique, UNIX.mode) among those offered, in the server's spelling; empty when
// the server sends all of those it has by default, and no OPTS is needed.
[[nodiscard]] std::string MlstFactsToAsk(const ServerFeatures& features);

}  // namespace qvex
