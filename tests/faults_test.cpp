// Hostile replies and network faults through the whole call: whatever the service or the
// network does, a call ends (blocking forms fail, completions do not run unless a readable
// reply arrived), memory stays bounded, and nothing is sent where it should not be.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "transport/runtime.hpp"
#include "wire/reply.hpp"
#include "client/service_call.hpp"
#include "support/targets.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMORA_SANITIZED 1
#else
#define VELMORA_SANITIZED 0
#endif

namespace velmora {
namespace {

using namespace std::chrono_literals;
using detail::Endpoint;
using testing::Reply;
using testing::TestServer;
using testing::targetOf;

// What each of the four forms made of one reply.
struct FormResults {
    bool blockingBool = false;
    StringMap blockingMap;
    std::optional<bool> asyncBool;
    std::optional<JsonValue> asyncMap;
};

// Runs the four forms against `server`, whose default reply is the one under test. The
// `completions` the reply should give are waited for; for any others a sentinel call made
// after them, and a grace period, stand for "not merely late".
FormResults callEveryForm(TestServer& server, const Reply& reply, int completions = 0) {
    server.scriptDefault(reply);
    const auto target = targetOf(server.origin(), server.caFile());
    const std::size_t before = server.requestCount();
    FormResults out;
    std::mutex mutex;
    testing::Counter done;
    out.blockingBool = detail::callBool(target, Endpoint::write, std::string("{}"));
    out.blockingMap = detail::callMap(target, Endpoint::read, std::string("{}"), "k");
    EXPECT_TRUE(detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool b) {
        std::lock_guard lock(mutex);
        out.asyncBool = b;
        done.add();
    }));
    EXPECT_TRUE(detail::callMapAsync(target, Endpoint::read, std::string("{}"), "k", [&](const JsonValue& j) {
        std::lock_guard lock(mutex);
        out.asyncMap = j;
        done.add();
    }));
    EXPECT_TRUE(server.waitForRequests(before + 4, 30s));
    EXPECT_TRUE(done.waitFor(completions, 30s));
    server.scriptDefault({200, R"({"d":true})"});
    testing::Counter sentinel;
    detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) { sentinel.add(); });
    EXPECT_TRUE(sentinel.waitFor(1, 30s));
    EXPECT_FALSE(done.waitFor(completions + 1, 300ms));
    std::lock_guard lock(mutex);
    return out;
}

void expectNoResult(const FormResults& o) {
    EXPECT_FALSE(o.blockingBool);
    EXPECT_TRUE(o.blockingMap.empty());
    EXPECT_FALSE(o.asyncBool.has_value());
    EXPECT_FALSE(o.asyncMap.has_value());
}

std::string nested(std::size_t depth, const std::string& inner = "") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

// A hostile reply through the whole call, in every form: it gives no result and builds no
// deep tree. Every other hostile body is a case of the readers' own table (reply_test).
TEST(HostileReplies, GiveNoResultInAnyForm_d_nested_a_million_deep) {
    TestServer server;
    expectNoResult(callEveryForm(server, {200, R"({"d":)" + nested(1'000'000) + "}"}));
}

// ---------------------------------------------------------------------------------------
// A reply larger than the library buffers: it ends without data, and the memory it held
// stays near the cap however much the service sends.

long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

// Resets the peak-RSS mark; false where the kernel does not allow it.
bool resetPeakRss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

