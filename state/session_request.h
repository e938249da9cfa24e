#pragma once

#include <string>

namespace qvex {

// One parsed FTP URL or host entry: what a session is made from. ParseUrl (url_grammar.h)
// fills it, with the process-wide URL defaults for the parts the URL leaves out; the session
// keeps its own copy.
struct SessionRequest {
    std::string scheme;  // as written; the caller decides whether it is one it can serve
    // Percent-decoded. They may hold any byte, NUL, CR and LF included: they are kept as the
    // URL spelled them, and the command sender refuses such bytes on the wire.
    std::string user;
    std::string password;
    std::string host;   // host name or dotted IPv4 address, as written
    std::string port;   // decimal digits as written (leading zeros and all)
    std::string path;   // start directory, still percent-encoded, without its leading "/"
    char typeCode = 0;  // 'a', 'i' or 'd' from a ";type=" suffix, 0 without one
    bool schemeDefaulted = false;
    bool credentialsDefaulted = false;  // no user in the URL: default user and password
    bool portDefaulted = false;

    bool operator==(const SessionRequest&) const = default;
};

}  // namespace qvex
