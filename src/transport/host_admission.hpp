#pragma once
// How many calls go out at once to each server, and the order in which the rest wait: one
// request per HTTP/1.1 connection (up to kConnectionsPerHost), many streams on an HTTP/2
// one. Calls beyond that wait here, each without a transfer handle, rather than in
// libcurl's pending list, which costs a search of the connections at every step and a full
// handle per waiting call, and wakes one waiting transfer per finished one (so a transfer
// whose wake-up another took could wait there until its timeout). No clock and no libcurl:
// the driver reports what happens.
//
// An HTTP/2 server may take fewer streams on a connection than the calls in flight. Past
// that limit libcurl opens a connection for each further call until one of them is up, so
// a wave of calls would open hundreds. Instead a call that would open a connection beyond
// those the calls need goes back to wait. The limit is seen when libcurl first wants
// another connection (the streams on those in use then); until then one connection is set
// up at a time, and afterwards as many at once as the calls in flight and waiting fill.
// The server is then handed what its connections in use take, and one call for each
// connection it still needs, which opens it.

#include <algorithm>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmora::detail {

inline constexpr int kConnectionsPerHost = 64;
inline constexpr int kStreamsPerConnection = 1000;

template <class Call>
class HostAdmission {
public:
    // Over TLS a server may or may not offer HTTP/2, which is known once the first
    // connection's handshake ends: until then one call goes out, and the rest follow once
    // it has connected, multiplexed onto that connection or each on its own.
    enum class Protocol { unknown, http1, multiplexed };

    struct Host {
        HostAdmission* admission = nullptr;
        int running = 0;
        Protocol protocol = Protocol::unknown;
        bool connected = false;  // a connection to it has been set up
        bool release = false;    // connected since the driver last released waiting calls
        std::deque<Call> waiting;
        // Over HTTP/2: the calls on each connection in use, by its local port; the streams
        // the server was seen to take on one connection (0: not known); and the connections
        // to it being set up.
        std::vector<std::pair<long, int>> streams;
        int perConnection = 0;
        int opening = 0;
    };

    // The host of `key`; plain HTTP is always HTTP/1.1 here (HTTP/2 is asked for over TLS
    // only). References stay valid.
    Host& host(const std::string& key, bool https) {
        auto [it, added] = hosts_.try_emplace(key);
        if (added) {
            it->second.admission = this;
            if (!https) it->second.protocol = Protocol::http1;
        }
        return it->second;
    }

    static int limitOf(const Host& host) noexcept {
        switch (host.protocol) {
            case Protocol::unknown: return host.connected ? kConnectionsPerHost : 1;
            case Protocol::http1: return kConnectionsPerHost;
            case Protocol::multiplexed:
                if (host.perConnection == 0) return kStreamsPerConnection;
                // The connections in use full, and a call to open each one still needed.
                return static_cast<int>(std::min<long long>(
                    kStreamsPerConnection, static_cast<long long>(host.perConnection) * inUse(host) + toOpen(host)));
        }
        return 1;
    }
    // Whether a new call may go out now rather than wait behind others.
    static bool admits(const Host& host) noexcept { return host.running < limitOf(host) && host.waiting.empty(); }
    static void started(Host& host) noexcept { ++host.running; }
    static void finished(Host& host) noexcept { --host.running; }
    static void wait(Host& host, Call call) { host.waiting.push_back(std::move(call)); }
    // A call that gave up its turn before it was sent waits again, ahead of the others.
    static void waitFirst(Host& host, Call call) { host.waiting.push_front(std::move(call)); }

