// Many clients at once for bench/network.sh: CLIENTS threads in this process, each one
// Velmora client on its own run loop that keeps its user present (initUser, every 3 s) and
// polls its inbox (receiveMessages, every 0.5 s), as an application would; one more thread
// sends every user a message now and then, stamped with the time it was sent. Each thread
// is a separate client to the service: the presence ticks are blocking exchanges, and a
// blocking caller holds a connection of its own. Independent applications do not start in
// the same millisecond: each client starts at a random moment of the first SPREAD_MS
// (default 3000, the presence interval; 0 starts all at once, so that their timers tick
// together). Figures are of the steady state, from WARM_MS (default 0) after the last
// client started: sends made from then on and the deliveries of those sends.
//
//   fleet_bench ORIGIN CA_FILE CLIENTS SECONDS SEND_EVERY_MS TAG [WARM_MS [SPREAD_MS]]
//     -> one line: clients polls sends received starved duplicated p50_ms p99_ms
//                  sends_completed send_p50_ms send_p99_ms
//        (p50/p99: delivery delay from send to the poll that brought it; "starved": clients
//        that received fewer than half of the messages sent to them in time to arrive;
//        "duplicated": messages a client received more often than they were sent to it;
//        send_*: the time from a sendMessageAsync call to its completion)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <velmora/velmora.hpp>

namespace {

using Clock = std::chrono::steady_clock;

double nowMs() { return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(); }

struct Member {
    std::string name;
    std::atomic<long> sent{0};
    std::atomic<long> received{0};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7 || argc > 9) {
        std::fprintf(stderr, "usage: %s ORIGIN CA_FILE CLIENTS SECONDS SEND_EVERY_MS TAG [WARM_MS [SPREAD_MS]]\n",
                     argv[0]);
        return 2;
    }
    velmora::ServiceConfig config;
    config.origin = argv[1];
    config.caFile = argv[2];
    config.requestTimeout = 30;
    const int clients = std::atoi(argv[3]);
    const auto seconds = std::chrono::duration<double>(std::atof(argv[4]));
    const auto sendEvery = std::chrono::milliseconds(std::atoi(argv[5]));
    const std::string tag = argv[6];

    std::vector<Member> members(static_cast<std::size_t>(clients));
    for (int i = 0; i < clients; ++i) members[static_cast<std::size_t>(i)].name = tag + "-u" + std::to_string(i);
    std::atomic<long> polls{0};
    std::mutex delaysMutex;
    std::vector<double> delays;
    std::vector<double> sendLatencies;
    std::atomic<long> sendsCompleted{0};
    const auto begin = Clock::now();
    const auto end = begin + std::chrono::duration_cast<Clock::duration>(seconds);
    const int spreadMs = argc == 9 ? std::max(0, std::atoi(argv[8])) : 3000;
    const double steadyFromMs = nowMs() + spreadMs + (argc >= 8 ? std::atof(argv[7]) : 0.0);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> startAfterMs(0, std::max(0, spreadMs - 1));

    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(clients) + 1);
    for (auto& m : members) {
        const auto startAt = begin + std::chrono::milliseconds(startAfterMs(random));
        threads.emplace_back([&, member = &m, startAt] {
            std::this_thread::sleep_until(startAt);
            auto client = velmora::Velmora::create(config);
            client->setStatusInterval(3);
            client->setTimeInterval(0.5);
            client->initUser(tag, "fleet", member->name, 3);
            client->receiveMessages(member->name, [&, member](const velmora::JsonValue& batch) {
                polls.fetch_add(1, std::memory_order_relaxed);
                if (!batch.is_object()) return;
                const double now = nowMs();
                std::lock_guard lock(delaysMutex);
                for (const auto& [sender, text] : batch.items()) {
                    (void)sender;
                    if (!text.is_string()) continue;
                    member->received.fetch_add(1, std::memory_order_relaxed);
                    const double sentAt = std::atof(text.get<std::string>().c_str());
                    if (sentAt >= steadyFromMs) delays.push_back(now - sentAt);
                }
            });
            velmora::RunLoop::current().runFor(end - Clock::now());
            client->stopTimers();
        });
    }
    // Sends stop two poll intervals before the end, so that every message can arrive.
    const auto lastSend = end - std::chrono::seconds(1);
    threads.emplace_back([&] {
        auto sender = velmora::Velmora::create(config);
        std::size_t next = 0;
        while (Clock::now() < lastSend) {
            const auto tick = Clock::now();
            // A round through every member each SEND_EVERY_MS, spread evenly.
            for (std::size_t k = 0; k < members.size() && Clock::now() < lastSend; ++k) {
                Member& m = members[next++ % members.size()];
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "%.3f", nowMs());
                m.sent.fetch_add(1, std::memory_order_relaxed);
                const double started = nowMs();
                sender->sendMessageAsync("fleet-sender", m.name, stamp, [&, started](bool) {
                    const double ms = nowMs() - started;
                    sendsCompleted.fetch_add(1, std::memory_order_relaxed);
                    if (started < steadyFromMs) return;
                    std::lock_guard lock(delaysMutex);
                    sendLatencies.push_back(ms);
                });
                std::this_thread::sleep_until(tick + sendEvery * (k + 1) / members.size());
            }
        }
    });
    for (auto& t : threads) t.join();

    // Completions still on their way when the runs ended are not waited for.
    std::lock_guard lock(delaysMutex);
    long sent = 0, received = 0, starved = 0, duplicated = 0;
    for (const auto& m : members) {
        sent += m.sent;
        received += m.received;
        if (m.received * 2 < m.sent) ++starved;
        if (m.received > m.sent) duplicated += m.received - m.sent;
    }
    const auto at = [](std::vector<double>& v, double q) {
        if (v.empty()) return 0.0;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
    };
    std::printf("%d %ld %ld %ld %ld %ld %.1f %.1f %ld %.1f %.1f\n", clients, polls.load(), sent, received, starved,
                duplicated, at(delays, 0.5), at(delays, 0.99), sendsCompleted.load(), at(sendLatencies, 0.5),
                at(sendLatencies, 0.99));
    std::fflush(stdout);
    std::_Exit(0);  // completions of sends still in flight would find their counters gone
    return 0;
}
