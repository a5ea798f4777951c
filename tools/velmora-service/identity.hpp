#pragma once
// Who a verified client certificate says the caller is.

#include <openssl/ssl.h>

#include "handler.hpp"

namespace velmora::service {

// The certificate's subject: its common name (CN) is the user; each organisational unit
// (OU) names one team. A subject with no common name, or with more than one, names no user
// (Caller::user stays empty), so every operation is refused to it. Texts are read as UTF-8.
Caller callerOf(X509* certificate);

// The caller of a TLS connection whose handshake verified a client certificate; a caller
// naming no user when there is none (a verifying server never gets that far without one).
Caller callerOf(SSL* connection);

}  // namespace velmora::service
