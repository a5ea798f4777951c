#pragma once
// Checks on a request's header that Beast's parser leaves to us: the shapes that two HTTP
// parsers (ours and a proxy's in front) could read differently. Pure: no I/O.

#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/http/fields.hpp>

namespace velmora::service {

// The raw header, request line to the empty line: why it is refused, if it is.
std::optional<std::string> lineError(std::string_view header);

// The parsed fields: why the request's framing is refused, if it is.
std::optional<std::string> framingError(const boost::beast::http::fields& fields);

}  // namespace velmora::service
