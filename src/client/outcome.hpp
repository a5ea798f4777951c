#pragma once
// Outcomes of calls: how an exchange's ending and its reply read as a Result, and the
// message each failure carries. Pure functions; both forms of every operation use them.

#include <cstddef>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include <velmora/velmora.hpp>

#include "transport/target.hpp"
#include "transport/transfer.hpp"
#include "wire/reply.hpp"

namespace velmora::detail {

// The one table from libcurl's result codes to failure classes.
Errc errcOf(CURLcode code) noexcept;

// What a call was and where it went, as its messages name it.
struct CallSite {
    std::string_view origin;
    Endpoint endpoint;
    double timeoutSeconds = 0;
};

// An exchange that ended without a reply (`end.replied()` is false).
Error exchangeFailure(const CallSite& site, const ExchangeEnd& end);
// Calls that send nothing.
Error invalidOrigin(const CallSite& site);
Error invalidArgument(const CallSite& site);

// The reply of an exchange read as each operation reads it. A reply that holds no result of
// the kind is `httpStatus` when `httpStatus` is not 2xx, else `malformedReply`.
Result<bool> readBoolOutcome(const CallSite& site, long httpStatus, std::string_view reply,
                             const Envelope& envelope);
Result<StringMap> readMapOutcome(const CallSite& site, long httpStatus, std::string_view reply,
                                 const Envelope& envelope, std::string_view defaultKey);

// At most about `limit` bytes of `bytes` as one printable line: runs of whitespace and
// controls become one space, bytes that are not UTF-8 become '?', and a cut is marked "...".
std::string printableExcerpt(std::string_view bytes, std::size_t limit);

}  // namespace velmora::detail
