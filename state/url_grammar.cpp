#include "state/url_grammar.h"
#include "util/hex.h"

#include <pcre2posix.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <utility>

namespace qvex {
namespace {

// Captures: 1 scheme, 2 user, 3 password, 4 host, 5 port, 6 path, 7 type letter. A literal
// IPv6 address is written in brackets (RFC 3986 section 3.2.2), a link-local one perhaps with
// "%25" and its zone (RFC 6874 section 2: ZoneID = 1*( unreserved / pct-encoded )); the
// branch reset "(?|" gives both forms of the host capture 4, without the brackets. The
// address holds a ":", so the canonical text knows to bracket it again.
constexpr char kUrlPattern[] =
    R"(^(?:([[:alnum:]+.-]+)://)?)"
    R"((?:([[:alnum:]%!$'()+,.;=?_-]+)(?::([[:alnum:]%!$'()+,.;=?_-]+))?@)?)"
    R"((?|((?:[[:alnum:]-]+\.)*[[:alnum:]-]+)|)"
    R"(\[([[:xdigit:].]*:[[:xdigit:]:.]*(?:%25(?:[[:alnum:]._~-]|%[[:xdigit:]]{2})+)?)\]))"
    R"((?::([[:digit:]]+))?)"
    R"((?:/([[:alnum:]%!$&'()+,.=@_-]+(?:/[[:alnum:]%!$&'()+,.=@_-]+)*/?)?)?)"
    R"((?:;type=([aid]))?$)";

constexpr size_t kSchemeCapture = 1;
constexpr size_t kUserCapture = 2;
constexpr size_t kPasswordCapture = 3;
constexpr size_t kHostCapture = 4;
constexpr size_t kPortCapture = 5;
constexpr size_t kPathCapture = 6;
constexpr size_t kTypeCapture = 7;
constexpr size_t kMatchCount = 8;

using Captures = std::array<std::optional<std::string_view>, kMatchCount>;

// What separates a literal address from its zone in a URL: the percent sign, escaped.
constexpr std::string_view kZoneMark = "%25";

// The zone of a literal IPv6 host as written, still escaped; nullopt for a host without one.
std::optional<std::string_view> ZoneOf(std::string_view host) {
    size_t mark = host.find(kZoneMark);
    if (mark == std::string_view::npos) {
        return std::nullopt;
    }
    return host.substr(mark + kZoneMark.size());
}

// A zone only tells apart the links of a link-local address (fe80::/10, whose first group
// is written fe80 to febf), and must decode to visible characters: an interface's name or
// index, never a line end or a NUL in the host name that the log and the panes show.
bool HasValidZone(std::string_view host) {
    std::optional<std::string_view> zone = ZoneOf(host);
    if (!zone) {
        return true;
    }
    if (host.size() < 5 || host[4] != ':' || HexDigitValue(host[0]) != 0xF ||
        HexDigitValue(host[1]) != 0xE || HexDigitValue(host[2]) < 8 ||
        HexDigitValue(host[2]) > 0xB || HexDigitValue(host[3]) < 0) {
        return false;
    }
    std::optional<std::string> decoded = DecodeUrlEscapes(*zone);
    return decoded && std::all_of(decoded->begin(), decoded->end(),
                                  [](char c) { return c > ' ' && c < '\x7F'; });
}

class UrlPattern {
  public:
    UrlPattern() = default;
    UrlPattern(const UrlPattern&) = delete;
    UrlPattern& operator=(const UrlPattern&) = delete;
    ~UrlPattern() { Release(); }

    bool Compile() {
        std::lock_guard guard(lock_);
        return CompileLocked();
    }

    void Release() {
        std::lock_guard guard(lock_);
        if (compiled_) {
            pcre2_regfree(&regex_);
            compiled_ = false;
        }
    }

