// URLs come from the host list, the command line, the clipboard and ".qvex" files. Any bytes
// must either be refused or give a request whose canonical text parses back to the same
// place.
#include "state/url_grammar.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"

namespace {

bool AllDigits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<qvex::SessionRequest> request = qvex::ParseUrl(text);
    std::optional<std::string_view> host = qvex::FindUrlHost(text);
    Check(request.has_value() == host.has_value());
    if (!request) {
        Check(!qvex::ParseUrlWithDefaultPort(text, "1080").has_value());
        return 0;
    }
    Check(text.find('\0') == std::string_view::npos);
    // The same host, but for a zone's escapes ("fe80::1%25eth0" is "fe80::1%eth0").
    Check(qvex::DecodeUrlEscapes(*host) == request->host);
    if (request->host.find('%') != std::string::npos) {
        Check(request->host.find(':') != std::string::npos);
        // Link-local only: the address starts "fe8" to "feb" in either case.
        Check((request->host[0] | 0x20) == 'f' && (request->host[1] | 0x20) == 'e');
        for (char c : request->host) {
            Check(c > ' ' && c < '\x7F');
        }
    }
    Check(host->data() >= text.data() && host->data() + host->size() <= text.data() + size);
    Check(!request->host.empty());
    Check(AllDigits(request->port));
    Check(request->path.empty() || request->path.front() != '/');
    if (request->portDefaulted) {
        Check(request->port == (qvex::SchemeOf(request->scheme) == qvex::UrlScheme::Ftps
                                    ? std::string(qvex::kFtpsDefaultPort)
                                    : qvex::GetUrlDefaults().port));
    }
    Check(request->typeCode == 0 || request->typeCode == 'a' || request->typeCode == 'i' ||
          request->typeCode == 'd');

    std::string canonical = qvex::CanonicalUrl(*request);
    std::optional<qvex::SessionRequest> again = qvex::ParseUrl(canonical);
    Check(again.has_value());
    Check(again->scheme == request->scheme);
    Check(again->host == request->host);
    Check(again->port == request->port);
    Check(again->path == request->path);
    Check(again->schemeDefaulted == request->schemeDefaulted);
    Check(again->portDefaulted == request->portDefaulted);
    Check(again->credentialsDefaulted);
    Check(again->typeCode == 0);
    Check(qvex::CanonicalUrl(*again) == canonical);

    std::optional<qvex::SessionRequest> proxy = qvex::ParseUrlWithDefaultPort(text, "1080");
    Check(proxy.has_value());
    Check(proxy->port == (request->portDefaulted ? "1080" : request->port));
    return 0;
}
