#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/session_request.h"

namespace qvex {

// The default of the "EMail" setting: the password of an anonymous login.
inline constexpr char kDefaultEmail[] = "QvexUser@";

// The values that fill the parts a URL leaves out. Process-wide; the start-up values are
// "ftp", "anonymous", kDefaultEmail and "21", and start-up puts the "EMail" setting in as
// password and keeps it in step with the setting.
struct UrlDefaults {
    std::string scheme;
    std::string user;
    std::string password;
    std::string port;
};

// The schemes a session serves, compared without regard to case: "ftp"; "ftps", TLS from
// the first byte, whose default port is 990; "ftpes", FTP that must be secured with AUTH TLS.
enum class UrlScheme {
    Other,
    Ftp,
    Ftps,
    Ftpes,
};
[[nodiscard]] UrlScheme SchemeOf(std::string_view scheme);
inline constexpr char kFtpsDefaultPort[] = "990";

// The URL pattern is compiled once and shared by every thread. Start-up compiles it and exit
// releases it, but neither is required: a parse compiles it when it is missing, so parsing
// works before CompileUrlPattern and after ReleaseUrlPattern. All functions here are
// thread-safe. False only when the pattern could not be compiled (out of memory).
[[nodiscard]] bool CompileUrlPattern();
void ReleaseUrlPattern();

// The request for a URL, or nullopt when the whole text is not an FTP URL:
//   [scheme "://"] [user [":" password] "@"] host [":" port] ["/" path] [";type=" a|i|d]
// where host is a name, a dotted address or "[" IPv6 address "]"; the request's host is
// the address without its brackets. A link-local address (fe80::/10) may carry its zone
// after "%25" (RFC 6874), an interface's name or index, which may be percent-encoded and
// must decode to visible characters; the request's host then holds the zone after a plain
// "%" ("fe80::1%eth0"), the form the connect understands.
// A text holding a NUL, a line end or any other byte outside the grammar does not parse, nor
// does a user or password with a "%" that is not followed by two hexadecimal digits.
// A missing user gives the default user and password; a user without a password gives an
// empty password. A missing port is the default port, or 990 for "ftps".
[[nodiscard]] std::optional<SessionRequest> ParseUrl(std::string_view text);

// ParseUrl with defaultPort in place of the default port for this one parse (the proxy
// setting, "host[:port]", takes its default port from the proxy type). The process-wide
// defaults are neither read for the port nor changed.
[[nodiscard]] std::optional<SessionRequest> ParseUrlWithDefaultPort(std::string_view text,
                                                                    std::string_view defaultPort);

// Replaces the defaults whose argument is not null; a parse sees either all of one call's
// changes or none of them.
void SetUrlDefaults(const char* scheme, const char* user, const char* password, const char* port);
[[nodiscard]] UrlDefaults GetUrlDefaults();

// The text a session records as its host: scheme "://" unless defaulted, host (an IPv6
// address in brackets, its zone after "%25" with the characters outside RFC 3986's
// unreserved set escaped), ":" port
// unless defaulted, "/" path when there is one. Never user, password or type.
[[nodiscard]] std::string CanonicalUrl(const SessionRequest& request);

// The host exactly as written (an IPv6 address without its brackets, a zone still
// encoded: "fe80::1%25eth0") in a text that ParseUrl
// accepts (a view into text, so the
// caller can also take what follows it); nullopt when ParseUrl would refuse the text. Host
// comparisons and the statistics key use it.
[[nodiscard]] std::optional<std::string_view> FindUrlHost(std::string_view text);

// Percent-decoding of a user or password: "%" and two hexadecimal digits (either case) give
// one byte. nullopt when a "%" is not followed by two hexadecimal digits.
[[nodiscard]] std::optional<std::string> DecodeUrlEscapes(std::string_view text);

}  // namespace qvex
