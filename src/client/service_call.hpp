#pragma once
// The one call every operation makes: post a body to an endpoint, then read the reply in
// the form the caller asked for. The blocking forms wait on the calling thread and decode
// there; the non-blocking forms decode and complete on the delivery thread. The outcome
// forms are the path; the forms that only know success are read off them.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <velmora/velmora.hpp>

#include "transport/target.hpp"

namespace velmora::detail {

using Body = std::optional<std::string>;  // nullopt: the body could not be built

// Reply reading of the boolean operations. A reply that is not JSON makes the blocking
// form log the parser's description when `reportParseError` is set.
struct BoolReply {
    bool reportParseError = false;
};

// What a non-blocking outcome call keeps alive until its `done` has run or been released.
using Holder = std::shared_ptr<const void>;

Result<bool> callBoolOutcome(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                             BoolReply options = {});
Result<StringMap> callMapOutcome(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                                 std::string_view defaultKey);
// `done` runs once on the delivery thread, whatever the outcome.
void callBoolOutcomeAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                          Holder holder, std::function<void(Result<bool>)> done);
void callMapOutcomeAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                         std::string defaultKey, Holder holder, std::function<void(Result<StringMap>)> done);

// The forms that drop failures: false / an empty map, or no completion (the non-blocking
// forms return false when nothing was sent).
bool callBool(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
              BoolReply options = {});
bool callBoolAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                   BoolCallback completion);
StringMap callMap(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string_view defaultKey);
bool callMapAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string defaultKey, ValueCallback completion);

}  // namespace velmora::detail
