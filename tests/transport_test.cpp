// The transport's own rules: calls beyond what a server's connections carry wait their turn,
// the silence timeout counts bytes, a request goes out a second time only where the service
// cannot have read it, and the spare pools follow the load.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/service_call.hpp"
#include "transport/host_admission.hpp"
#include "transport/runtime.hpp"
#include "transport/silence_clock.hpp"
#include "support/targets.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using detail::Endpoint;
using testing::Reply;
using testing::TestServer;
using testing::targetOf;

// Records how its exchange ended, for checks that must see the ones that end without data.
class Probe final : public detail::Exchange {
public:
    Probe(std::shared_ptr<const detail::Target> target, std::string body, testing::Counter& ended)
        : Exchange(std::move(target), Endpoint::read, body), sent_(std::move(body)), ended_(ended) {}

    int endings() const { return endings_.load(); }
    bool ok() const { return endings_.load() == 1 && gotReply() && replyCopy_ == sent_; }

private:
    void finished() override {
        if (gotReply()) replyCopy_ = reply();
        endings_.fetch_add(1);
        ended_.add();
    }
    std::string sent_;
    std::string replyCopy_;
    std::atomic<int> endings_{0};
    testing::Counter& ended_;
};

// Many more calls than an HTTP/1.1 server has connections for: each ends once, with the
// reply to its own request, whether it went out at once or waited for a turn.
TEST(Session, CallsBeyondTheConnectionsOfAServerWaitTheirTurn) {
    for (const auto scheme : {TestServer::Scheme::http, TestServer::Scheme::https}) {
        TestServer server(scheme);
        server.handle("/corvane.asmx/read", [](const testing::Request& r) {
            return Reply{200, r.body, 2ms};  // the reply is the request: each call can check its own
        });
        const auto target = targetOf(server, 30.0);
        testing::Counter ended;
        std::vector<std::shared_ptr<Probe>> probes;
        for (int i = 0; i < 600; ++i) {
            probes.push_back(std::make_shared<Probe>(target, "{\"n\":" + std::to_string(i) + "}", ended));
            detail::startExchange(probes.back());
        }
        ASSERT_TRUE(ended.waitFor(600, 120s)) << ended.value();
        int bad = 0;
        for (const auto& p : probes) bad += !p->ok();
        EXPECT_EQ(bad, 0);
        EXPECT_EQ(server.requestCount(), 600u);
        EXPECT_LE(server.connections(), 64u);
    }
}

// Every connection is taken by a request that never gets a reply: the calls waiting behind
// them end too, once silent for their timeout, and the server's turns are free again after.
TEST(Session, WaitingCallsEndAfterTheirTimeoutAndFreeTheirTurns) {
    for (const auto scheme : {TestServer::Scheme::http, TestServer::Scheme::https}) {
        SCOPED_TRACE(scheme == TestServer::Scheme::http ? "http" : "https");
        // Workers enough for the stalled requests, which hold theirs until the server stops.
        TestServer server(scheme, 200);
        server.scriptDefault({200, "{}", 0ms, Reply::Action::stall});
        const auto target = targetOf(server, 0.4);
        testing::Counter ended;
        std::vector<std::shared_ptr<Probe>> probes;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 100; ++i) {
            probes.push_back(std::make_shared<Probe>(target, "{}", ended));
            detail::startExchange(probes.back());
        }
        ASSERT_TRUE(ended.waitFor(100, 30s)) << ended.value();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        for (const auto& p : probes) {
            EXPECT_EQ(p->endings(), 1);
            EXPECT_FALSE(p->gotReply());
        }

        server.scriptDefault({200, "{\"d\":true}"});
        // Another client of the same server, with time for its new connections' handshakes.
        const auto patient = targetOf(server, 30.0);
        testing::Counter later;
        std::vector<std::shared_ptr<Probe>> next;
        for (int i = 0; i < 100; ++i) {
            next.push_back(std::make_shared<Probe>(patient, "{}", later));
            detail::startExchange(next.back());
        }
        ASSERT_TRUE(later.waitFor(100, 30s)) << later.value();
        int replied = 0;
        for (const auto& p : next) replied += p->gotReply();
        EXPECT_EQ(replied, 100) << server.requestCount() << " requests on " << server.connections()
                                << " connections";
    }
}

