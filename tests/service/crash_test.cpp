// The service killed outright while clients write and send: what it acknowledged with
// true before it died is there after a restart, once.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <velmora/velmora.hpp>

#include "service_fixture.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;

struct Acknowledged {
    std::mutex mutex;
    std::set<std::string> messages;                        // texts sent to "inbox"
    std::map<std::pair<std::string, std::string>, int> values;  // (tag, key) -> value
    int count() {
        std::lock_guard lock(mutex);
        return static_cast<int>(messages.size() + values.size());
    }
};

TEST(ServiceCrash, WhatWasAcknowledgedSurvivesSigkill) {
    TempDir dir;
    const std::string data = dir.path() + "/data";
    const std::string db = dir.path() + "/velmora.db";
    const std::vector<std::string> args{"--listen", "127.0.0.1:0", "--data", data, "--db", db};
    Acknowledged acked;
    int rounds = 0;
    {
        ServiceProcess service(args);
        const std::string origin = service.origin();
        ASSERT_FALSE(origin.empty()) << service.standardError();
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&, t] {
                auto client = Velmora::create({origin, data + "/cert.pem", 10.0});
                const std::string tag = "g" + std::to_string(t);
                for (int i = 0; !stop.load(); ++i) {
                    const std::string text = "m" + std::to_string(t) + "-" + std::to_string(i);
                    const std::string key = "k" + std::to_string(i);
                    if (client->sendMessageSync("s" + std::to_string(t), "inbox", text)) {
                        std::lock_guard lock(acked.mutex);
                        acked.messages.insert(text);
                    }
                    if (client->writeSync("team", tag, key, i)) {
                        std::lock_guard lock(acked.mutex);
                        acked.values[{tag, key}] = i;
                    }
                    // Non-blocking ones too: their true arrives on the delivery thread.
                    client->sendMessageAsync("s" + std::to_string(t), "inbox", text + "a", [&, text](bool ok) {
                        if (!ok) return;
                        std::lock_guard lock(acked.mutex);
                        acked.messages.insert(text + "a");
                    });
                }
            });
        }
        // Kill while the writers are busy, once a fair number of calls went through.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (acked.count() < 300 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        service.signal(SIGKILL);
        EXPECT_EQ(service.wait(), -1);  // died of the signal
        std::this_thread::sleep_for(200ms);  // calls made against the dead service fail
        stop = true;
        for (auto& w : writers) w.join();
        rounds = acked.count();
    }
    ASSERT_GE(rounds, 50);  // 300 unless the machine is very slow
    // A completion still queued would race with the reads below; none can be true now.
    std::this_thread::sleep_for(500ms);

    ServiceProcess service(args);
    const std::string origin = service.origin();
    ASSERT_FALSE(origin.empty()) << service.standardError();
    auto client = Velmora::create({origin, data + "/cert.pem", 20.0});
    std::lock_guard lock(acked.mutex);

    std::map<std::string, int> received;  // text -> how often
    for (int fetch = 0; fetch < 10'000; ++fetch) {
        const StringMap batch = client->receiveMessageSync("inbox");
        if (batch.empty()) break;
        for (const auto& [key, text] : batch) ++received[text];
    }
    int lost = 0;
    for (const auto& text : acked.messages) lost += received.count(text) == 0;
    EXPECT_EQ(lost, 0) << "of " << acked.messages.size() << " acknowledged messages";
    for (const auto& [text, times] : received) EXPECT_EQ(times, 1) << text;

    int wrong = 0;
    for (const auto& [address, value] : acked.values) {
        const auto& [tag, key] = address;
        wrong += client->readSync("team", tag, key) != StringMap{{key, std::to_string(value)}};
    }
    EXPECT_EQ(wrong, 0) << "of " << acked.values.size() << " acknowledged values";
    std::printf("[ measured ] killed after %zu acknowledged messages and %zu values; %zu messages came back\n",
                acked.messages.size(), acked.values.size(), received.size());
}

}  // namespace
}  // namespace velmora::testing