    // A connection to `host` is ready (inside libcurl: the waiting calls go at the next release).
    static void connected(Host& host) noexcept {
        if (host.connected) return;
        host.connected = true;
        host.release = true;
        host.admission->releasePending_ = true;
    }
    // libcurl is about to open a connection to `host` for a call; false: the call is to wait
    // instead, because the connections being set up are all the calls need (or, while the
    // server's limit is not known, one is being set up). `opener` is the call's own mark:
    // set when it is the one setting up a connection.
    static bool mayOpen(Host& host, bool& opener) noexcept {
        if (host.protocol != Protocol::multiplexed || opener) return true;
        // libcurl opens a connection only when those in use are full.
        int most = 0;
        for (const auto& [port, calls] : host.streams) most = std::max(most, calls);
        if (most > 0) host.perConnection = most;
        if (host.opening > 0 && (host.perConnection == 0 || host.opening >= toOpen(host))) return false;
        ++host.opening;
        opener = true;
        return true;
    }
    // A call's request goes out on the connection at local port `port`; `from` is the port
    // it was counted on before (-1: none), as when libcurl sent it once more elsewhere.
    // Returns the port it is counted on now (calls are counted over HTTP/2 only).
    static long placed(Host& host, long from, long port, bool& opener) {
        if (host.protocol != Protocol::multiplexed) return from;
        if (from >= 0) removeFrom(host, from);
        auto it = streamsOn(host, port);
        if (it == host.streams.end()) {
            host.streams.emplace_back(port, 0);
            it = std::prev(host.streams.end());
            // One more connection in use: room for more calls.
            host.release = true;
            host.admission->releasePending_ = true;
        }
        // More than the limit seen: it was too low (a connection closing had fewer streams
        // when libcurl passed it over); known again at the next connection opened.
        if (++it->second > host.perConnection) host.perConnection = 0;
        if (opener) {
            opener = false;
            connectionSetUp(host);
        }
        return port;
    }
    // A call ends or waits again; `port` is where it was counted (-1: it never reached a
    // connection) and `opener` whether it was still setting up a connection.
    static void left(Host& host, long port, bool& opener) {
        if (port >= 0) removeFrom(host, port);
        if (opener) {
            opener = false;
            connectionSetUp(host);
        }
    }
    // A reply came over the given protocol.
    static void learned(Host& host, Protocol protocol) noexcept {
        if (protocol != Protocol::unknown) host.protocol = protocol;
    }

    // Hands waiting calls of `host` to `start` while there is room; `start` returns whether
    // the call took a turn (one that ended while it waited does not).
    template <class Start>
    static void releaseWaiting(Host& host, Start&& start) {
        while (host.running < limitOf(host) && !host.waiting.empty()) {
            Call next = std::move(host.waiting.front());
            host.waiting.pop_front();
            start(std::move(next));
        }
    }
    // The same for every host that has connected since the last call.
    template <class Start>
    void releaseConnected(Start&& start) {
        if (!releasePending_) return;
        releasePending_ = false;
        for (auto& [key, host] : hosts_) {
            if (!host.release) continue;
            host.release = false;
            releaseWaiting(host, start);
        }
    }

private:
    static auto streamsOn(Host& host, long port) {
        return std::find_if(host.streams.begin(), host.streams.end(), [port](const auto& s) { return s.first == port; });
    }
    static void removeFrom(Host& host, long port) {
        const auto it = streamsOn(host, port);
        if (it == host.streams.end()) return;
        if (--it->second == 0) host.streams.erase(it);
    }
    static long long inUse(const Host& host) noexcept { return static_cast<long long>(host.streams.size()); }
    // Connections to set up beyond those in use for every call in flight or waiting to have
    // a stream; at least one, which the next call opens when those in use are full.
    static long long toOpen(const Host& host) noexcept {
        const long long calls = host.running + static_cast<long long>(host.waiting.size());
        const long long needed = (calls + host.perConnection - 1) / host.perConnection;
        return std::max(1LL, needed - inUse(host));
    }
    static void connectionSetUp(Host& host) noexcept {
        --host.opening;
        host.release = true;
        host.admission->releasePending_ = true;
    }

    std::unordered_map<std::string, Host> hosts_;  // elements never move
    bool releasePending_ = false;
};

}  // namespace velmora::detail