    // The wrapper keeps a single match block inside the compiled pattern and reuses it on
    // every call, so two threads may not match at the same time.
    bool Match(std::string_view text, regmatch_t (&matches)[kMatchCount]) {
        // REG_STARTEND: the text need not end in a NUL, so it is not copied.
        matches[0].rm_so = 0;
        matches[0].rm_eo = static_cast<regoff_t>(text.size());
        std::lock_guard guard(lock_);
        return CompileLocked() &&
               pcre2_regexec(&regex_, text.data(), kMatchCount, matches, REG_STARTEND) == 0;
    }

  private:
    bool CompileLocked() {
        if (!compiled_) {
            compiled_ = pcre2_regcomp(&regex_, kUrlPattern, 0) == 0;
        }
        return compiled_;
    }

    std::mutex lock_;
    regex_t regex_{};
    bool compiled_ = false;
};

UrlPattern& Pattern() {
    static UrlPattern pattern;
    return pattern;
}

struct DefaultsStore {
    std::mutex lock;
    UrlDefaults values{"ftp", "anonymous", kDefaultEmail, "21"};
};

DefaultsStore& Defaults() {
    static DefaultsStore store;
    return store;
}

std::optional<Captures> MatchUrl(std::string_view text) {
    // The match offsets are ints.
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX) ||
        text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    regmatch_t matches[kMatchCount];
    if (!Pattern().Match(text, matches)) {
        return std::nullopt;
    }
    // "$" also matches before a final line feed; the whole text must be the URL.
    if (matches[0].rm_so != 0 || static_cast<size_t>(matches[0].rm_eo) != text.size()) {
        return std::nullopt;
    }
    Captures captures;
    for (size_t i = 1; i < kMatchCount; ++i) {
        if (matches[i].rm_so >= 0 && matches[i].rm_eo >= matches[i].rm_so) {
            auto start = static_cast<size_t>(matches[i].rm_so);
            auto end = static_cast<size_t>(matches[i].rm_eo);
            captures[i] = text.substr(start, end - start);
        }
    }
    if (!captures[kHostCapture] || captures[kHostCapture]->empty() ||
        !HasValidZone(*captures[kHostCapture])) {
        return std::nullopt;
    }
    return captures;
}

bool HasValidEscapes(const Captures& captures) {
    for (size_t part : {kUserCapture, kPasswordCapture}) {
        if (captures[part] && !DecodeUrlEscapes(*captures[part])) {
            return false;
        }
    }
    return true;
}

// defaultPort null: the process-wide default port.
std::optional<SessionRequest> Parse(std::string_view text, const std::string_view* defaultPort) {
    std::optional<Captures> matched = MatchUrl(text);
    if (!matched) {
        return std::nullopt;
    }
    const Captures& captures = *matched;
    SessionRequest request;
    if (captures[kUserCapture]) {
        std::optional<std::string> user = DecodeUrlEscapes(*captures[kUserCapture]);
        if (!user) {
            return std::nullopt;
        }
        request.user = std::move(*user);
        if (captures[kPasswordCapture]) {
            std::optional<std::string> password = DecodeUrlEscapes(*captures[kPasswordCapture]);
            if (!password) {
                return std::nullopt;
            }
            request.password = std::move(*password);
        }
    } else {
        request.credentialsDefaulted = true;
    }
    // The host as the system writes a zoned address: "fe80::1%eth0".
    request.host = *captures[kHostCapture];
    if (std::optional<std::string_view> zone = ZoneOf(request.host)) {
        request.host.resize(request.host.size() - zone->size() - kZoneMark.size());
        request.host += '%';
        request.host += DecodeUrlEscapes(*zone).value_or("");
    }
    if (captures[kSchemeCapture]) {
        request.scheme = *captures[kSchemeCapture];
    } else {
        request.schemeDefaulted = true;
    }
    if (captures[kPortCapture]) {
        request.port = *captures[kPortCapture];
    } else {
        request.portDefaulted = true;
        if (defaultPort != nullptr) {
            request.port = *defaultPort;
        }
    }
    if (captures[kPathCapture]) {
        request.path = *captures[kPathCapture];
    }
    if (captures[kTypeCapture] && !captures[kTypeCapture]->empty()) {
        request.typeCode = captures[kTypeCapture]->front();
    }

    bool portFromDefaults = request.portDefaulted && defaultPort == nullptr;
    if (request.schemeDefaulted || request.credentialsDefaulted || portFromDefaults) {
        // One snapshot, so a concurrent SetUrlDefaults is seen whole or not at all.
        DefaultsStore& defaults = Defaults();
        std::lock_guard guard(defaults.lock);
        if (request.schemeDefaulted) {
            request.scheme = defaults.values.scheme;
        }
        if (request.credentialsDefaulted) {
            request.user = defaults.values.user;
            request.password = defaults.values.password;
        }
        if (portFromDefaults) {
            request.port = defaults.values.port;
        }
    }
    if (portFromDefaults && SchemeOf(request.scheme) == UrlScheme::Ftps) {
        request.port = kFtpsDefaultPort;
    }
    return request;
}

}  // namespace

