#pragma once

#include <string>

#include "tests/support/temp_env.h"

namespace qvex::test {

// Server certificates for TLS tests, made by the openssl program in a temporary folder that
// every account may read (vsftpd reads them after dropping root). Each PEM file holds the
// certificate followed by its key, as both test servers take them.
//
//     TestCertificates certificates;
//     ASSERT_TRUE(certificates.made()) << certificates.problem();
//     options.tlsCertificate = certificates.selfSigned();
class TestCertificates {
  public:
    TestCertificates();

    bool made() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }

    // Self-signed, naming 127.0.0.1 and localhost.
    std::string selfSigned() const { return folder_.path("self.pem"); }
    // Issued by authority(): one naming 127.0.0.1 and localhost, one naming only
    // wrong.example.
    std::string issuedForLoopback() const { return folder_.path("loopback.pem"); }
    std::string issuedForOtherName() const { return folder_.path("other.pem"); }
    // Issued by authority() for 127.0.0.1 and localhost, valid from two days ago to
    // yesterday.
    std::string expired() const { return folder_.path("expired.pem"); }
    // A chain of 50 as a server sends it: one for 127.0.0.1 and localhost, 48 authorities
    // each issued by the next, and authority().
    std::string chainOf50() const { return folder_.path("chain.pem"); }
    // The issuing certificate alone, for a trust store (SSL_CERT_FILE).
    std::string authority() const { return folder_.path("authority.crt"); }
    // SHA-256 fingerprint of selfSigned(): upper-case hexadecimal pairs joined by ":".
    const std::string& selfSignedFingerprint() const { return fingerprint_; }

  private:
    TempFolder folder_;
    std::string problem_;
    std::string fingerprint_;
};

}  // namespace qvex::test
