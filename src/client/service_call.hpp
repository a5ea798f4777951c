#pragma once
// The one call every operation makes: post a body to an endpoint, then read the reply in
// the form the caller asked for. The blocking forms wait on the calling thread and decode
// there; the non-blocking forms decode and complete on the delivery thread.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <velmora/velmora.hpp>

#include "transport/target.hpp"

namespace velmora::detail {

using Body = std::optional<std::string>;  // nullopt: the body could not be built

// Reply reading of the boolean operations. A reply that is not JSON makes the blocking
// form write the parser's description and a line feed to standard output when
// `reportParseError` is set.
struct BoolReply {
    bool reportParseError = false;
};

bool callBool(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
              BoolReply options = {});
bool callBoolAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                   BoolCallback completion);
StringMap callMap(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string_view defaultKey);
bool callMapAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string defaultKey, ValueCallback completion);

// The reply bytes of a blocking exchange, or nullopt when it ended without data (or could
// not be started).
std::optional<std::string> exchangeBlocking(const std::shared_ptr<const Target>& target,
                                            Endpoint endpoint, std::string body);

}  // namespace velmora::detail
