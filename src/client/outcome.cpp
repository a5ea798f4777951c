// Failure classes and their messages, and the readings of a reply as a Result.

#include "client/outcome.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "wire/utf8.hpp"

namespace velmora {

std::string_view to_string(Errc code) noexcept {
    switch (code) {
        case Errc::invalidArgument: return "invalidArgument";
        case Errc::invalidOrigin: return "invalidOrigin";
        case Errc::resolve: return "resolve";
        case Errc::connect: return "connect";
        case Errc::tls: return "tls";
        case Errc::timeout: return "timeout";
        case Errc::transport: return "transport";
        case Errc::httpStatus: return "httpStatus";
        case Errc::malformedReply: return "malformedReply";
        case Errc::replyTooLarge: return "replyTooLarge";
        case Errc::shuttingDown: return "shuttingDown";
    }
    return "unknown";
}

namespace detail {

namespace {

// Every code not listed is a failure of the exchange itself: `transport`.
constexpr std::pair<CURLcode, Errc> kErrcOfCode[] = {
    {CURLE_URL_MALFORMAT, Errc::invalidOrigin},
    {CURLE_UNSUPPORTED_PROTOCOL, Errc::invalidOrigin},
    {CURLE_COULDNT_RESOLVE_HOST, Errc::resolve},
    {CURLE_COULDNT_RESOLVE_PROXY, Errc::resolve},
    {CURLE_COULDNT_CONNECT, Errc::connect},
    {CURLE_PROXY, Errc::connect},
    {CURLE_INTERFACE_FAILED, Errc::connect},
    {CURLE_OPERATION_TIMEDOUT, Errc::timeout},
    {CURLE_SSL_CONNECT_ERROR, Errc::tls},
    {CURLE_PEER_FAILED_VERIFICATION, Errc::tls},
    {CURLE_SSL_CERTPROBLEM, Errc::tls},
    {CURLE_SSL_CIPHER, Errc::tls},
    {CURLE_SSL_CACERT_BADFILE, Errc::tls},
    {CURLE_SSL_CRL_BADFILE, Errc::tls},
    {CURLE_SSL_ISSUER_ERROR, Errc::tls},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, Errc::tls},
    {CURLE_SSL_INVALIDCERTSTATUS, Errc::tls},
    {CURLE_SSL_ENGINE_NOTFOUND, Errc::tls},
    {CURLE_SSL_ENGINE_SETFAILED, Errc::tls},
    {CURLE_SSL_ENGINE_INITFAILED, Errc::tls},
    {CURLE_SSL_SHUTDOWN_FAILED, Errc::tls},
    {CURLE_SSL_CLIENTCERT, Errc::tls},
    {CURLE_USE_SSL_FAILED, Errc::tls},
    {CURLE_FILESIZE_EXCEEDED, Errc::replyTooLarge},
};

// "read to https://host:8443 failed: ", and "... not sent: " for a call that sent nothing.
std::string head(const CallSite& site, std::string_view what = "failed") {
    std::string out(operationName(site.endpoint));
    out += " to ";
    out += site.origin;
    out += ' ';
    out += what;
    out += ": ";
    return out;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool mentions(const std::string& text, std::string_view words) { return text.find(words) != std::string::npos; }

// What libcurl's text leaves out, and what to check for the failures people meet first.
std::string hintFor(const ExchangeEnd& end) {
    std::string hint;
    // libcurl says only that it could not connect; the system says why (refused, no route).
    if (end.code == CURLE_COULDNT_CONNECT && end.osErrno != 0) {
        const std::string reason = std::strerror(static_cast<int>(end.osErrno));
        if (!mentions(end.errorText, reason)) hint += " (" + reason + ")";
    }
    if (end.code == CURLE_PEER_FAILED_VERIFICATION) {
        // With OpenSSL libcurl's text carries the verification result; name it where not.
        if (end.verifyResult != 0 && !mentions(end.errorText, "certificate")) {
            hint += " (certificate verification result " + std::to_string(end.verifyResult) + ")";
        }
        if (mentions(end.errorText, "issuer") || mentions(end.errorText, "self-signed") ||
            mentions(end.errorText, "self signed")) {
            hint += "; is the service's CA in ServiceConfig::caFile?";
        }
    }
    if (end.code == CURLE_SSL_CONNECT_ERROR && mentions(end.errorText, "wrong version number")) {
        hint += "; the service may not speak TLS on this port (plain http://?)";
    }
    return hint;
}

// What a reply that holds no result shows of itself.
std::string excerptOf(std::string_view reply) {
    if (reply.empty()) return "an empty reply";
    return "\"" + printableExcerpt(reply, 80) + "\"";
}

Error unreadable(const CallSite& site, long httpStatus, std::string_view reply, const Envelope& e,
                 std::string_view wanted) {
    const bool success = httpStatus >= 200 && httpStatus < 300;
    std::string why;
    if (e.shape == Envelope::Shape::notJson) {
        why = "reply is not JSON: ";
    } else if (e.shape == Envelope::Shape::notObject) {
        why = "reply is a JSON array, not an object: ";
    } else {
        why = "reply has no ";
        why += wanted;
        why += ": ";
    }
    why += excerptOf(reply);
    if (!success) {
        return Error{Errc::httpStatus, head(site) + "HTTP status " + std::to_string(httpStatus) + ", " + why,
                     static_cast<int>(httpStatus)};
    }
    return Error{Errc::malformedReply, head(site) + why, static_cast<int>(httpStatus)};
}

}  // namespace

Errc errcOf(CURLcode code) noexcept {
    for (const auto& [c, errc] : kErrcOfCode) {
        if (c == code) return errc;
    }
    return Errc::transport;
}

Error exchangeFailure(const CallSite& site, const ExchangeEnd& end) {
    if (end.stopped) {
        return Error{Errc::shuttingDown, head(site) + "the process is exiting", 0};
    }
    const Errc code = errcOf(end.code);
    std::string message = head(site);
    switch (code) {
        case Errc::resolve: message += "host name not resolved: "; break;
        case Errc::connect: message += "cannot connect: "; break;
        case Errc::tls: message += "TLS handshake: "; break;
        case Errc::timeout:
            message += "no data for " + seconds(site.timeoutSeconds) + " s (requestTimeout)";
            break;
        case Errc::replyTooLarge: message += "reply larger than " + std::to_string(kMaxReplyBytes >> 20) + " MiB"; break;
        case Errc::invalidOrigin: message += "URL rejected: "; break;
        default: message += "connection failed during the exchange: "; break;
    }
    if (code != Errc::timeout && code != Errc::replyTooLarge) {
        message += printableExcerpt(end.errorText.empty() ? curl_easy_strerror(end.code) : end.errorText, 240);
    }
    message += hintFor(end);
    return Error{code, std::move(message), static_cast<int>(end.httpStatus)};
}

Error invalidOrigin(const CallSite& site) {
    return Error{Errc::invalidOrigin,
                 std::string(operationName(site.endpoint)) + " not sent: invalid origin \"" +
                     printableExcerpt(site.origin, 120) +
                     "\" (expected https://host[:port][/prefix], or http:// for a local service)",
                 0};
}

Error invalidArgument(const CallSite& site) {
    return Error{Errc::invalidArgument,
                 head(site, "not sent") + "an argument has no faithful JSON form (text that is not valid UTF-8, a "
                     "number that is NaN or infinite, or a value nested too deeply)",
                 0};
}

Result<bool> readBoolOutcome(const CallSite& site, long httpStatus, std::string_view reply,
                             const Envelope& envelope) {
    if (const auto value = boolOf(envelope)) return *value;
    return unreadable(site, httpStatus, reply, envelope, "boolean \"d\"");
}

Result<StringMap> readMapOutcome(const CallSite& site, long httpStatus, std::string_view reply,
                                 const Envelope& envelope, std::string_view defaultKey) {
    if (auto map = mapOf(envelope, defaultKey)) return std::move(*map);
    return unreadable(site, httpStatus, reply, envelope, "text \"d\"");
}

std::string printableExcerpt(std::string_view bytes, std::size_t limit) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    bool space = false;
    while (p < end) {
        if (out.size() >= limit) {
            out += "...";
            return out;
        }
        const unsigned char c = *p;
        if (c <= 0x20 || c == 0x7F) {
            space = true;
            ++p;
            continue;
        }
        if (space && !out.empty()) out += ' ';
        space = false;
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++p;
            continue;
        }
        const std::size_t n = utf8SequenceLength(p, end);
        // C1 controls (U+0080..U+009F) would reach a terminal as controls.
        if (n == 0 || (n == 2 && c == 0xC2 && p[1] < 0xA0)) {
            out += '?';
            ++p;
            continue;
        }
        out.append(reinterpret_cast<const char*>(p), n);
        p += n;
    }
    return out;
}

}  // namespace detail
}  // namespace velmora
