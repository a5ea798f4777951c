// The presence operation's request body and its blocking exchange.

#include "client/refresh_status.hpp"

#include "wire/body.hpp"

namespace velmora::detail {

Body refreshStatusBody(const std::string& team, const std::string& appCode, std::int64_t refreshRate,
                       const std::string& userName, const std::string& status, bool returnList,
                       bool onlyOnlineUsers) {
    return BodyWriter()
        .text("gruppo", team)
        .text("codiceApp", appCode)
        .integer("refreshRate", refreshRate)
        .text("userName", userName)
        .text("status", status)
        .boolean("returnList", returnList)
        .boolean("onlyOnlineUsers", onlyOnlineUsers)
        .finish();
}

StringMap refreshStatus(const std::shared_ptr<const Target>& target, const std::string& team,
                        const std::string& appCode, std::int64_t refreshRate,
                        const std::string& userName, const std::string& status, bool returnList,
                        bool onlyOnlineUsers) {
    // A record without a field separator is stored under the empty key.
    return callMap(target, Endpoint::refreshStatus,
                   refreshStatusBody(team, appCode, refreshRate, userName, status, returnList, onlyOnlineUsers), "");
}

}  // namespace velmora::detail
