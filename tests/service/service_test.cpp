// The service in-process over HTTPS (its own self-signed certificate as the client's
// caFile), exercised with the real client library.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <velmora/velmora.hpp>

#include "service_fixture.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora::testing {
namespace {

std::shared_ptr<Velmora> clientOf(const InProcessService& service) {
    return Velmora::create(ServiceConfig{service.origin(), service.caFile(), 20.0});
}

class ServiceTest : public ::testing::Test {
protected:
    TempDir dir;
    InProcessService service{dir.path(), ":memory:"};
    std::shared_ptr<Velmora> client = clientOf(service);
};

TEST_F(ServiceTest, MessagesTravelOnceThroughBothForms) {
    EXPECT_TRUE(client->sendMessageSync("anna", "bob", "ciao|bob"));
    // Shared with the callbacks: a completion may still be leaving add() when the wait
    // returns, so the counter must outlive it.
    auto sent = std::make_shared<Counter>();
    auto verdict = std::make_shared<std::atomic<bool>>(false);
    ASSERT_TRUE(client->sendMessageAsync("carl", "bob", "second", [sent, verdict](bool ok) {
        *verdict = ok;
        sent->add();
    }));
    ASSERT_TRUE(sent->waitFor(1));
    EXPECT_TRUE(*verdict);

    EXPECT_EQ(client->receiveMessageSync("bob"), (StringMap{{"anna#1", "ciao|bob"}, {"carl#2", "second"}}));
    auto received = std::make_shared<Counter>();
    auto second = std::make_shared<JsonValue>();
    ASSERT_TRUE(client->receiveMessageAsync("bob", [received, second](const JsonValue& v) {
        *second = v;
        received->add();
    }));
    ASSERT_TRUE(received->waitFor(1));
    EXPECT_EQ(*second, JsonValue::object());

    // Refused, and nothing queued.
    EXPECT_FALSE(client->sendMessageSync("anna", "bob", "x\xC2\xA7y"));
    EXPECT_TRUE(client->receiveMessageSync("bob").empty());
}

TEST_F(ServiceTest, StoreWritesAndReadsEveryKind) {
    const JsonValue object = {{"n", 1}, {"s", "p|q"}, {"list", {1, 2}}};
    EXPECT_TRUE(client->writeSync("team", "tag", "obj", object));
    EXPECT_TRUE(client->writeSync("team", "tag", "text", "hello"));
    EXPECT_TRUE(client->writeSync("team", "tag", "quoted", "\"hi\""));
    EXPECT_EQ(client->readSync("team", "tag", "obj"), (StringMap{{"obj", object.dump()}}));
    EXPECT_EQ(client->readSync("team", "tag", "text"), (StringMap{{"text", "hello"}}));
    EXPECT_EQ(client->readSync("team", "tag", "quoted"), (StringMap{{"quoted", "\"hi\""}}));
    EXPECT_TRUE(client->readSync("team", "tag", "missing").empty());

    auto done = std::make_shared<Counter>();  // outlives the callbacks (see above)
    auto written = std::make_shared<std::atomic<bool>>(false);
    auto read = std::make_shared<JsonValue>();
    ASSERT_TRUE(client->writeAsync("team", "tag", "n", 42, [done, written](bool ok) {
        *written = ok;
        done->add();
    }));
    ASSERT_TRUE(done->waitFor(1));
    EXPECT_TRUE(*written);
    ASSERT_TRUE(client->readAsync("team", "tag", "n", [done, read](const JsonValue& v) {
        *read = v;
        done->add();
    }));
    ASSERT_TRUE(done->waitFor(2));
    EXPECT_EQ(*read, (JsonValue{{"n", "42"}}));
}

TEST_F(ServiceTest, PresenceListsTheTeam) {
    EXPECT_TRUE(client->status("team", "app", 3, "anna", "AWAY", false, false).empty());
    client->setStatus("HERE");
    EXPECT_EQ(client->getUsers("team", "app", "bob", 3, true, true), (StringMap{{"anna", "AWAY"}, {"bob", "HERE"}}));
}

TEST_F(ServiceTest, RefusedRequestsAreJsonErrorsAndTheServiceGoesOn) {
    httplib::SSLClient raw("127.0.0.1", std::stoi(service.origin().substr(service.origin().rfind(':') + 1)));
    raw.set_ca_cert_path(service.caFile().c_str());
    raw.enable_server_certificate_verification(true);
    struct Case {
        std::string path, body, message;
    };
    for (const auto& c : std::vector<Case>{{"/corvane.asmx/read", "not json", "not JSON"},
                                           {"/corvane.asmx/nothing", "{}", "unknown operation"},
                                           {"/corvane.asmx/write", std::string(2 * 1024 * 1024, ' '), "larger than"}}) {
        auto res = raw.Post(c.path.c_str(), c.body, "application/json");
        ASSERT_TRUE(res) << c.path << " " << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 500) << c.path;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
        const auto reply = nlohmann::json::parse(res->body, nullptr, false);
        ASSERT_TRUE(reply.is_object() && reply.contains("Message") && !reply.contains("d")) << res->body;
        EXPECT_NE(reply["Message"].get<std::string>().find(c.message), std::string::npos) << res->body;
    }
    auto wrongPath = raw.Post("/elsewhere", "{}", "application/json");
    ASSERT_TRUE(wrongPath);
    EXPECT_EQ(wrongPath->status, 404);
    EXPECT_TRUE(client->sendMessageSync("a", "b", "still serving"));
}

