#include "state/trusted_certificates.h"

namespace qvex {

std::string TrustedFingerprint(const platform::RegistryFile& registry, std::string_view server) {
    return registry.ReadString(kTrustedCertificatesKey, server).value_or("");
}

bool TrustFingerprint(platform::RegistryFile& registry, std::string_view server,
                      std::string_view fingerprint) {
    return registry.WriteString(kTrustedCertificatesKey, server, fingerprint);
}

}  // namespace qvex