// A burst larger than the usual pool of spare transfer handles leaves a spare for each of its
// transfers, so that the next burst makes none; once the load is gone the pool shrinks back.
TEST(Session, SpareTransferHandlesFollowTheLoad) {
    // Two servers: each takes 64 connections at once, so 128 transfers run together.
    TestServer first(TestServer::Scheme::http, 80), second(TestServer::Scheme::http, 80);
    for (TestServer* server : {&first, &second}) server->scriptDefault({200, R"({"d":true})", 300ms});
    testing::Counter ended;
    std::vector<std::shared_ptr<Probe>> probes;
    for (const auto& target : {targetOf(first), targetOf(second)}) {
        for (int i = 0; i < 64; ++i) {
            probes.push_back(std::make_shared<Probe>(target, "{}", ended));
            detail::startExchange(probes.back());
        }
    }
    ASSERT_TRUE(ended.waitFor(128, 30s)) << ended.value();
    for (const auto& p : probes) ASSERT_TRUE(p->endings() == 1 && p->gotReply());
    EXPECT_GT(detail::Runtime::get().io().spareHandles(), 64);

    // No more calls: within a few seconds the pool is back to its usual size.
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (detail::Runtime::get().io().spareHandles() > 64 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LE(detail::Runtime::get().io().spareHandles(), 64);
}

// Transfer handles are recycled between exchanges with their options kept: a handle that
// trusted one target's CA must not carry that trust to a target that did not ask for it,
// whichever order they come in.
TEST(Session, ARecycledTransferHandleKeepsNoTrustFromItsLastTarget) {
    TestServer server(TestServer::Scheme::https);
    server.handle("/corvane.asmx/read", [](const testing::Request& r) { return Reply{200, r.body}; });
    const auto trusting = targetOf(server, 10.0);
    const auto plain = detail::Target::make(ServiceConfig{server.origin(), "", 10.0});
    const struct {
        const char* name;
        std::shared_ptr<const detail::Target> target;
        bool trusted;
    } steps[] = {{"with the CA", trusting, true}, {"without", plain, false},
                 {"with the CA again", trusting, true}, {"without again", plain, false}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const auto before = server.requestCount();
        testing::Counter ended;
        auto probe = std::make_shared<Probe>(step.target, R"({"n":1})", ended);
        detail::startExchange(probe);
        ASSERT_TRUE(ended.waitFor(1, 20s));
        EXPECT_EQ(probe->ok(), step.trusted);
        EXPECT_EQ(server.requestCount() - before, step.trusted ? 1u : 0u);
    }
}

// A client certificate or key that cannot be read is found when the target is made, so
// calls fail before anything is sent, and the reason names the file.
TEST(Target, AClientCertificateOrKeyThatCannotBeReadMakesItInvalidWithTheReason) {
    testing::TempDir dir;
    const auto certs = testing::Certificates::make(dir.path());
    const std::string empty = dir.path() + "/empty.pem";
    { std::ofstream touch(empty); }
    const std::string missing = dir.path() + "/missing.pem";
    const struct {
        const char* name;
        std::string cert, key;
        const char* reason;  // nullptr: valid
    } cases[] = {
        {"both readable", certs.certFile, certs.keyFile, nullptr},
        {"key inside the certificate's file", certs.certFile, "", nullptr},
        {"certificate missing", missing, certs.keyFile, "cannot read the client certificate"},
        {"key missing", certs.certFile, missing, "cannot read the client key"},
        {"certificate empty", empty, certs.keyFile, "is empty"},
        {"key a folder", certs.certFile, dir.path(), "cannot read the client key"},
        {"key without certificate", "", certs.keyFile, "without its certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceConfig config{"https://127.0.0.1:1", "", 10.0};
        config.clientCertificate = c.cert;
        config.clientKey = c.key;
        const auto target = detail::Target::make(config);
        EXPECT_EQ(target->valid, c.reason == nullptr);
        if (c.reason == nullptr) continue;
        EXPECT_NE(target->problem.find(c.reason), std::string::npos) << target->problem;
        // An outcome call tells it as a TLS failure with the same reason.
        const auto outcome = Velmora::create(config)->write("t", "g", "k", 1);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().code, Errc::tls);
        EXPECT_NE(outcome.error().message.find(c.reason), std::string::npos) << outcome.error().message;
    }
}

// Admission without a network: what a server takes at once, by what is known of it.
TEST(HostAdmission, TurnsFollowWhatIsKnownOfTheServer) {
    using Admission = detail::HostAdmission<int>;
    Admission admission;
    auto& tls = admission.host("https://a:443", true);
    auto& plain = admission.host("http://b:80", false);
    EXPECT_EQ(&admission.host("https://a:443", true), &tls);
    const struct {
        const char* name;
        Admission::Host& host;
        int before;  // calls it takes before its protocol is known
    } cases[] = {{"tls, protocol unknown", tls, 1}, {"plain http", plain, detail::kConnectionsPerHost}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < c.before; ++i) {
            ASSERT_TRUE(Admission::admits(c.host));
            Admission::started(c.host);
        }
        EXPECT_FALSE(Admission::admits(c.host));
    }

    // Calls wait in order; a connection to the TLS server lets the waiting follow at once.
    for (int i = 0; i < 100; ++i) Admission::wait(tls, i);
    std::vector<int> released;
    const auto start = [&](int call) {
        released.push_back(call);
        Admission::started(tls);
    };
    admission.releaseConnected(start);
    EXPECT_TRUE(released.empty());
    Admission::connected(tls);
    admission.releaseConnected(start);
    ASSERT_EQ(released.size(), std::size_t(detail::kConnectionsPerHost - 1));
    for (std::size_t i = 0; i < released.size(); ++i) EXPECT_EQ(released[i], int(i));

    // An HTTP/2 reply lets a connection's streams take the rest.
    Admission::learned(tls, Admission::Protocol::multiplexed);
    Admission::finished(tls);
    Admission::releaseWaiting(tls, start);
    EXPECT_EQ(released.size(), 100u);
    EXPECT_TRUE(Admission::admits(tls));
}

