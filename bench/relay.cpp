// A TCP relay that stands for a network between a client and a server on loopback: every
// chunk read from one side is written to the other only after a one-way delay (give or
// take half the jitter), and a given share of chunks is held as if lost, for one retransmission timeout
// more. Bytes of one direction never overtake each other, so a held chunk also holds the
// chunks behind it, as TCP's in-order delivery does after a loss.
//
// What it models: propagation delay, its jitter, the head-of-line stall of a lost segment
// and its retransmission. What it does not: bandwidth limits, queueing in routers, and
// congestion control reacting to the delay or the loss (both sides' kernels see a loopback
// path with no loss, so their windows open at once), and TCP's own handshake: the kernel
// completes it on loopback before the relay accepts, so a new connection costs no round
// trip until its first bytes. A "chunk" is what one read returned, which under load is
// more than one segment.
//
//   velmora_relay LISTEN_PORT TARGET_PORT DELAY_MS [JITTER_MS [LOSS_PERCENT [RTO_MS [SEED]]]]
//
// Listens on 127.0.0.1:LISTEN_PORT (0: any free port) and connects each client to
// 127.0.0.1:TARGET_PORT. Prints "ready PORT" on standard output once it listens; runs until
// SIGTERM or SIGINT, then prints the chunks relayed and held as lost on standard error.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

volatile std::sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }

// Past this many bytes waiting in one direction the relay stops reading its source, so a
// fast sender meets back-pressure as it would from a full window.
constexpr std::size_t kMaxHeld = 8u << 20;
constexpr std::size_t kReadSize = 64 * 1024;

struct Options {
    int listenPort = 0;
    int targetPort = 0;
    Micros delay{0};
    Micros jitter{0};
    double loss = 0;  // 0..1
    Micros rto{200'000};
    unsigned seed = 1;
};

struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool end = false;  // the source closed its sending side after the bytes before
};

// One direction of a connection: what `from` sent, waiting to be written to `to`.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> held;
    std::size_t heldBytes = 0;
    std::size_t written = 0;  // bytes of held.front() already written
    Clock::time_point lastDue{};
    bool sourceOpen = true;
    bool delivered = false;  // the end was passed on
    bool blocked = false;    // `to` would block; waiting for it to become writable
};

struct Connection {
    std::uint64_t id = 0;
    int client = -1;
    int server = -1;
    Direction dir[2];  // 0: client to server, 1: server to client
    // A side that is done both ways (its peer closed, and everything for it was passed on)
    // reports hang-up for as long as it is watched, so it is watched no more.
    bool retired[2] = {false, false};
};

class Relay {
public:
    explicit Relay(Options o) : opt_(o), rng_(o.seed) {}
    int run();

private:
    struct Due {
        Clock::time_point when;
        std::uint64_t id;
        int dir;
        bool operator>(const Due& o) const { return when > o.when; }
    };

    void acceptAll();
    void onReadable(Connection& c, int d);
    void flush(Connection& c, int d);
    void events(Connection& c);
    void drop(Connection& c);
    void runDue();
    void arm();
    Micros oneWay();

    Options opt_;
    std::mt19937_64 rng_;
    int epoll_ = -1;
    int listener_ = -1;
    int timer_ = -1;
    std::uint64_t nextId_ = 1;
    std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
    std::unordered_map<int, std::uint64_t> owner_;  // descriptor -> connection
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
    Clock::time_point armedFor_ = Clock::time_point::max();
    std::uint64_t chunks_ = 0, lost_ = 0;
};

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Micros Relay::oneWay() {
    // The jitter spreads evenly around the delay, so the mean round trip stays 2 x delay.
    Micros w = opt_.delay - opt_.jitter / 2;
    if (opt_.jitter.count() > 0) {
        w += Micros(std::uniform_int_distribution<std::int64_t>(0, opt_.jitter.count())(rng_));
    }
    w = std::max(w, Micros(0));
    if (opt_.loss > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < opt_.loss) {
        w += opt_.rto;
        ++lost_;
    }
    return w;
}

void Relay::events(Connection& c) {
    for (int side = 0; side < 2; ++side) {
        if (c.retired[side]) continue;
        const int fd = side == 0 ? c.client : c.server;
        const Direction& reads = c.dir[side];       // fd is its source
        const Direction& writes = c.dir[1 - side];  // fd is its destination
        epoll_event ev{};
        ev.data.fd = fd;
        if (reads.sourceOpen && reads.heldBytes < kMaxHeld) ev.events |= EPOLLIN;
        if (writes.blocked) ev.events |= EPOLLOUT;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
    }
}

void Relay::drop(Connection& c) {
    for (int fd : {c.client, c.server}) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        owner_.erase(fd);
        close(fd);
    }
    connections_.erase(c.id);  // stale entries in due_ find nothing and are skipped
}

void Relay::acceptAll() {
    for (;;) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) return;
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(opt_.targetPort));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (server < 0 ||
            (connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 && errno != EINPROGRESS)) {
            close(client);
            if (server >= 0) close(server);
            continue;
        }
        setNoDelay(client);
        setNoDelay(server);
        auto c = std::make_unique<Connection>();
        c->id = nextId_++;
        c->client = client;
        c->server = server;
        c->dir[0].from = client;
        c->dir[0].to = server;
        c->dir[1].from = server;
        c->dir[1].to = client;
        for (int fd : {client, server}) {
            epoll_event ev{};
            ev.data.fd = fd;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
            owner_[fd] = c->id;
        }
        events(*c);
        connections_[c->id] = std::move(c);
    }
}

