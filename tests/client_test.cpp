#include <velmora/velmora.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "transport/target.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

TEST(Client, DefaultsAndVersion) {
    auto client = Velmora::create();
    EXPECT_EQ(client->timeInterval(), 0.5);
    EXPECT_EQ(client->statusInterval(), 3.0);
    EXPECT_EQ(client->status(), "ON");
    EXPECT_EQ(VelmoraVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraVersionString), "@(#)PROGRAM:Velmora  PROJECT:velmora-1\n");
}

TEST(Client, SettingsAreStoredUnchanged) {
    auto client = Velmora::create();
    for (double v : {0.0, -1.5, 1e300, std::numeric_limits<double>::infinity(), -0.0}) {
        client->setTimeInterval(v);
        client->setStatusInterval(v);
        EXPECT_EQ(client->timeInterval(), v);
        EXPECT_EQ(client->statusInterval(), v);
    }
    client->setTimeInterval(std::nan(""));
    EXPECT_TRUE(std::isnan(client->timeInterval()));
    for (const std::string& s : std::vector<std::string>{"", "OFF", std::string(100000, 'x'), std::string("a\0b", 3)}) {
        client->setStatus(s);
        EXPECT_EQ(client->status(), s);
    }
}

// The modify forms are one exclusive access: concurrent increments are never lost.
TEST(Client, ModifyIsAtomicAcrossThreads) {
    auto client = Velmora::create();
    client->setTimeInterval(0);
    client->setStatus("");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                client->modifyTimeInterval([](double& v) { v += 1; });
                client->modifyStatusInterval([](double& v) { v -= 1; });
                client->modifyStatus([](std::string& s) { s.push_back('x'); });
                (void)client->status();
                (void)client->timeInterval();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(client->timeInterval(), 4000);
    EXPECT_EQ(client->statusInterval(), 3.0 - 4000);
    EXPECT_EQ(client->status().size(), 4000u);
}

struct OriginCase {
    const char* origin;
    bool valid;
};

TEST(Client, OriginsThatAreNotOriginsFailEveryCallWithoutSending) {
    const OriginCase cases[] = {
        {"https://example.test", true},  {"http://127.0.0.1:8080", true}, {"https://h:1/prefix/", true},
        {"", false},                     {"example.test", false},         {"ftp://example.test", false},
        {"https://", false},             {"https:///x", false},           {"http://:80", false},
        {"https://a b", false},          {"https://h?q=1", false},        {"https://u@h", false},
        {"HTTPS//h", false},             {"https://h:99999", false},      {"https://h\n", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(!detail::normaliseOrigin(c.origin).empty(), c.valid) << c.origin;
    }

    // An invalid origin: each operation reports failure at once and its completion never runs.
    auto client = Velmora::create(ServiceConfig{"not an origin", "", 1.0});
    testing::Counter completions;
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    EXPECT_FALSE(client->sendMessageAsync("a", "b", "m", [&](bool) { completions.add(); }));
    EXPECT_TRUE(client->receiveMessageSync("a").empty());
    EXPECT_FALSE(client->receiveMessageAsync("a", [&](const JsonValue&) { completions.add(); }));
    EXPECT_FALSE(client->writeSync("t", "g", "k", 1));
    EXPECT_FALSE(client->writeAsync("t", "g", "k", 1, [&](bool) { completions.add(); }));
    EXPECT_TRUE(client->readSync("t", "g", "k").empty());
    EXPECT_FALSE(client->readAsync("t", "g", "k", [&](const JsonValue&) { completions.add(); }));
    EXPECT_FALSE(completions.waitFor(1, std::chrono::milliseconds(200)));
}

TEST(Client, BuiltInOriginIsUsedByCreate) {
    EXPECT_FALSE(detail::normaliseOrigin(detail::builtInOrigin()).empty());
}

}  // namespace
}  // namespace velmora