void sendAll(int fd, const char* data, std::size_t size, bool* ok) {
    while (*ok && size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            *ok = false;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

constexpr std::size_t kHugeReply = std::size_t{512} << 20;

// Serves each request a 512 MiB reply, with its length announced or chunked (the length
// then only shows as the bytes arrive), until the client hangs up.
testing::RawServer hugeReplyServer(bool chunked, std::atomic<std::size_t>* sentTotal) {
    return testing::RawServer([chunked, sentTotal](int fd) {
        if (!testing::readHttpRequest(fd)) return;
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
        head += chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                        : "Content-Length: " + std::to_string(kHugeReply) + "\r\n\r\n";
        bool ok = true;
        sendAll(fd, head.data(), head.size(), &ok);
        const std::size_t piece = 1u << 20;
        std::string block = R"({"d":true,"x":")" + std::string(piece - 15, 'x');
        std::string chunk;
        std::size_t sent = 0;
        for (std::size_t i = 0; ok && i < kHugeReply / piece; ++i) {
            if (chunked) {
                char size[32];
                std::snprintf(size, sizeof size, "%zx\r\n", block.size());
                chunk = size + block + "\r\n";
            } else {
                chunk = block;
            }
            sendAll(fd, chunk.data(), chunk.size(), &ok);
            if (ok) sent += block.size();
            block.assign(piece, 'x');
        }
        sentTotal->fetch_add(sent);
        ::shutdown(fd, SHUT_RDWR);
    });
}

TEST(HugeReply, EndsWithoutDataAndMemoryStaysNearTheCap) {
    for (const bool chunked : {true, false}) {
        SCOPED_TRACE(chunked ? "chunked" : "content_length");
        std::atomic<std::size_t> sent{0};
        auto server = hugeReplyServer(chunked, &sent);
        const auto target = targetOf(server.origin(), "");
        {
            // The session's threads and TLS set-up are part of the baseline, not of the reply.
            TestServer warm(TestServer::Scheme::http);
            detail::callBool(targetOf(warm.origin(), ""), Endpoint::write, std::string("{}"));
        }
        const long rssBefore = statusKiB("VmRSS");
        const bool peakReset = resetPeakRss();

        EXPECT_FALSE(detail::callBool(target, Endpoint::write, std::string("{}")));
        EXPECT_TRUE(detail::callMap(target, Endpoint::read, std::string("{}"), "").empty());
        testing::Counter completions;
        detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) { completions.add(); });
        detail::callMapAsync(target, Endpoint::read, std::string("{}"), "", [&](const JsonValue&) { completions.add(); });
        EXPECT_FALSE(completions.waitFor(1, 3s));

        const long peak = statusKiB("VmHWM");
        const long grewMiB = (peak - rssBefore) / 1024;
        std::printf("[ measured ] %s: peak RSS grew by %ld MiB over a %zu MiB reply (%s)\n",
                    chunked ? "chunked" : "content-length", grewMiB, kHugeReply >> 20,
                    peakReset ? "peak reset" : "peak not resettable");
        // Each reply is dropped at the cap: the service never gets to send it all.
        EXPECT_LT(sent.load(), kHugeReply);
        if (peakReset && !VELMORA_SANITIZED) {
            // Each reply buffer is at most the cap, plus the copy while it grows; the two
            // non-blocking calls may run at once.
            EXPECT_LT(grewMiB, 4 * static_cast<long>(detail::kMaxReplyBytes >> 20));
        }
    }
}

// A reply exactly at the cap is still read.
TEST(HugeReply, ReplyJustUnderTheCapIsRead) {
    TestServer server(TestServer::Scheme::http);
    const std::string padding(detail::kMaxReplyBytes - 64, ' ');
    server.scriptDefault({200, R"({"d":true})" + padding});
    EXPECT_TRUE(detail::callBool(targetOf(server.origin(), server.caFile()), Endpoint::write, std::string("{}")));
}

// ---------------------------------------------------------------------------------------
// Network faults.

// Replies to one request per connection, then closes: with "Connection: close" announced,
// or silently right after the reply, as a server dropping idle kept-alive connections does.
// The close leaves with the reply (corked together), so the client knows of it before its
// next request: a request sent on a connection whose close was still on its way may have
// reached the service, and the library does not send it twice (ReusedConnection tests).
testing::RawServer oneRequestPerConnection(bool announce, std::atomic<int>* served) {
    return testing::RawServer([announce, served](int fd) {
        std::string head, body;
        if (!testing::readHttpRequest(fd, &head, &body)) return;
        const int cork = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
        const std::string reply = R"({"d":"echo|)" + body + R"("})";
        std::string out = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(reply.size()) + "\r\n";
        if (announce) out += "Connection: close\r\n";
        out += "\r\n" + reply;
        bool ok = true;
        sendAll(fd, out.data(), out.size(), &ok);
        served->fetch_add(1);
        ::shutdown(fd, SHUT_RDWR);
    });
}

TEST(NetworkFaults, EveryCallGetsItsReplyWhenEachConnectionIsClosedAfterOne) {
    for (const bool announce : {true, false}) {
        SCOPED_TRACE(announce ? "connection_close_announced" : "closed_silently");
        std::atomic<int> served{0};
        auto server = oneRequestPerConnection(announce, &served);
        const auto target = targetOf(server.origin(), "");
        for (int i = 0; i < 20; ++i) {
            const std::string body = "b" + std::to_string(i);
            EXPECT_EQ(detail::callMap(target, Endpoint::read, body, ""), (StringMap{{"echo", body}}));
        }
        testing::Counter done;
        std::atomic<int> wrong{0};
        constexpr int kAsync = 50;
        for (int i = 0; i < kAsync; ++i) {
            const std::string body = "a" + std::to_string(i);
            detail::callMapAsync(target, Endpoint::read, body, "", [&, body](const JsonValue& j) {
                if (j != JsonValue{{"echo", body}}) wrong.fetch_add(1);
                done.add();
            });
        }
        EXPECT_TRUE(done.waitFor(kAsync, 60s)) << done.value();
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_GE(served.load(), 20 + kAsync);
    }
}

