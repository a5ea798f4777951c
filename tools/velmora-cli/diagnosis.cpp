#include "diagnosis.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace velmora::cli {

namespace {

bool mentions(const std::string& text, std::string_view word) { return text.find(word) != std::string::npos; }

// "host:port" of an origin, the port filled in from the scheme when it is not given.
std::string hostAndPort(const std::string& origin) {
    const auto schemeEnd = origin.find("://");
    const bool https = origin.rfind("https://", 0) == 0;
    std::string rest = schemeEnd == std::string::npos ? origin : origin.substr(schemeEnd + 3);
    rest = rest.substr(0, rest.find('/'));
    const auto bracket = rest.rfind(']');
    const auto colon = rest.rfind(':');
    const bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    return hasPort ? rest : rest + (https ? ":443" : ":80");
}

std::string hostOf(const std::string& origin) {
    std::string host = hostAndPort(origin);
    host.erase(host.rfind(':'));
    if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    return host;
}

// Whether no_proxy exempts `host`, read as libcurl reads it: "*", or comma-separated names
// that match the host or a domain it ends in.
bool exemptFromProxy(const std::string& host) {
    const char* list = std::getenv("no_proxy");
    if (list == nullptr || list[0] == '\0') list = std::getenv("NO_PROXY");
    if (list == nullptr) return false;
    std::string rest = list;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string entry = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        entry.erase(0, entry.find_first_not_of(' '));
        entry.erase(entry.find_last_not_of(' ') + 1);
        if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
        if (entry == "*" || entry == host) return true;
        if (!entry.empty() && host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
            host[host.size() - entry.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

// The proxy libcurl takes from the environment for this origin, or "".
std::string proxyFor(const std::string& origin) {
    if (exemptFromProxy(hostOf(origin))) return {};
    const bool https = origin.rfind("https://", 0) == 0;
    for (const char* name : {https ? "https_proxy" : "http_proxy", https ? "HTTPS_PROXY" : "HTTP_PROXY",
                             "all_proxy", "ALL_PROXY"}) {
        if (const char* value = std::getenv(name); value != nullptr && value[0] != '\0') {
            return std::string(name) + "=" + value;
        }
    }
    return {};
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

std::string tlsHeadline(const std::string& message, const std::string& origin, const std::string& caFile) {
    const std::string where = hostAndPort(origin);
    if (mentions(message, "no alternative certificate subject name") || mentions(message, "does not match") ||
        mentions(message, "certificate subject name")) {
        return "the certificate at " + where +
               " is not made out to this host name: use the name it was made for in --origin "
               "(velmora-service's own: localhost, 127.0.0.1 or ::1)";
    }
    if (mentions(message, "error setting certificate") || mentions(message, "CA file") ||
        mentions(message, "cacert") || mentions(message, "problem with the SSL CA cert")) {
        return "the CA file " + (caFile.empty() ? std::string("given") : caFile) +
               " cannot be used: it must hold PEM certificates (-----BEGIN CERTIFICATE-----)";
    }
    if (mentions(message, "certificate has expired")) {
        return "the certificate at " + where + " has expired: the service needs a new one";
    }
    if (mentions(message, "self-signed") || mentions(message, "self signed") || mentions(message, "issuer") ||
        mentions(message, "unable to get local") || mentions(message, "verify") || mentions(message, "certificate")) {
        return caFile.empty() ? "certificate not trusted at " + where +
                                    ": pass the service's cert.pem with --ca-file (or VELMORA_CA_FILE)"
                              : "certificate not trusted at " + where + " by " + caFile +
                                    ": pass the cert.pem of the service at that origin with --ca-file";
    }
    // A plain HTTP server answers a handshake with HTTP text (a "wrong version number") or
    // closes the connection on it (SSL_ERROR_SYSCALL).
    if (mentions(message, "wrong version number") || mentions(message, "packet length too long") ||
        mentions(message, "record layer failure") || mentions(message, "unexpected eof") ||
        mentions(message, "SSL_ERROR_SYSCALL")) {
        return "no TLS at " + where + ": is the service serving plain HTTP there? then use http:// in --origin";
    }
    return "TLS handshake with " + where + " failed";
}

}  // namespace

Diagnosis diagnose(const Error& error, const std::string& origin, const std::string& caFile, double timeout) {
    const std::string& message = error.message;
    const std::string where = hostAndPort(origin);
    std::string headline;
    switch (error.code) {
        case Errc::invalidArgument:
            headline = "the request could not be built: a text is not valid UTF-8 or a number is not finite";
            break;
        case Errc::invalidOrigin:
            headline = "the origin " + origin + " is not https://host[:port] (or http:// for a local service)";
            break;
        case Errc::resolve:
            headline = mentions(message, "proxy")
                           ? "the proxy's host name could not be resolved: check https_proxy/http_proxy"
                           : "host name not found: " + where + ": check --origin (or VELMORA_ORIGIN)";
            break;
        case Errc::connect:
            // libcurl's text does not always say that a proxy was in the way.
            if (const auto proxy = proxyFor(origin); !proxy.empty()) {
                headline = "cannot connect to " + where + " through the proxy " + proxy +
                           ": check the proxy, or exempt the host with no_proxy";
            } else if (mentions(message, "refused")) {
                headline = "connection refused at " + where + ": is velmora-service running there?";
            } else {
                headline = "cannot connect to " + where + ": is velmora-service running there, and is --origin right?";
            }
            break;
        case Errc::tls:
            headline = tlsHeadline(message, origin, caFile);
            break;
        case Errc::timeout:
            headline = "timed out after " + secondsText(timeout) + " s without data from " + where +
                       ": is the service overloaded, or is something else listening there? (--timeout)";
            break;
        case Errc::transport:
            if (mentions(message, "HTTP/0.9") || mentions(message, "Received HTTP")) {
                headline = "the reply from " + where + " is not HTTP: is that port a Velmora service?";
            } else if (mentions(message, "Empty reply") && origin.rfind("http://", 0) == 0) {
                // What a TLS server does with a request in plain text.
                headline = where + " closed the connection without a reply: does it serve HTTPS? "
                                   "then use https:// in --origin";
            } else {
                headline = "the connection to " + where + " failed during the exchange";
            }
            break;
        case Errc::httpStatus:
            if (error.httpStatus == 404 || error.httpStatus == 405) {
                headline = "HTTP " + std::to_string(error.httpStatus) + " from " + origin +
                           ": not a Velmora service at that origin (check its path)";
            } else if (error.httpStatus == 503) {
                headline = "HTTP 503 from " + origin + ": the service is stopping or overloaded; try again";
            } else {
                headline = "HTTP " + std::to_string(error.httpStatus) + " from " + origin +
                           ": the service could not serve the request";
            }
            break;
        case Errc::malformedReply:
            headline = "the reply from " + origin + " is not a Velmora reply: is that origin a Velmora service?";
            break;
        case Errc::replyTooLarge:
            headline = "the reply from " + origin + " is larger than the library reads";
            break;
        case Errc::shuttingDown:
            headline = "the call was cut short: the program is exiting";
            break;
    }
    return {headline, message};
}

}  // namespace velmora::cli
