// Hands libcurl a copy of every new TLS session instead of OpenSSL's own object.

#include "transport/tls_sessions.hpp"

#include <atomic>
#include <cstring>

#include <openssl/ssl.h>

namespace velmora::detail {

namespace {

using NewSession = int (*)(SSL*, SSL_SESSION*);

// libcurl's own "new session" callback, the same for every connection it sets up.
std::atomic<NewSession> curlsCallback{nullptr};

// OpenSSL keeps its reference to `session` (this returns 0); libcurl's cache gets the copy.
int storeCopy(SSL* ssl, SSL_SESSION* session) {
    const NewSession store = curlsCallback.load(std::memory_order_acquire);
    if (store == nullptr) return 0;
    SSL_SESSION* copy = SSL_SESSION_dup(session);
    if (copy == nullptr) return 0;  // out of memory: the next connection makes a full handshake
    if (store(ssl, copy) == 0) SSL_SESSION_free(copy);
    return 0;
}

// A resumed TLS 1.2 handshake brings no new session: the connection would use the cached
// object itself, and spoil it when it closes. Before the first handshake message is
// written, the connection takes a copy of the session it was given instead.
void resumeFromCopy(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0 || !SSL_in_before(ssl) || SSL_is_server(ssl) != 0) return;
    SSL_SESSION* cached = SSL_get_session(ssl);
    if (cached == nullptr) return;
    SSL_SESSION* copy = SSL_SESSION_dup(cached);
    if (copy == nullptr) return;
    SSL_set_session(const_cast<SSL*>(ssl), copy);
    SSL_SESSION_free(copy);  // the connection holds its own reference
}

// Runs for each connection's TLS context after libcurl has set its callbacks on it.
CURLcode onTlsContext(CURL*, void* context, void*) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    const NewSession current = SSL_CTX_sess_get_new_cb(ctx);
    if (current == nullptr || current == &storeCopy) return CURLE_OK;  // session cache off
    curlsCallback.store(current, std::memory_order_release);
    SSL_CTX_sess_set_new_cb(ctx, &storeCopy);
    if (SSL_CTX_get_info_callback(ctx) == nullptr) SSL_CTX_set_info_callback(ctx, &resumeFromCopy);
    return CURLE_OK;
}

bool tlsIsOpenSsl() {
    static const bool openSsl = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        return info != nullptr && info->ssl_version != nullptr && std::strncmp(info->ssl_version, "OpenSSL/", 8) == 0;
    }();
    return openSsl;
}

}  // namespace

void keepSessionsResumable(CURL* easy) {
    // Under another TLS library the context is not OpenSSL's: leave it alone.
    if (tlsIsOpenSsl()) curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &onTlsContext);
}

}  // namespace velmora::detail