UrlScheme SchemeOf(std::string_view scheme) {
    std::string folded(scheme);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (folded == "ftp") {
        return UrlScheme::Ftp;
    }
    if (folded == "ftps") {
        return UrlScheme::Ftps;
    }
    return folded == "ftpes" ? UrlScheme::Ftpes : UrlScheme::Other;
}

bool CompileUrlPattern() {
    return Pattern().Compile();
}

void ReleaseUrlPattern() {
    Pattern().Release();
}

std::optional<SessionRequest> ParseUrl(std::string_view text) {
    return Parse(text, nullptr);
}

std::optional<SessionRequest> ParseUrlWithDefaultPort(std::string_view text,
                                                      std::string_view defaultPort) {
    return Parse(text, &defaultPort);
}

void SetUrlDefaults(const char* scheme, const char* user, const char* password, const char* port) {
    DefaultsStore& defaults = Defaults();
    std::lock_guard guard(defaults.lock);
    if (scheme != nullptr) {
        defaults.values.scheme = scheme;
    }
    if (user != nullptr) {
        defaults.values.user = user;
    }
    if (password != nullptr) {
        defaults.values.password = password;
    }
    if (port != nullptr) {
        defaults.values.port = port;
    }
}

UrlDefaults GetUrlDefaults() {
    DefaultsStore& defaults = Defaults();
    std::lock_guard guard(defaults.lock);
    return defaults.values;
}

std::string CanonicalUrl(const SessionRequest& request) {
    std::string url;
    url.reserve(request.scheme.size() + request.host.size() + request.port.size() +
                request.path.size() + 7);
    if (!request.schemeDefaulted) {
        url += request.scheme;
        url += "://";
    }
    // Only an IPv6 address holds a ":"; it goes back into its brackets, and its zone's "%"
    // and every zone character outside the unreserved set are escaped again.
    const bool bracketed = request.host.find(':') != std::string::npos;
    if (bracketed) {
        url += '[';
    }
    const size_t percent = bracketed ? request.host.find('%') : std::string::npos;
    url.append(request.host, 0, percent);
    if (percent != std::string::npos) {
        url += kZoneMark;
        for (char c : std::string_view(request.host).substr(percent + 1)) {
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::string_view("-._~").find(c) != std::string_view::npos) {
                url += c;
            } else {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
                url += escaped;
            }
        }
    }
    if (bracketed) {
        url += ']';
    }
    if (!request.portDefaulted) {
        url += ':';
        url += request.port;
    }
    if (!request.path.empty()) {
        url += '/';
        url += request.path;
    }
    return url;
}

std::optional<std::string_view> FindUrlHost(std::string_view text) {
    std::optional<Captures> captures = MatchUrl(text);
    if (!captures || !HasValidEscapes(*captures)) {
        return std::nullopt;
    }
    return (*captures)[kHostCapture];
}

std::optional<std::string> DecodeUrlEscapes(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        // A bad or cut-off escape has no byte value; guessing one would log in with a
        // name or password the user never wrote.
        if (text.size() - i < 3) {
            return std::nullopt;
        }
        int high = HexDigitValue(text[i + 1]);
        int low = HexDigitValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        decoded += static_cast<char>(high << 4 | low);
        i += 2;
    }
    return decoded;
}

}  // namespace qvex
