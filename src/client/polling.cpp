// receiveMessages: a repeating timer on the caller's run loop that starts one non-blocking
// fetch per tick.

#include <velmora/velmora.hpp>

#include "loop/timers.hpp"

namespace velmora {

bool Velmora::receiveMessages(const std::string& receiver, ValueCallback completion) {
    const double interval = timeInterval();
    // The timer holds the client strongly; an unshared client cannot start one.
    auto self = weak_from_this().lock();
    if (!self) return false;
    detail::scheduleRepeating(
        interval,
        [self = std::move(self), receiver, completion = std::move(completion)] {
            // The class's own fetch, not a subclass's override; the tick only starts it, and
            // fetches of slow replies may overlap.
            (void)self->Velmora::receiveMessageAsync(receiver, completion);
        },
        timers_);
    return true;
}

}  // namespace velmora
