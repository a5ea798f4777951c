// Reading a ServiceConfig into a Target: the origin checked and normalised, the endpoint
// URLs, the trust and the silence timeout.

#include "transport/target.hpp"

#include <cctype>
#include <cmath>

#include <curl/curl.h>

#ifndef VELMORA_SERVICE_ORIGIN
#define VELMORA_SERVICE_ORIGIN "https://localhost:8443"
#endif

namespace velmora::detail {

std::string_view operationName(Endpoint e) noexcept {
    switch (e) {
        case Endpoint::sendMessage: return "sendMessage";
        case Endpoint::receiveMessage: return "receiveMessage";
        case Endpoint::write: return "write";
        case Endpoint::read: return "read";
        case Endpoint::refreshStatus: return "refreshStatus";
    }
    return {};
}

std::string_view builtInOrigin() noexcept { return VELMORA_SERVICE_ORIGIN; }

std::string normaliseOrigin(std::string_view origin) {
    std::string text(origin);
    while (!text.empty() && text.back() == '/') text.pop_back();
    const bool https = text.rfind("https://", 0) == 0;
    const bool http = text.rfind("http://", 0) == 0;
    if (!https && !http) return {};
    const std::size_t hostStart = https ? 8 : 7;
    if (text.size() <= hostStart || text[hostStart] == '/') return {};  // no host
    for (char c : text) {
        // No whitespace, controls, queries, fragments or user info: an origin is a place.
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '?' || c == '#' || c == '@' || c == '\\') return {};
    }
    CURLU* url = curl_url();
    if (url == nullptr) return {};
    bool ok = curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
    char* host = nullptr;
    if (ok) ok = curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
    curl_free(host);
    curl_url_cleanup(url);
    return ok ? text : std::string{};
}

namespace {

std::string hostKeyOf(const std::string& origin) {
    std::string key;
    CURLU* url = curl_url();
    if (url == nullptr) return origin;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(url, CURLUPART_URL, origin.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        key = std::string(scheme) + "://" + host + ":" + port;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else {
        key = origin;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(url);
    return key;
}

}  // namespace

std::shared_ptr<const Target> Target::make(const ServiceConfig& config) {
    auto t = std::make_shared<Target>();
    const std::string origin = normaliseOrigin(config.origin);
    t->valid = !origin.empty();
    t->origin = t->valid ? origin : config.origin;
    if (t->valid) {
        t->hostKey = hostKeyOf(origin);
        t->https = origin.rfind("https://", 0) == 0;
        for (std::size_t i = 0; i < kEndpointCount; ++i) {
            t->urls[i] = origin + "/corvane.asmx/" + std::string(operationName(static_cast<Endpoint>(i)));
        }
    }
    t->caFile = config.caFile;
    double seconds = config.requestTimeout;
    if (!std::isfinite(seconds) || seconds <= 0) seconds = 60.0;
    seconds = std::min(seconds, 1e7);  // keeps the deadline arithmetic far from overflow
    t->idleTimeout = std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
    return t;
}

}  // namespace velmora::detail
