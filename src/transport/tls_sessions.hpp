#pragma once
// TLS sessions that survive their connection. libcurl keeps the session of each connection
// to resume it on the next one, but it hands OpenSSL's own session object to its cache:
// when the server closes an idle connection first (the usual end of a kept connection),
// libcurl drops it without a TLS shutdown, OpenSSL then marks that object as not to be
// resumed, and the next connection makes a full handshake (a round trip more under
// TLS 1.2, the certificate's checks again under TLS 1.3).

#include <curl/curl.h>

namespace velmora::detail {

// Makes the connections `easy` opens give libcurl's session cache a copy of each session,
// which no closing connection can spoil. Does nothing unless libcurl's TLS is OpenSSL.
void keepSessionsResumable(CURL* easy);

}  // namespace velmora::detail
