// The process-wide transport state, made on first use and stopped in order at exit, and the
// entry points the client rooms call.

#include "transport/runtime.hpp"

namespace velmora::detail {

Runtime::Runtime() : io_(ioCaches_.handle(), delivery_), blocking_(callerCaches_.handle()) {
    // A start that a completion deferred goes out once the completions taken with it ran.
    delivery_.setAfterItems([] { Runtime::get().io().releaseHeldWake(); });
    // Spare blocking lanes of a burst are closed even when no blocking call follows: the I/O
    // thread wakes for it.
    io_.setChore([](IoThread::Clock::time_point now) { return Runtime::get().blocking().trimIdle(now); });
    blocking_.setTrimRequest([](std::chrono::steady_clock::time_point at) { Runtime::get().io().scheduleChore(at); });
}

Runtime& Runtime::get() {
    static Runtime* const runtime = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return new Runtime();
    }();
    static struct ExitGuard {
        ~ExitGuard() { runtime->shutdown(); }
    } guard;
    return *runtime;
}

void Runtime::shutdown() {
    // Blocking calls first, so that a completion waiting on one lets the delivery thread
    // stop; then that thread, so that no completion runs once the exit has begun (objects
    // the application's completions use may be going away); the exchanges the I/O thread
    // ends last are then released unrun.
    blocking_.shutdown();
    delivery_.shutdown();
    io_.shutdown();
}

void startExchange(std::shared_ptr<Exchange> exchange, bool deferWake) {
    Runtime::get().io().start(std::move(exchange), deferWake);
}

ExchangeEnd performBlocking(const Target& target, Endpoint endpoint, const std::string& body, std::string& reply) {
    Runtime& runtime = Runtime::get();
    // A start a completion deferred goes out now, not after this wait: the caller may be
    // waiting for its effect.
    runtime.io().releaseHeldWake();
    return runtime.blocking().perform(target, endpoint, body, reply);
}

DeliveryQueue& deliveryQueue() { return Runtime::get().delivery(); }

Exchange::Exchange(std::shared_ptr<const Target> target, Endpoint endpoint, std::string body)
    : target_(std::move(target)), endpoint_(endpoint), body_(std::move(body)) {}

Exchange::~Exchange() = default;

}  // namespace velmora::detail