// Over HTTP/2, against a server that takes fewer streams on a connection than the calls:
// connections are opened only as the calls need them, from the limit seen when libcurl
// wanted another; a call that would open one more waits again.
TEST(HostAdmission, OpensOnlyTheConnectionsTheCallsNeed) {
    using Admission = detail::HostAdmission<int>;
    Admission admission;
    auto& host = admission.host("https://a:443", true);
    Admission::learned(host, Admission::Protocol::multiplexed);
    for (int i = 0; i < 30; ++i) Admission::started(host);
    bool opener[30] = {};
    long port[30];
    std::fill(std::begin(port), std::end(port), -1L);
    const auto place = [&](int call, long on) { port[call] = Admission::placed(host, port[call], on, opener[call]); };
    for (int i = 0; i < 10; ++i) place(i, 1000);
    EXPECT_EQ(host.perConnection, 0) << "nothing is known before libcurl wants a second connection";

    // Call 10 finds the connection full: the limit is 10, and 30 calls need three
    // connections, so two open at once and a third call waits.
    EXPECT_TRUE(Admission::mayOpen(host, opener[10]));
    EXPECT_EQ(host.perConnection, 10);
    EXPECT_TRUE(Admission::mayOpen(host, opener[11]));
    EXPECT_FALSE(Admission::mayOpen(host, opener[12]));
    EXPECT_FALSE(opener[12]);
    EXPECT_TRUE(Admission::mayOpen(host, opener[10])) << "its own second address";
    Admission::finished(host);  // call 12 gives up its turn
    Admission::waitFirst(host, 12);
    EXPECT_EQ(Admission::limitOf(host), 10 + 2) << "the full connection, and the two opening";

    // One comes up: its calls follow; the other fails, and its place goes to the next.
    place(10, 2000);
    EXPECT_EQ(Admission::limitOf(host), 20 + 1);
    Admission::finished(host);
    Admission::left(host, port[11], opener[11]);
    EXPECT_EQ(host.opening, 0);
    EXPECT_TRUE(Admission::mayOpen(host, opener[12]));

    // A connection that takes more than was seen: the limit was too low, and is forgotten.
    for (int i = 13; i < 23; ++i) place(i, 2000);
    EXPECT_EQ(host.perConnection, 0);
    EXPECT_EQ(Admission::limitOf(host), detail::kStreamsPerConnection);

    // Calls that end leave their connection's count; an empty connection is no longer in use.
    for (int i = 0; i < 10; ++i) {
        Admission::finished(host);
        Admission::left(host, port[i], opener[i]);
    }
    ASSERT_EQ(host.streams.size(), 1u);
    EXPECT_EQ(host.streams[0], std::make_pair(2000L, 11));
}