// A redirect is a reply like any other: its target is never asked.
TEST(NetworkFaults, RedirectsAreNotFollowed) {
    TestServer elsewhere(TestServer::Scheme::http);
    elsewhere.scriptDefault({200, R"({"d":true})"});
    for (const int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        testing::RawServer redirecting([&, status](int fd) {
            while (testing::readHttpRequest(fd)) {
                const std::string out = "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " +
                                        elsewhere.origin() + "/corvane.asmx/write\r\nContent-Length: 0\r\n\r\n";
                bool ok = true;
                sendAll(fd, out.data(), out.size(), &ok);
            }
        });
        const auto target = targetOf(redirecting.origin(), "");
        EXPECT_FALSE(detail::callBool(target, Endpoint::write, std::string("{}")));
        EXPECT_TRUE(detail::callMap(target, Endpoint::read, std::string("{}"), "").empty());
    }
    EXPECT_EQ(elsewhere.requestCount(), 0u);
}

// Sends part of the reply, then resets the connection.
TEST(NetworkFaults, ResetInTheMiddleOfAReplyEndsTheCallWithoutData) {
    testing::RawServer resetting([](int fd) {
        if (!testing::readHttpRequest(fd)) return;
        testing::sendThenReset(
            fd, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n{\"d\":true,\"x\":\"xxxx");
    });
    const auto target = targetOf(resetting.origin(), "");
    testing::Counter completions;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(detail::callBool(target, Endpoint::write, std::string("{}")));
        EXPECT_TRUE(detail::callMap(target, Endpoint::read, std::string("{}"), "").empty());
        detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) { completions.add(); });
    }
    EXPECT_FALSE(completions.waitFor(1, 2s));
}

// ---------------------------------------------------------------------------------------
// TLS: a certificate that does not name the host, or has expired, fails the call before
// anything of the request is sent; so does a peer that does not speak TLS at all.

TEST(TlsFaults, WrongHostNameAndExpiredCertificatesFailAndSendNoBody) {
    struct Case {
        const char* name;
        testing::Certificates::Options options;
    };
    testing::Certificates::Options wrongHost;
    wrongHost.hostName = "service.elsewhere.test";
    wrongHost.ip = "192.0.2.1";
    testing::Certificates::Options expired;
    expired.validFromSeconds = -3 * 24 * 3600;
    expired.validForSeconds = 24 * 3600;
    testing::Certificates::Options notYetValid;
    notYetValid.validFromSeconds = 24 * 3600;
    for (const Case& c : {Case{"wrong_host_name", wrongHost}, Case{"expired", expired}, Case{"not_yet_valid", notYetValid}}) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        const auto certs = testing::Certificates::make(dir.path(), c.options);
        TestServer server(TestServer::Scheme::https, certs);
        const auto target = targetOf(server.origin(), certs.caFile);  // the CA itself is trusted
        testing::Counter completions;
        EXPECT_FALSE(detail::callBool(target, Endpoint::write, std::string(R"({"secret":1})")));
        EXPECT_TRUE(detail::callMap(target, Endpoint::read, std::string(R"({"secret":2})"), "").empty());
        detail::callBoolAsync(target, Endpoint::write, std::string(R"({"secret":3})"), [&](bool) { completions.add(); });
        EXPECT_FALSE(completions.waitFor(1, 1500ms));
        EXPECT_EQ(server.requestCount(), 0u);
    }
    // The same CA and host with a valid certificate works: the failures above are the
    // certificates', not the setup's.
    testing::TempDir dir;
    const auto good = testing::Certificates::make(dir.path());
    TestServer server(TestServer::Scheme::https, good);
    EXPECT_TRUE(detail::callBool(targetOf(server.origin(), good.caFile), Endpoint::write, std::string("{}")));
}

TEST(TlsFaults, NoRequestBytesInClearToAPeerThatDoesNotSpeakTls) {
    std::mutex mutex;
    std::string received;
    testing::RawServer plain([&](int fd) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            std::lock_guard lock(mutex);
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    const std::string origin = "https://127.0.0.1:" + std::to_string(plain.port());
    const auto target = targetOf(origin, "", 2.0);
    EXPECT_FALSE(detail::callBool(target, Endpoint::write, std::string(R"({"m":"SECRET-MARKER"})")));
    std::lock_guard lock(mutex);
    EXPECT_EQ(received.find("SECRET-MARKER"), std::string::npos);
    EXPECT_EQ(received.find("POST"), std::string::npos);
}

}  // namespace
}  // namespace velmora
