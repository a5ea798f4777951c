#include "metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmora::service {

namespace {

constexpr std::array<Outcome, kOutcomeCount> kOutcomes{Outcome::ok, Outcome::refused, Outcome::denied,
                                                       Outcome::storeError};

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace

std::string_view operationLabel(Operation op) noexcept {
    switch (op) {
        case Operation::refreshStatus: return "refreshStatus";
        case Operation::sendMessage: return "sendMessage";
        case Operation::receiveMessage: return "receiveMessage";
        case Operation::write: return "write";
        case Operation::read: return "read";
        case Operation::other: break;
    }
    return "other";
}

std::string_view outcomeLabel(Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::ok: return "ok";
        case Outcome::refused: return "refused";
        case Outcome::denied: return "denied";
        case Outcome::storeError: return "store_error";
    }
    return "refused";
}

Operation operationNamed(std::string_view name) noexcept {
    for (std::size_t i = 0; i + 1 < kOperationCount; ++i) {
        if (name == operationLabel(static_cast<Operation>(i))) return static_cast<Operation>(i);
    }
    return Operation::other;
}

void Metrics::request(Operation op, Outcome outcome, double seconds) noexcept {
    const auto o = static_cast<std::size_t>(op);
    requests_[o][static_cast<std::size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
    if (outcome == Outcome::storeError) storeErrors_.fetch_add(1, std::memory_order_relaxed);
    if (!(seconds >= 0)) seconds = 0;
    const auto bucket = static_cast<std::size_t>(
        std::lower_bound(kLatencyBuckets.begin(), kLatencyBuckets.end(), seconds) - kLatencyBuckets.begin());
    Latency& l = latency_[o];
    l.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    l.sumNanoseconds.fetch_add(static_cast<std::uint64_t>(std::min(seconds, 1e9) * 1e9), std::memory_order_relaxed);
}

std::string Metrics::render(const Gauges& gauges) const {
    std::string out;
    out.reserve(8192);
    auto line = [&out](std::string_view text) {
        out.append(text);
        out.push_back('\n');
    };
    line("# HELP velmora_requests_total Requests answered, by operation and outcome.");
    line("# TYPE velmora_requests_total counter");
    for (std::size_t o = 0; o < kOperationCount; ++o) {
        for (const Outcome outcome : kOutcomes) {
            const auto count = requests_[o][static_cast<std::size_t>(outcome)].load(std::memory_order_relaxed);
            line("velmora_requests_total{operation=\"" + std::string(operationLabel(static_cast<Operation>(o))) +
                 "\",outcome=\"" + std::string(outcomeLabel(outcome)) + "\"} " + std::to_string(count));
        }
    }
    line("# HELP velmora_request_duration_seconds Time from a request read whole to its reply being sent.");
    line("# TYPE velmora_request_duration_seconds histogram");
    for (std::size_t o = 0; o < kOperationCount; ++o) {
        const std::string label = "operation=\"" + std::string(operationLabel(static_cast<Operation>(o))) + "\"";
        const Latency& l = latency_[o];
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b < l.buckets.size(); ++b) {
            cumulative += l.buckets[b].load(std::memory_order_relaxed);
            const std::string le = b < kLatencyBuckets.size() ? number(kLatencyBuckets[b]) : "+Inf";
            line("velmora_request_duration_seconds_bucket{" + label + ",le=\"" + le + "\"} " +
                 std::to_string(cumulative));
        }
        line("velmora_request_duration_seconds_sum{" + label + "} " +
             number(static_cast<double>(l.sumNanoseconds.load(std::memory_order_relaxed)) / 1e9));
        line("velmora_request_duration_seconds_count{" + label + "} " + std::to_string(cumulative));
    }
    line("# HELP velmora_messages_waiting Messages queued for their recipients.");
    line("# TYPE velmora_messages_waiting gauge");
    if (gauges.messagesWaiting) line("velmora_messages_waiting " + std::to_string(*gauges.messagesWaiting));
    line("# HELP velmora_store_up Whether the store answered this scrape (1) or not (0).");
    line("# TYPE velmora_store_up gauge");
    line(std::string("velmora_store_up ") + (gauges.messagesWaiting ? "1" : "0"));
    line("# HELP velmora_open_connections Client connections open now.");
    line("# TYPE velmora_open_connections gauge");
    line("velmora_open_connections " + std::to_string(gauges.openConnections));
    line("# HELP velmora_store_errors_total Store operations that failed (requests, health checks, scrapes).");
    line("# TYPE velmora_store_errors_total counter");
    line("velmora_store_errors_total " + std::to_string(storeErrors_.load(std::memory_order_relaxed)));
    line("# HELP velmora_tls_handshake_failures_total TLS handshakes refused or not completed in time.");
    line("# TYPE velmora_tls_handshake_failures_total counter");
    line("velmora_tls_handshake_failures_total " +
         std::to_string(handshakeFailures_.load(std::memory_order_relaxed)));
    return out;
}

std::string accessLine(std::string_view client, const std::string* user, std::string_view operation, int status,
                       std::string_view outcome, double seconds) {
    std::string line = "velmora-service: access client=";
    line.append(client);
    if (user != nullptr) {
        line.append(" user=\"");
        for (const char ch : *user) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
                line.append(escaped);
            } else {
                line.push_back(ch);
            }
        }
        line.push_back('"');
    }
    char rest[96];
    std::snprintf(rest, sizeof rest, " status=%d outcome=", status);
    line.append(" operation=").append(operation).append(rest).append(outcome);
    std::snprintf(rest, sizeof rest, " seconds=%.6f\n", seconds);
    line.append(rest);
    return line;
}

}  // namespace velmora::service
