#pragma once
// The process-wide state of the transport and the order in which it ends: libcurl's global
// set-up, the caches each driver shares, the I/O thread, the blocking driver and the
// delivery queue. Everything lives until the process ends.

#include <optional>
#include <string>

#include "dispatch/delivery_queue.hpp"
#include "transport/blocking.hpp"
#include "transport/curl_handles.hpp"
#include "transport/io_thread.hpp"
#include "transport/target.hpp"

namespace velmora::detail {

class Runtime {
public:
    // Made on first use. An exit handler made after libcurl (and so OpenSSL) has
    // registered its own stops every transfer and both threads first, so nothing touches a
    // connection while the TLS library is torn down.
    static Runtime& get();

    IoThread& io() noexcept { return io_; }
    BlockingDriver& blocking() noexcept { return blocking_; }
    DeliveryQueue& delivery() noexcept { return delivery_; }

private:
    Runtime();
    void shutdown();

    SharedCaches ioCaches_{SharedCaches::Use::oneThread};
    SharedCaches callerCaches_{SharedCaches::Use::anyThread};
    DeliveryQueue delivery_;
    IoThread io_;
    BlockingDriver blocking_;
};

// Runs one exchange on the calling thread and waits for it; see BlockingDriver::perform.
// Any thread, including the delivery thread.
ExchangeEnd performBlocking(const Target& target, Endpoint endpoint, const std::string& body, std::string& reply);

// The delivery queue of the process.
DeliveryQueue& deliveryQueue();

}  // namespace velmora::detail
