#include "identity.hpp"

#include <openssl/x509.h>

namespace velmora::service {

namespace {

// Nullopt when the entry cannot be read as UTF-8 (the name then cannot be trusted either).
std::optional<std::string> utf8(X509_NAME_ENTRY* entry) {
    unsigned char* out = nullptr;
    const int length = ASN1_STRING_to_UTF8(&out, X509_NAME_ENTRY_get_data(entry));
    if (length < 0) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
    OPENSSL_free(out);
    return text;
}

}  // namespace

Caller callerOf(X509* certificate) {
    Caller caller;
    if (certificate == nullptr) return caller;
    const X509_NAME* subject = X509_get_subject_name(certificate);
    std::vector<std::string> names;
    bool unreadable = false;
    for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) {
        auto text = utf8(X509_NAME_get_entry(subject, i));
        if (!text) unreadable = true;
        else names.push_back(std::move(*text));
    }
    if (names.size() != 1 || unreadable) return caller;
    for (int i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, i)) {
        if (auto team = utf8(X509_NAME_get_entry(subject, i))) caller.teams.push_back(std::move(*team));
    }
    caller.user = std::move(names.front());
    return caller;
}

Caller callerOf(SSL* connection) {
    return callerOf(SSL_get0_peer_certificate(connection));
}

}  // namespace velmora::service
