#pragma once
// Loopback test services.
//
// TestServer: HTTPS (or HTTP) on 127.0.0.1 with a certificate made for the run and trusted
// through caFile(), so certificate verification stays on. Replies are scripted per path;
// every request and every client connection is recorded.
//
// RawServer: a plain TCP listener that hands each accepted socket to a function, for
// faults an HTTP server library will not produce (closing without a reply, ...).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace velmora::testing {

struct Reply {
    enum class Action {
        respond,         // status and body after `delay`
        stall,           // never answer (until the server stops)
        dripBody,        // send the body one byte every `delay`, then end
        closeAfterHeaders,  // send the headers, then drop the connection
    };
    int status = 200;
    std::string body = R"({"d":true})";
    std::chrono::milliseconds delay{0};
    Action action = Action::respond;
    std::string contentType = "application/json; charset=utf-8";
};

struct Request {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> headers;  // names lower-cased
    std::string body;
    std::string connection;  // "addr:port" of the client side: one per connection
    std::thread::id servedOn;

    std::string header(const std::string& lowerName) const;
};

// PEM files of a CA and a server certificate it signed for 127.0.0.1 and localhost.
struct Certificates {
    std::string caFile;     // the CA, to trust
    std::string certFile;   // the server's certificate
    std::string keyFile;    // the server's key
    struct Options {
        std::string hostName = "localhost";
        std::string ip = "127.0.0.1";
        long validFromSeconds = -3600;  // relative to now
        long validForSeconds = 24 * 3600;
    };
    static Certificates make(const std::string& directory, const Options& options);
    static Certificates make(const std::string& directory) { return make(directory, Options{}); }
};

// A fresh temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class TestServer {
public:
    enum class Scheme { https, http };
    // `workers`: requests served at once; each kept-alive connection holds one while open.
    // `keepAliveSeconds`: how long an idle connection stays open before the server closes it.
    explicit TestServer(Scheme scheme = Scheme::https, int workers = 128, int keepAliveSeconds = 30);
    TestServer(Scheme scheme, const Certificates& certificates);
    ~TestServer();

    std::string origin() const;  // e.g. "https://127.0.0.1:40123"
    const std::string& caFile() const { return certs_.caFile; }
    int port() const { return port_; }

    // Every later request to `path` gets `reply`; other paths get the default reply.
    void script(const std::string& path, Reply reply);
    void scriptDefault(Reply reply);
    // Computes the reply for each request to `path`.
    void handle(const std::string& path, std::function<Reply(const Request&)> handler);

    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    std::size_t connections() const;
    // TLS handshakes that resumed an earlier session.
    std::size_t resumedHandshakes() const { return resumed_.load(); }
    // Waits until at least `count` requests have arrived; false on timeout.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    void stop();

private:
    void start(Scheme scheme, int workers = 128, int keepAliveSeconds = 30);
    Reply replyFor(const Request& request);
    bool sleepUnlessStopping(std::chrono::milliseconds delay);

    TempDir dir_;
    Certificates certs_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    bool https_ = true;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    Reply defaultReply_;
    std::map<std::string, std::function<Reply(const Request&)>> handlers_;
    std::vector<Request> requests_;
    std::set<std::string> connections_;
    std::atomic<std::size_t> resumed_{0};
};

class RawServer {
public:
    // `serve` gets each accepted socket (it need not close it) and whether the server is
    // stopping.
    explicit RawServer(std::function<void(int fd)> serve);
    ~RawServer();
    int port() const { return port_; }
    std::string origin() const;  // "http://127.0.0.1:port"

private:
    int listenFd_ = -1;
    int port_ = 0;
    std::function<void(int)> serve_;
    std::thread thread_;
    std::vector<int> clients_;
    std::mutex mutex_;
    bool stopping_ = false;
};

// A peer that takes connections into its listen backlog and never answers: calls to it stay
// in flight, and it has no threads of its own (for tests in which the process exits).
class SilentPeer {
public:
    SilentPeer();
    ~SilentPeer();
    std::string origin(const char* scheme = "https") const;
    // Waits until a connection is queued, i.e. a call is on the wire; false on timeout.
    bool waitForConnection(std::chrono::milliseconds timeout) const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// An origin on which nothing listens: a loopback port that was bound and released again.
std::string closedOrigin();

// Sends `bytes` on `fd`, waits a moment for them to arrive, then resets the connection (for
// a RawServer's function, which leaves the descriptor to the server to close).
void sendThenReset(int fd, std::string_view bytes);

// Reads an HTTP request head and its Content-Length body from `fd`; false on EOF.
bool readHttpRequest(int fd, std::string* head = nullptr, std::string* body = nullptr);

}  // namespace velmora::testing