// Connections that never finish their TLS handshake hold workers; the others are served.
TEST_F(ServiceTest, StalledConnectionsDoNotHoldUpOtherClients) {
    const int port = std::stoi(service.origin().substr(service.origin().rfind(':') + 1));
    std::vector<int> stalled;
    for (int i = 0; i < 48; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::write(fd, "\x16\x03\x01", 3), 3);  // the start of a handshake, and no more
        stalled.push_back(fd);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client->writeSync("t", "g", "k", 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    for (int fd : stalled) ::close(fd);
}

// The client keeps its connection alive after each exchange; stopping does not wait out
// the keep-alive timeout (5 s).
TEST_F(ServiceTest, StopIsPromptWithKeptAliveConnections) {
    ASSERT_TRUE(client->writeSync("t", "g", "k", 1));
    const auto start = std::chrono::steady_clock::now();
    service.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(client->readSync("t", "g", "k").empty());  // nobody listening any more
}

// Replies must not wait on the client's delayed acknowledgements (about 40 ms each when
// the server's writes are held back by Nagle's algorithm): 100 calls take well under 3 s.
TEST_F(ServiceTest, SequentialCallsAreNotDelayedPerReply) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(client->writeSync("t", "g", "k", i));
        ASSERT_EQ(client->readSync("t", "g", "k").size(), 1u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(ServiceTest, ManyClientsAtOnceLoseNothing) {
    constexpr int kClients = 24, kMessages = 10;
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            auto own = clientOf(service);
            for (int i = 0; i < kMessages; ++i) {
                if (!own->sendMessageSync("sender" + std::to_string(c), "inbox", std::to_string(c) + "/" + std::to_string(i))) ++refused;
                if (!own->writeSync("t", "g", "k" + std::to_string(c), i)) ++refused;
            }
            own->getUsers("t", "app", "user" + std::to_string(c), 3, false, false);
        });
    }
    // Fetch while they send: handover is atomic, so nothing is seen twice or missed.
    std::set<std::string> seen;
    std::size_t total = 0;
    auto fetcher = clientOf(service);
    auto drain = [&] {
        for (const auto& [key, text] : fetcher->receiveMessageSync("inbox")) {
            seen.insert(text);
            ++total;
        }
    };
    for (auto& t : threads) {
        drain();
        t.join();
    }
    drain();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(total, std::size_t{kClients * kMessages});
    EXPECT_EQ(seen.size(), total);
    EXPECT_EQ(fetcher->getUsers("t", "app", "me", 3, true, true).size(), std::size_t{kClients + 1});
    for (int c = 0; c < kClients; ++c) {
        const std::string key = "k" + std::to_string(c);
        EXPECT_EQ(fetcher->readSync("t", "g", key), (StringMap{{key, std::to_string(kMessages - 1)}}));
    }
}

TEST(ServiceRestart, StateSurvivesInProcess) {
    TempDir dir;
    {
        InProcessService service{dir.path()};
        auto client = clientOf(service);
        ASSERT_TRUE(client->sendMessageSync("anna", "bob", "across the restart"));
        ASSERT_TRUE(client->writeSync("team", "tag", "key", JsonValue{{"kept", true}}));
        client->status("team", "app", 3600, "anna", "AWAY", false, false);
    }
    InProcessService service{dir.path()};
    auto client = clientOf(service);
    EXPECT_EQ(client->receiveMessageSync("bob"), (StringMap{{"anna#1", "across the restart"}}));
    EXPECT_EQ(client->readSync("team", "tag", "key"), (StringMap{{"key", R"({"kept":true})"}}));
    EXPECT_EQ(client->getUsers("team", "app", "bob", 3, true, true), (StringMap{{"anna", "AWAY"}, {"bob", "ON"}}));
}

TEST(ServicePlainHttp, ServesWithoutTls) {
    TempDir dir;
    InProcessService service{dir.path(), ":memory:", false};
    EXPECT_EQ(service.origin().rfind("http://127.0.0.1:", 0), 0u);
    auto client = Velmora::create(ServiceConfig{service.origin(), "", 20.0});
    EXPECT_TRUE(client->writeSync("t", "g", "k", "v"));
    EXPECT_EQ(client->readSync("t", "g", "k"), (StringMap{{"k", "v"}}));
}

}  // namespace
}  // namespace velmora::testing
