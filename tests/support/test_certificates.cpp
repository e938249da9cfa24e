#include "tests/support/test_certificates.h"

#include "tests/support/process_run.h"

namespace qvex::test {
namespace {

// Small P-256 keys: quick to make, and every TLS library takes them.
constexpr const char* kScript = R"(set -e
cd "$1"
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
loopback="subjectAltName=IP:127.0.0.1,DNS:localhost"
openssl req -x509 $key -keyout self.key -out self.crt -days 2 -subj /CN=127.0.0.1 \
    -addext "$loopback" 2>/dev/null
openssl req -x509 $key -keyout authority.key -out authority.crt -days 2 \
    -subj "/CN=Qvex Test Authority" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
for name in loopback other; do
    if [ $name = loopback ]; then names="$loopback"; else names="subjectAltName=DNS:wrong.example"; fi
    printf '%s\n' "$names" > $name.ext
    openssl req -new $key -keyout $name.key -out $name.csr -subj /CN=$name 2>/dev/null
    openssl x509 -req -in $name.csr -CA authority.crt -CAkey authority.key -CAcreateserial \
        -days 2 -extfile $name.ext -out $name.crt 2>/dev/null
done
for name in self loopback other; do cat $name.crt $name.key > $name.pem; done
chmod 0755 . && chmod 0644 ./*
openssl x509 -in self.crt -noout -fingerprint -sha256
)";

}  // namespace

TestCertificates::TestCertificates() {
    ProgramResult result = RunToEnd({"/bin/sh", "-c", kScript, "certificates", folder_.root()});
    // "sha256 Fingerprint=AB:CD:..." (the label's case differs between versions).
    const size_t equals = result.out.find('=');
    if (result.status != 0 || equals == std::string::npos) {
        problem_ = "openssl could not make the test certificates (status " +
                   std::to_string(result.status) + "): " + result.err;
        return;
    }
    fingerprint_ = result.out.substr(equals + 1);
    while (!fingerprint_.empty() && (fingerprint_.back() == '\n' || fingerprint_.back() == '\r')) {
        fingerprint_.pop_back();
    }
}

}  // namespace qvex::test
