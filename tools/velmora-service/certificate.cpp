#include "certificate.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace velmora::service {

namespace {

struct Free {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(std::FILE* p) const { std::fclose(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

void check(bool ok, const std::string& what) {
    if (!ok) throw CertificateError("certificate: " + what);
}

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, std::string("extension ") + value);
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(added == 1, std::string("extension ") + value);
}

Owned<X509> makeCertificate(EVP_PKEY* key) {
    Owned<X509> cert(X509_new());
    check(cert != nullptr, "allocate");
    X509_set_version(cert.get(), 2);
    // A random serial: certificates made for two data folders must not look like one.
    unsigned char bytes[16];
    check(RAND_bytes(bytes, sizeof bytes) == 1, "random serial");
    bytes[0] &= 0x7F;
    Owned<BIGNUM> serial(BN_bin2bn(bytes, sizeof bytes, nullptr));
    check(serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())), "serial");
    // An hour back absorbs clocks that disagree slightly.
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3650L * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("velmora-service (self-signed)"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    // Its own CA: the client's caFile is this very certificate.
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(cert.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
    addExtension(cert.get(), NID_subject_key_identifier, "hash");
    addExtension(cert.get(), NID_authority_key_identifier, "keyid:always");
    check(X509_sign(cert.get(), key, EVP_sha256()) > 0, "sign");
    return cert;
}

// Writes through a temporary name and renames, so a reader never sees half a file.
template <class Write>
void writeFile(const std::string& path, mode_t mode, Write write) {
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    check(fd >= 0, "cannot create " + temporary);
    Owned<std::FILE> file(::fdopen(fd, "w"));
    if (!file) ::close(fd);
    check(file != nullptr, "cannot write " + temporary);
    const bool written = write(file.get()) == 1 && std::fflush(file.get()) == 0 && ::fsync(fd) == 0;
    file.reset();
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        check(false, "cannot write " + path);
    }
}

void checkPair(const CertificateFiles& files) {
    Owned<std::FILE> certIn(std::fopen(files.certFile.c_str(), "r"));
    check(certIn != nullptr, "cannot read " + files.certFile);
    Owned<X509> cert(PEM_read_X509(certIn.get(), nullptr, nullptr, nullptr));
    check(cert != nullptr, files.certFile + " holds no PEM certificate");
    Owned<std::FILE> keyIn(std::fopen(files.keyFile.c_str(), "r"));
    check(keyIn != nullptr, "cannot read " + files.keyFile);
    Owned<EVP_PKEY> key(PEM_read_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
    check(key != nullptr, files.keyFile + " holds no unencrypted PEM private key");
    check(X509_check_private_key(cert.get(), key.get()) == 1,
          files.keyFile + " is not the key of " + files.certFile);
}

}  // namespace

CertificateFiles ensureSelfSignedCertificate(const std::string& directory) {
    CertificateFiles files{directory + "/cert.pem", directory + "/key.pem"};
    std::error_code ec;
    const bool haveCert = std::filesystem::exists(files.certFile, ec);
    const bool haveKey = std::filesystem::exists(files.keyFile, ec);
    if (haveCert && !haveKey) {
        // A new pair would silently replace a certificate that clients may already trust.
        throw CertificateError("certificate: " + files.keyFile + " is missing; remove " + files.certFile +
                               " to make a new pair");
    }
    if (!haveCert) {
        Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
        check(key != nullptr, "key generation");
        Owned<X509> cert = makeCertificate(key.get());
        // The key first: a certificate on disk always has its key beside it, and a key
        // alone (an interrupted first start) is simply made again.
        writeFile(files.keyFile, 0600, [&](std::FILE* f) {
            return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        });
        writeFile(files.certFile, 0644, [&](std::FILE* f) { return PEM_write_X509(f, cert.get()); });
    }
    checkPair(files);
    return files;
}

}  // namespace velmora::service
