#pragma once
// The one exchange with the service's presence operation, on which every presence
// operation is built. It reads no setting: callers pass the state they report.

#include <cstdint>
#include <memory>
#include <string>

#include <velmora/velmora.hpp>

#include "client/service_call.hpp"
#include "transport/target.hpp"

namespace velmora::detail {

Body refreshStatusBody(const std::string& team, const std::string& appCode, std::int64_t refreshRate,
                       const std::string& userName, const std::string& status, bool returnList,
                       bool onlyOnlineUsers);

// Blocking. An empty map for every failure: no body, no reply data, an unreadable reply.
StringMap refreshStatus(const std::shared_ptr<const Target>& target, const std::string& team,
                        const std::string& appCode, std::int64_t refreshRate,
                        const std::string& userName, const std::string& status, bool returnList,
                        bool onlyOnlineUsers);

}  // namespace velmora::detail
