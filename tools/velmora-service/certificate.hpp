#pragma once
// The service's own TLS identity when none is given: a self-signed certificate that is its
// own CA, so a client trusts exactly this file as its caFile.

#include <stdexcept>
#include <string>

namespace velmora::service {

class CertificateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CertificateFiles {
    std::string certFile;
    std::string keyFile;
};

// DIR/cert.pem and DIR/key.pem: made on first use (CA:TRUE, valid ten years, names
// localhost, 127.0.0.1 and ::1; the key readable by its owner only), reused afterwards.
// Throws CertificateError when they cannot be made, or when existing files cannot be read
// or do not belong together.
CertificateFiles ensureSelfSignedCertificate(const std::string& directory);

}  // namespace velmora::service
