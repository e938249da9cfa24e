#include "tests/support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <memory>
#include <utility>
#include <vector>

#include "tests/support/process_run.h"

namespace qvex::test {
namespace {

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

constexpr long kDay = 24 * 60 * 60;
// The chain a server sends: the server's certificate, 48 authorities between, and the test
// authority.
constexpr int kChainLength = 50;

// A certificate for `name` and `key`, valid from `from` to `to` seconds from now, signed by
// `issuerKey` in `issuer`'s name; an authority (CA) or a server's for 127.0.0.1 and
// localhost. Null when the library failed.
Certificate Issue(const X509* issuer, EVP_PKEY* issuerKey, EVP_PKEY* key, const std::string& name,
                  bool authority, long from, long to, long serial) {
    Certificate made(X509_new(), X509_free);
    X509* certificate = made.get();
    if (certificate == nullptr || X509_set_version(certificate, X509_VERSION_3) != 1 ||
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(certificate), from) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(certificate), to) == nullptr ||
        X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(certificate, X509_get_subject_name(issuer)) != 1 ||
        X509_set_pubkey(certificate, key) != 1) {
        return Certificate(nullptr, X509_free);
    }
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, const_cast<X509*>(issuer), certificate, nullptr, nullptr, 0);
    const std::vector<std::pair<int, const char*>> extensions =
        authority
            ? std::vector<std::pair<int, const char*>>{{NID_basic_constraints, "critical,CA:TRUE"},
                                                       {NID_key_usage, "critical,keyCertSign"}}
            : std::vector<std::pair<int, const char*>>{
                  {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"}};
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* extension =
            X509V3_EXT_conf_nid(nullptr, &context, nid, const_cast<char*>(value));
        const bool added = extension != nullptr && X509_add_ext(certificate, extension, -1) == 1;
        X509_EXTENSION_free(extension);
        if (!added) {
            return Certificate(nullptr, X509_free);
        }
    }
    if (X509_sign(certificate, issuerKey, EVP_sha256()) == 0) {
        return Certificate(nullptr, X509_free);
    }
    return made;
}

// Writes the certificates in order, then the key, readable by all.
bool WritePem(const std::string& path, const std::vector<const X509*>& certificates,
              EVP_PKEY* key) {
    BIO* out = BIO_new_file(path.c_str(), "w");
    bool written = out != nullptr;
    for (const X509* certificate : certificates) {
        written = written && PEM_write_bio_X509(out, const_cast<X509*>(certificate)) == 1;
    }
    written =
        written && PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    BIO_free(out);
    return written && ::chmod(path.c_str(), 0644) == 0;
}

// Past dates cannot be asked of the openssl program (version 3.0): the expired certificate
// and the long chain are made here, by the test authority the script made.
bool IssueMore(const TempFolder& folder) {
    BIO* in = BIO_new_file(folder.path("authority.crt").c_str(), "r");
    Certificate authority(
        in != nullptr ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr, X509_free);
    BIO_free(in);
    in = BIO_new_file(folder.path("authority.key").c_str(), "r");
    Key authorityKey(
        in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr,
        EVP_PKEY_free);
    BIO_free(in);
    // One key for all: the names tell the certificates of the chain apart.
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!authority || !authorityKey || !key) {
        return false;
    }
    Certificate expired = Issue(authority.get(), authorityKey.get(), key.get(), "expired", false,
                                -2 * kDay, -kDay, 2);
    if (!expired || !WritePem(folder.path("expired.pem"), {expired.get()}, key.get())) {
        return false;
    }
    std::vector<Certificate> chain;
    const X509* issuer = authority.get();
    EVP_PKEY* issuerKey = authorityKey.get();
    for (int index = 1; index < kChainLength; ++index) {
        const bool last = index == kChainLength - 1;
        chain.push_back(Issue(issuer, issuerKey, key.get(),
                              last ? "127.0.0.1" : "Qvex Test Authority " + std::to_string(index),
                              !last, -kDay, 2 * kDay, 100 + index));
        if (!chain.back()) {
            return false;
        }
        issuer = chain.back().get();
        issuerKey = key.get();
    }
    std::vector<const X509*> sent;
    for (auto made = chain.rbegin(); made != chain.rend(); ++made) {
        sent.push_back(made->get());
    }
    sent.push_back(authority.get());
    return WritePem(folder.path("chain.pem"), sent, key.get());
}

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
    if (!IssueMore(folder_)) {
        problem_ = "the expired certificate or the long chain could not be made";
    }
}

}  // namespace qvex::test
