#pragma once

#include <string>
#include <string_view>

#include "platform/registry_file.h"

namespace qvex {

// Server certificates the user chose to always trust: one SHA-256 fingerprint per server,
// under kTrustedCertificatesKey, the value named "host:port". Written at once, as a
// decision made during a connect must outlive a crash of that session.
inline constexpr std::string_view kTrustedCertificatesKey = "Software\\VbKs\\Qvex\\Certificates";

// The fingerprint trusted for the server; "" when none.
[[nodiscard]] std::string TrustedFingerprint(const platform::RegistryFile& registry,
                                             std::string_view server);
// Replaces the server's trusted fingerprint; false when the registry could not be written.
[[nodiscard]] bool TrustFingerprint(platform::RegistryFile& registry, std::string_view server,
                                    std::string_view fingerprint);

}  // namespace qvex