void Relay::onReadable(Connection& c, int d) {
    Direction& dir = c.dir[d];
    const auto now = Clock::now();
    while (dir.sourceOpen && dir.heldBytes < kMaxHeld) {
        std::string buf(kReadSize, '\0');
        const ssize_t n = read(dir.from, buf.data(), buf.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        Chunk chunk;
        chunk.due = std::max(dir.lastDue, now + oneWay());
        if (n < 0) {  // reset: passed on as a reset after the delay would need more; end at once
            drop(c);
            return;
        }
        if (n == 0) {
            chunk.end = true;
            dir.sourceOpen = false;
        } else {
            buf.resize(static_cast<std::size_t>(n));
            chunk.bytes = std::move(buf);
            dir.heldBytes += chunk.bytes.size();
            ++chunks_;
        }
        dir.lastDue = chunk.due;
        due_.push({chunk.due, c.id, d});
        dir.held.push_back(std::move(chunk));
    }
    events(c);
}

// Writes every chunk of the direction that is due, in order, as far as the destination
// takes them.
void Relay::flush(Connection& c, int d) {
    Direction& dir = c.dir[d];
    const auto now = Clock::now();
    while (!dir.held.empty() && dir.held.front().due <= now) {
        Chunk& front = dir.held.front();
        if (front.end) {
            shutdown(dir.to, SHUT_WR);
            dir.delivered = true;
            dir.held.pop_front();
            continue;
        }
        const ssize_t n = send(dir.to, front.bytes.data() + dir.written, front.bytes.size() - dir.written,
                               MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == ENOTCONN)) {
            dir.blocked = true;
            events(c);
            return;
        }
        if (n < 0) {
            drop(c);
            return;
        }
        dir.written += static_cast<std::size_t>(n);
        if (dir.written < front.bytes.size()) continue;
        dir.heldBytes -= front.bytes.size();
        dir.written = 0;
        dir.held.pop_front();
    }
    dir.blocked = false;
    if (c.dir[0].delivered && c.dir[1].delivered) {
        drop(c);
        return;
    }
    events(c);
}

void Relay::runDue() {
    const auto now = Clock::now();
    while (!due_.empty() && due_.top().when <= now) {
        const Due due = due_.top();
        due_.pop();
        const auto it = connections_.find(due.id);
        if (it != connections_.end() && !it->second->dir[due.dir].blocked) flush(*it->second, due.dir);
    }
}

// Arms the timer at the earliest due chunk, unless it is armed for that moment already.
void Relay::arm() {
    const auto next = due_.empty() ? Clock::time_point::max() : due_.top().when;
    if (next == armedFor_) return;
    armedFor_ = next;
    itimerspec spec{};
    if (next != Clock::time_point::max()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
        spec.it_value.tv_sec = ns / 1'000'000'000;
        spec.it_value.tv_nsec = ns % 1'000'000'000;
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    }
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

int Relay::run() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(opt_.listenPort));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) < 0 || listen(listener_, 4096) < 0) {
        std::perror("relay: cannot listen");
        return 1;
    }
    socklen_t len = sizeof at;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &len);

    // steady_clock is CLOCK_MONOTONIC here, so its time points arm the timer directly.
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &ev);
    ev.data.fd = timer_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev);

    std::printf("ready %d\n", ntohs(at.sin_port));
    std::fflush(stdout);

    std::vector<epoll_event> ready(256);
    while (!stopping) {
        arm();
        const int n = epoll_wait(epoll_, ready.data(), static_cast<int>(ready.size()), 1000);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[static_cast<std::size_t>(i)].data.fd;
            const auto what = ready[static_cast<std::size_t>(i)].events;
            if (fd == listener_) {
                acceptAll();
                continue;
            }
            if (fd == timer_) {
                std::uint64_t expirations;
                (void)!read(timer_, &expirations, sizeof expirations);
                armedFor_ = Clock::time_point::max();
                continue;
            }
            const auto owner = owner_.find(fd);
            if (owner == owner_.end()) continue;  // dropped earlier in this round
            Connection& c = *connections_.at(owner->second);
            const int side = fd == c.client ? 0 : 1;
            if ((what & EPOLLOUT) && c.dir[1 - side].blocked) {
                c.dir[1 - side].blocked = false;
                flush(c, 1 - side);
                if (!owner_.count(fd)) continue;
            }
            if (what & EPOLLERR) {
                drop(c);
                continue;
            }
            if ((what & EPOLLHUP) && !c.dir[side].sourceOpen && c.dir[1 - side].delivered) {
                epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
                c.retired[side] = true;
                continue;
            }
            if (what & (EPOLLIN | EPOLLHUP)) onReadable(c, side);
        }
        runDue();
    }
    std::fprintf(stderr, "relay: %llu chunks, %llu held as lost\n", static_cast<unsigned long long>(chunks_),
                 static_cast<unsigned long long>(lost_));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: %s LISTEN_PORT TARGET_PORT DELAY_MS [JITTER_MS [LOSS_PERCENT [RTO_MS [SEED]]]]\n",
                     argv[0]);
        return 2;
    }
    const auto ms = [](const char* s) { return Micros(static_cast<std::int64_t>(std::atof(s) * 1000)); };
    Options o;
    o.listenPort = std::atoi(argv[1]);
    o.targetPort = std::atoi(argv[2]);
    o.delay = ms(argv[3]);
    if (argc > 4) o.jitter = ms(argv[4]);
    if (argc > 5) o.loss = std::atof(argv[5]) / 100.0;
    if (argc > 6) o.rto = ms(argv[6]);
    if (argc > 7) o.seed = static_cast<unsigned>(std::strtoul(argv[7], nullptr, 10));
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return Relay(o).run();
}