// The silence clock on made-up times: only silence counts, the pass's end stamps activity,
// and a renewal times a transfer from the moment given.
TEST(SilenceClock, CountsOnlySilence) {
    using Clock = detail::SilenceClock::Clock;
    detail::SilenceClock clock;
    detail::SilenceClock::Entry a, b, other;
    const Clock::time_point t0{std::chrono::hours(1)};
    clock.start(a, 1s);
    clock.start(b, 1s);
    clock.start(other, 5s);
    EXPECT_EQ(clock.due(t0 + 100s), nullptr) << "not stamped before the pass ends";
    clock.stampPass(t0);
    EXPECT_EQ(clock.due(t0 + 999ms), nullptr);
    EXPECT_EQ(clock.untilNextDue(t0 + 400ms, 1h), 600ms);

    detail::SilenceClock::touch(a);  // data for `a` in the pass that ends at t0 + 800ms
    clock.stampPass(t0 + 800ms);
    EXPECT_EQ(clock.due(t0 + 1s), &b);
    detail::SilenceClock::stop(b);
    EXPECT_EQ(clock.due(t0 + 1s), nullptr);
    EXPECT_EQ(clock.due(t0 + 1800ms), &a);
    clock.renew(a, t0 + 1500ms);
    EXPECT_EQ(clock.due(t0 + 2400ms), nullptr);
    EXPECT_EQ(clock.due(t0 + 2500ms), &a);
    detail::SilenceClock::stop(a);
    EXPECT_EQ(clock.due(t0 + 4999ms), nullptr);
    EXPECT_EQ(clock.due(t0 + 5s), &other);
    detail::SilenceClock::stop(other);
    EXPECT_EQ(clock.any(), nullptr);
}

// One call in the blocking or the non-blocking form; whether its reply came.
bool replied(bool blocking, const std::shared_ptr<const detail::Target>& target) {
    if (blocking) return detail::callBool(target, Endpoint::sendMessage, std::string("{}"));
    testing::Counter ended;
    auto probe = std::make_shared<Probe>(target, "{}", ended);
    detail::startExchange(probe);
    return ended.waitFor(1, 30s) && probe->gotReply();
}

