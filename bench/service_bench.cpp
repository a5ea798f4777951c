// The service's own figures, for bench/service_table.sh: messages sent, then fetched, per
// second, and the latency of each call, with the library's non-blocking calls as the load.
//
//   velmora_service_bench IN_FLIGHT SECONDS ORIGIN [ORIGIN...]
//     -> sends/s send_p50_ms send_p99_ms fetched/s fetch_p50_ms fetch_p99_ms
//
// Sending: IN_FLIGHT chains of sendMessage, each completion starting the next, for SECONDS,
// to eight recipients, the chains spread over the origins. Fetching: IN_FLIGHT chains of
// receiveMessage over the same recipients and origins (so that fetches of one recipient
// run at once, through different services when there are several) until every message
// sent has come back; a message fetched twice or never ends the run with an error. The CA
// for https origins comes from BENCH_CA.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <velmora/velmora.hpp>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRecipients = 8;

struct Run {
    std::mutex mutex;
    std::condition_variable idle;
    int outstanding = 0;
    std::vector<double> ms;  // latency of every completed call
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(static_cast<double>(v.size()) * p))];
}

std::string recipient(int chain) { return "r" + std::to_string(chain % kRecipients); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: velmora_service_bench IN_FLIGHT SECONDS ORIGIN [ORIGIN...]\n");
        return 2;
    }
    const int inFlight = std::atoi(argv[1]);
    const double seconds = std::atof(argv[2]);
    std::vector<std::shared_ptr<velmora::Velmora>> clients;
    for (int i = 3; i < argc; ++i) {
        velmora::ServiceConfig config;
        config.origin = argv[i];
        if (const char* ca = std::getenv("BENCH_CA")) config.caFile = ca;
        config.requestTimeout = 30;
        clients.push_back(velmora::Velmora::create(config));
    }
    const auto clientOf = [&](int chain) { return clients[static_cast<std::size_t>(chain) % clients.size()]; };

    // Sending.
    Run send;
    std::atomic<long long> sequence{0};
    std::mutex sentMutex;
    std::set<std::string> sent;
    const auto sendUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::function<void(int)> sendNext = [&](int chain) {
        const std::string text = "m" + std::to_string(sequence++);
        const auto t0 = Clock::now();
        clientOf(chain)->sendMessageAsync("sender", recipient(chain), text, [&, chain, text, t0](bool ok) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            if (!ok) {
                std::fprintf(stderr, "a send failed\n");
                std::exit(1);
            }
            {
                std::lock_guard lock(sentMutex);
                sent.insert(text);
            }
            std::lock_guard lock(send.mutex);
            send.ms.push_back(ms);
            if (Clock::now() < sendUntil) {
                sendNext(chain);
            } else if (--send.outstanding == 0) {
                send.idle.notify_all();
            }
        });
    };
    const auto sendStart = Clock::now();
    {
        std::lock_guard lock(send.mutex);
        send.outstanding = inFlight;
    }
    for (int c = 0; c < inFlight; ++c) sendNext(c);
    {
        std::unique_lock lock(send.mutex);
        if (!send.idle.wait_for(lock, std::chrono::seconds(60) + std::chrono::duration<double>(seconds),
                                [&] { return send.outstanding == 0; })) {
            std::fprintf(stderr, "sends did not complete\n");
            return 1;
        }
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - sendStart).count();

    // Fetching, until everything sent has come back.
    Run fetch;
    std::set<std::string> received;
    std::size_t duplicates = 0;
    const std::size_t expected = sent.size();
    std::function<void(int)> fetchNext = [&](int chain) {
        const auto t0 = Clock::now();
        clientOf(chain + 1)->receiveMessageAsync(recipient(chain), [&, chain, t0](const velmora::JsonValue& batch) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            std::lock_guard lock(fetch.mutex);
            fetch.ms.push_back(ms);
            for (const auto& [key, text] : batch.items()) duplicates += !received.insert(text.get<std::string>()).second;
            if (received.size() < expected) {
                fetchNext(chain);
            } else if (--fetch.outstanding == 0) {
                fetch.idle.notify_all();
            }
        });
    };
    const auto fetchStart = Clock::now();
    {
        std::lock_guard lock(fetch.mutex);
        fetch.outstanding = inFlight;
    }
    for (int c = 0; c < inFlight; ++c) fetchNext(c);
    {
        std::unique_lock lock(fetch.mutex);
        if (!fetch.idle.wait_for(lock, std::chrono::seconds(120), [&] { return fetch.outstanding == 0; })) {
            std::fprintf(stderr, "fetches did not complete: %zu of %zu\n", received.size(), expected);
            return 1;
        }
    }
    const double fetchSeconds = std::chrono::duration<double>(Clock::now() - fetchStart).count();
    if (duplicates != 0 || received != sent) {
        std::fprintf(stderr, "%zu duplicates, %zu received of %zu sent\n", duplicates, received.size(), expected);
        return 1;
    }
    std::printf("%.0f %.2f %.2f %.0f %.2f %.2f\n", static_cast<double>(expected) / sendSeconds,
                percentile(send.ms, 0.5), percentile(send.ms, 0.99), static_cast<double>(expected) / fetchSeconds,
                percentile(fetch.ms, 0.5), percentile(fetch.ms, 0.99));
    return 0;
}
