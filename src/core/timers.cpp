// STUB: replaced by the run loop work.
#include "core/timers.hpp"
namespace velmora::detail {
void TimerRegistry::stopAll() {}
void scheduleRepeating(double, std::function<void()>, const std::shared_ptr<TimerRegistry>&) {}
}  // namespace velmora::detail
