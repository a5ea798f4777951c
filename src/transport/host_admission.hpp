#pragma once
// How many calls go out at once to each server, and the order in which the rest wait: one
// request per HTTP/1.1 connection (up to kConnectionsPerHost), many streams on an HTTP/2
// one. Calls beyond that wait here, each without a transfer handle, rather than in
// libcurl's pending list, which costs a search of the connections at every step and a full
// handle per waiting call, and wakes one waiting transfer per finished one (so a transfer
// whose wake-up another took could wait there until its timeout). No clock and no libcurl:
// the driver reports what happens.

#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

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
            case Protocol::multiplexed: return kStreamsPerConnection;
        }
        return 1;
    }
    // Whether a new call may go out now rather than wait behind others.
    static bool admits(const Host& host) noexcept { return host.running < limitOf(host) && host.waiting.empty(); }
    static void started(Host& host) noexcept { ++host.running; }
    static void finished(Host& host) noexcept { --host.running; }
    static void wait(Host& host, Call call) { host.waiting.push_back(std::move(call)); }

    // A connection to `host` is ready (inside libcurl: the waiting calls go at the next release).
    static void connected(Host& host) noexcept {
        if (host.connected) return;
        host.connected = true;
        host.release = true;
        host.admission->releasePending_ = true;
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
    std::unordered_map<std::string, Host> hosts_;  // elements never move
    bool releasePending_ = false;
};

}  // namespace velmora::detail