const char* formName(bool blocking) { return blocking ? "blocking" : "non-blocking"; }

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10\r\n\r\n{\"d\":true}";

// A reply whose head trickles in a few bytes at a time, each gap well within the timeout and
// the whole far beyond it: the bytes count, not the complete header lines.
TEST(SilenceTimeout, CountsBytesOfAHeadThatTrickles) {
    for (const bool blocking : {true, false}) {
        SCOPED_TRACE(formName(blocking));
        testing::RawServer trickling([](int fd) {
            if (!testing::readHttpRequest(fd)) return;
            for (std::size_t i = 0; i < kReply.size(); i += 3) {
                if (::send(fd, kReply.data() + i, std::min<std::size_t>(3, kReply.size() - i), MSG_NOSIGNAL) <= 0) return;
                std::this_thread::sleep_for(100ms);
            }
        });
        EXPECT_TRUE(replied(blocking, targetOf(trickling.origin(), "", 0.6)));
    }
}

// A server that serves the first request of each connection and meets the second one, sent
// on the kept-alive connection, by closing: with that request unread (a reset), or after
// reading it (it may have acted on it). `processed` counts the requests it read. One
// connection at a time, so one form of call at a time.
testing::RawServer closingAtReuse(bool readFirst, std::atomic<int>& processed) {
    return testing::RawServer([readFirst, &processed](int fd) {
        if (!testing::readHttpRequest(fd)) return;
        processed.fetch_add(1);
        if (::send(fd, kReply.data(), kReply.size(), MSG_NOSIGNAL) <= 0) return;
        pollfd next{fd, POLLIN, 0};
        if (::poll(&next, 1, 30000) <= 0) return;
        if (readFirst) {
            if (testing::readHttpRequest(fd)) processed.fetch_add(1);
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
        // Closing with the request unread resets the connection; the descriptor stays valid
        // (now /dev/null) for the server, which closes it at its end.
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup2(null, fd);
        ::close(null);
    });
}

TEST(ReusedConnection, ARequestTheServiceDidNotReadGoesOutOnceMoreOnAFreshConnection) {
    for (const bool blocking : {true, false}) {
        SCOPED_TRACE(formName(blocking));
        std::atomic<int> processed{0};
        auto server = closingAtReuse(false, processed);
        const auto target = targetOf(server.origin(), "");
        for (int i = 1; i <= 3; ++i) EXPECT_TRUE(replied(blocking, target)) << "call " << i;
        EXPECT_EQ(processed.load(), 3);
    }
}

TEST(ReusedConnection, ARequestTheServiceMayHaveReadIsNeverSentTwice) {
    for (const bool blocking : {true, false}) {
        SCOPED_TRACE(formName(blocking));
        std::atomic<int> processed{0};
        auto server = closingAtReuse(true, processed);
        const auto target = targetOf(server.origin(), "");
        EXPECT_TRUE(replied(blocking, target));
        EXPECT_FALSE(replied(blocking, target));
        EXPECT_EQ(processed.load(), 2);
    }
}

// A connection the server closed while idle is replaced by one that resumes its TLS
// session, in both forms. Each form keeps sessions of its own and the server is new, so its
// first connection makes a full handshake.
TEST(ReusedConnection, OneTheServerClosedIsReplacedByOneThatResumesTheTlsSession) {
    for (const bool blocking : {true, false}) {
        SCOPED_TRACE(formName(blocking));
        TestServer server(TestServer::Scheme::https, 8, 1);
        const auto target = targetOf(server);
        for (int i = 1; i <= 3; ++i) {
            if (i > 1) std::this_thread::sleep_for(2500ms);  // past the server's keep-alive
            EXPECT_TRUE(replied(blocking, target)) << "call " << i;
        }
        EXPECT_EQ(server.connections(), 3u);
        EXPECT_EQ(server.resumedHandshakes(), 2u);
    }
}

// Blocking calls from many threads at once open a lane each. The same threads calling
// together again a few seconds later, as timers started together do, find those lanes and
// their connections; once the calls stop, all but a few are closed, though no further call
// comes.
TEST(BlockingLanes, ARepeatedBurstReusesItsLanesWhichCloseOnceItStops) {
    TestServer server(TestServer::Scheme::http, 80);
    server.scriptDefault({200, R"({"d":true})", 200ms});
    const auto target = targetOf(server);
    auto& blocking = detail::Runtime::get().blocking();
    const auto burst = [&] {
        std::vector<std::thread> callers;
        std::atomic<int> ok{0};
        for (int i = 0; i < 32; ++i) {
            callers.emplace_back([&] { ok += detail::callBool(target, Endpoint::write, std::string("{}")); });
        }
        for (auto& t : callers) t.join();
        return ok.load();
    };
    EXPECT_EQ(burst(), 32);
    EXPECT_GE(blocking.spareLanes(), 32u);
    const long long opened = blocking.connectionsOpened();
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(burst(), 32);
    EXPECT_EQ(blocking.connectionsOpened(), opened) << "the second burst opened connections anew";
    EXPECT_TRUE(testing::waitUntil([&] { return blocking.spareLanes() <= 4; }, 60s)) << blocking.spareLanes();
}

}  // namespace
}  // namespace velmora
