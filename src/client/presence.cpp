// The presence operations: initUser and receiveUsers as timers on the caller's run loop,
// getUsers and status as single blocking exchanges.

#include <velmora/velmora.hpp>

#include "wire/reply.hpp"
#include "loop/timers.hpp"
#include "client/refresh_status.hpp"

namespace velmora {

// The timers hold the client strongly, so an unshared client (a subclass made without
// std::make_shared) cannot start one: such a call schedules nothing.

void Velmora::initUser(const std::string& team, const std::string& appCode, const std::string& userName,
                       std::int64_t refreshRate) {
    const double interval = statusInterval();
    auto self = weak_from_this().lock();
    if (!self) return;
    detail::scheduleRepeating(
        interval,
        [self = std::move(self), team, appCode, userName, refreshRate] {
            // `status` is read at each tick, so a change reaches running timers.
            (void)detail::refreshStatus(self->target_, team, appCode, refreshRate, userName, self->status(),
                                        false, false);
        },
        timers_);
}

StringMap Velmora::getUsers(const std::string& team, const std::string& appCode, const std::string& userName,
                            std::int64_t refreshRate, bool returnList, bool onlyOnlineUsers) {
    return detail::refreshStatus(target_, team, appCode, refreshRate, userName, status(), returnList,
                                 onlyOnlineUsers);
}

bool Velmora::receiveUsers(const std::string& team, const std::string& appCode, const std::string& userName,
                           std::int64_t refreshRate, ValueCallback completion) {
    const double interval = timeInterval();
    auto self = weak_from_this().lock();
    if (!self) return false;
    detail::scheduleRepeating(
        interval,
        [self = std::move(self), team, appCode, userName, refreshRate, completion = std::move(completion)] {
            auto users = detail::refreshStatus(self->target_, team, appCode, refreshRate, userName,
                                               self->status(), true, false);
            if (!completion) return;
            try {
                completion(detail::toJson(std::move(users)));
            } catch (...) {
                // A completion that throws must not end the loop or the timer.
            }
        },
        timers_);
    return true;
}

Result<StringMap> Velmora::refreshStatus(const std::string& team, const std::string& appCode,
                                         std::int64_t refreshRate, const std::string& userName,
                                         const std::string& status, bool returnList, bool onlyOnlineUsers) {
    return detail::callMapOutcome(
        target_, detail::Endpoint::refreshStatus,
        detail::refreshStatusBody(team, appCode, refreshRate, userName, status, returnList, onlyOnlineUsers), "");
}

void Velmora::refreshStatus(const std::string& team, const std::string& appCode, std::int64_t refreshRate,
                            const std::string& userName, const std::string& status, bool returnList,
                            bool onlyOnlineUsers, std::function<void(Result<StringMap>)> done) {
    detail::callMapOutcomeAsync(
        target_, detail::Endpoint::refreshStatus,
        detail::refreshStatusBody(team, appCode, refreshRate, userName, status, returnList, onlyOnlineUsers), "",
        weak_from_this().lock(), std::move(done));
}

StringMap Velmora::status(const std::string& team, const std::string& appCode, std::int64_t refreshRate,
                          const std::string& userName, const std::string& status, bool returnList,
                          bool onlyOnlineUsers) {
    return detail::refreshStatus(target_, team, appCode, refreshRate, userName, status, returnList,
                                 onlyOnlineUsers);
}

}  // namespace velmora
