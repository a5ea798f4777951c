#include "http_framing.hpp"

#include <algorithm>

namespace velmora::service {

namespace http = boost::beast::http;

// Line endings other than CRLF, and obsolete line folding (a field line continued on the
// next line): each a way for two parsers to disagree about a field.
std::optional<std::string> lineError(std::string_view header) {
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (header[i] == '\n' && (i == 0 || header[i - 1] != '\r')) return "a line ends without CR LF";
        if (header[i] == '\r' && (i + 1 == header.size() || header[i + 1] != '\n')) return "a CR not before LF";
        if (header[i] == '\n' && i + 1 < header.size() && (header[i + 1] == ' ' || header[i + 1] == '\t')) {
            return "a header field folded over lines";
        }
        if (header[i] == '\0') return "a NUL in the header";
    }
    return std::nullopt;
}

// The shapes of a request whose end two parsers could see in different places (one
// reading a second request inside another's body): refused before any body is read.
// Beast itself refuses Content-Length beside chunked, lengths that differ and lengths that
// are not decimal digits; it takes "66, 66" and repeated equal lengths, and a transfer
// coding other than chunked for no body at all.
std::optional<std::string> framingError(const http::fields& fields) {
    int lengths = 0, codings = 0;
    for (const auto& f : fields) {
        const auto value = f.value();
        if (f.name() == http::field::content_length) {
            ++lengths;
            if (value.empty() || value.size() > 18 ||
                !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                return "malformed Content-Length";
            }
        } else if (f.name() == http::field::transfer_encoding) {
            ++codings;
            if (value != "chunked") return "Transfer-Encoding other than chunked";
        }
    }
    if (lengths > 1) return "more than one Content-Length";
    if (codings > 1) return "more than one Transfer-Encoding";
    if (lengths > 0 && codings > 0) return "both Content-Length and Transfer-Encoding";
    return std::nullopt;
}

}  // namespace velmora::service
