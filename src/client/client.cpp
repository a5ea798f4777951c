// The client object: its creation, its three settings (guarded, since any thread may read or
// write them) and stopTimers; the version symbols.

#include <velmora/velmora.hpp>

#include "transport/target.hpp"
#include "loop/timers.hpp"

extern "C" {
const double VelmoraVersionNumber = 1.0;
const unsigned char VelmoraVersionString[] = "@(#)PROGRAM:Velmora  PROJECT:velmora-1\n";
}

namespace velmora {

Velmora::Velmora() : Velmora(ServiceConfig{std::string(detail::builtInOrigin()), {}, 60.0}) {}

Velmora::Velmora(ServiceConfig config)
    : target_(detail::Target::make(config)), timers_(std::make_shared<detail::TimerRegistry>()) {}

Velmora::~Velmora() = default;

std::shared_ptr<Velmora> Velmora::create() {
    return create(ServiceConfig{std::string(detail::builtInOrigin()), {}, 60.0});
}

std::shared_ptr<Velmora> Velmora::create(ServiceConfig config) {
    // The constructor is protected; this local type reaches it for make_shared.
    struct Made final : Velmora {
        explicit Made(ServiceConfig c) : Velmora(std::move(c)) {}
    };
    return std::make_shared<Made>(std::move(config));
}

double Velmora::timeInterval() const { return timeInterval_.load(); }

void Velmora::setTimeInterval(double seconds) {
    std::lock_guard lock(settingsMutex_);
    timeInterval_.store(seconds);
}

void Velmora::modifyTimeInterval(const std::function<void(double&)>& update) {
    std::lock_guard lock(settingsMutex_);
    double value = timeInterval_.load();
    update(value);
    timeInterval_.store(value);
}

double Velmora::statusInterval() const { return statusInterval_.load(); }

void Velmora::setStatusInterval(double seconds) {
    std::lock_guard lock(settingsMutex_);
    statusInterval_.store(seconds);
}

void Velmora::modifyStatusInterval(const std::function<void(double&)>& update) {
    std::lock_guard lock(settingsMutex_);
    double value = statusInterval_.load();
    update(value);
    statusInterval_.store(value);
}

std::string Velmora::status() const {
    std::lock_guard lock(settingsMutex_);
    return status_;
}

void Velmora::setStatus(std::string status) {
    std::lock_guard lock(settingsMutex_);
    status_.swap(status);
}

void Velmora::modifyStatus(const std::function<void(std::string&)>& update) {
    std::lock_guard lock(settingsMutex_);
    update(status_);
}

void Velmora::stopTimers() {
    // Ending the timers may release the last reference to this client (when the caller
    // holds none, as in a completion that captured a plain pointer): keep the registry alive
    // through the call and touch nothing of `this` afterwards.
    const auto registry = timers_;
    registry->stopAll();
}

}  // namespace velmora
