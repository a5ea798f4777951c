// The presence operation's request body and its blocking exchange.

#include "client/refresh_status.hpp"

#include "wire/body.hpp"
#include "client/service_call.hpp"

namespace velmora::detail {

StringMap refreshStatus(const std::shared_ptr<const Target>& target, const std::string& team,
                        const std::string& appCode, std::int64_t refreshRate,
                        const std::string& userName, const std::string& status, bool returnList,
                        bool onlyOnlineUsers) {
    auto body = BodyWriter()
                    .text("gruppo", team)
                    .text("codiceApp", appCode)
                    .integer("refreshRate", refreshRate)
                    .text("userName", userName)
                    .text("status", status)
                    .boolean("returnList", returnList)
                    .boolean("onlyOnlineUsers", onlyOnlineUsers)
                    .finish();
    // A record without a field separator is stored under the empty key.
    return callMap(target, Endpoint::refreshStatus, std::move(body), "");
}

}  // namespace velmora::detail
