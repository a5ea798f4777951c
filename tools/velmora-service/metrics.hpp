#pragma once
// What the service counts for GET /metrics: requests by operation and outcome, their
// latency, refused handshakes. Counting is a few relaxed atomic increments per request, no
// lock; the text is made only when scraped.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "handler.hpp"

namespace velmora::service {

// The five operations, then everything else that was answered (unknown paths and
// operations, framing refusals). The label never carries what a client sent.
enum class Operation : unsigned char { refreshStatus, sendMessage, receiveMessage, write, read, other };
inline constexpr std::size_t kOperationCount = 6;
inline constexpr std::size_t kOutcomeCount = 4;

std::string_view operationLabel(Operation op) noexcept;
std::string_view outcomeLabel(Outcome outcome) noexcept;
// The operation named by the last segment of a request path; `other` for any other text.
Operation operationNamed(std::string_view name) noexcept;

// Upper bounds of the latency histogram's buckets, in seconds (then +Inf).
inline constexpr std::array<double, 14> kLatencyBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                        0.1,    0.25,  0.5,    1,     2.5,   5,     10};

// What the scrape reads from elsewhere at the moment it is made.
struct Gauges {
    std::optional<std::int64_t> messagesWaiting;  // nullopt: the store did not answer
    std::int64_t openConnections = 0;
};

class Metrics {
public:
    // Any thread.
    void request(Operation op, Outcome outcome, double seconds) noexcept;
    void handshakeFailed() noexcept { handshakeFailures_.fetch_add(1, std::memory_order_relaxed); }
    // A store failure outside a request (a health check, a scrape).
    void storeFailed() noexcept { storeErrors_.fetch_add(1, std::memory_order_relaxed); }

    // The Prometheus text exposition format (version 0.0.4).
    std::string render(const Gauges& gauges) const;

private:
    using Counter = std::atomic<std::uint64_t>;
    struct Latency {
        std::array<Counter, kLatencyBuckets.size() + 1> buckets{};  // each its own range; the last is +Inf
        Counter sumNanoseconds{0};
    };
    std::array<std::array<Counter, kOutcomeCount>, kOperationCount> requests_{};
    std::array<Latency, kOperationCount> latency_{};
    Counter handshakeFailures_{0};
    Counter storeErrors_{0};
};

// One line of the access log, newline included:
//   velmora-service: access client=127.0.0.1 user="bob" operation=sendMessage status=200 outcome=ok seconds=0.000412
// `user` (the certificate's) only when there is one, quoted, with quotes, backslashes and
// bytes outside printable ASCII written as \xHH so a name cannot forge a line or a field.
std::string accessLine(std::string_view client, const std::string* user, std::string_view operation, int status,
                       std::string_view outcome, double seconds);

}  // namespace velmora::service
