#pragma once
// The handler on the network: POST /corvane.asmx/<operation> over HTTPS (or plain HTTP).

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <optional>
#include <string>

#include "handler.hpp"

namespace httplib {
class Server;
}

namespace velmora::service {

struct ListenAddress {
    std::string host;  // without brackets, e.g. "127.0.0.1" or "::1"
    int port = 0;      // 0: any free port
};

// "ADDR:PORT", with an IPv6 address in brackets ("[::1]:8443"); nullopt when malformed.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

struct ServerOptions {
    ListenAddress listen{"127.0.0.1", 8443};
    bool https = true;
    std::string certFile;  // both required for https
    std::string keyFile;
    // Each connection being served holds a worker, a kept-alive idle one included, until
    // its keep-alive timeout; enough workers keep a few slow or idle clients from holding
    // up the others.
    int workers = 64;
};

class ServiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Server {
public:
    // Sets up TLS and binds the socket; throws ServiceError when either fails. Connections
    // queue from here on until run() accepts them.
    Server(Handler& handler, const ServerOptions& options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // e.g. "https://127.0.0.1:40123", with the port actually bound.
    const std::string& origin() const { return origin_; }
    int port() const { return port_; }

    // Serves until stop(); false when serving failed.
    bool run();
    // Any thread, also before run(): makes run() return (or return at once). Requests
    // being served finish and their replies are written; requests that arrive later get
    // 503 and change nothing; idle kept-alive connections are closed rather than waited for.
    void stop();

private:
    // Which requests are between entering the handler and their reply being written.
    bool enter();
    void leave();
    void closeConnections();

    std::unique_ptr<httplib::Server> server_;
    std::atomic<bool> inRun_{false};
    std::atomic<bool> stopRequested_{false};
    std::mutex gateMutex_;
    std::condition_variable gateChanged_;
    int inFlight_ = 0;
    bool closing_ = false;
    std::string origin_;
    int port_ = 0;
};

}  // namespace velmora::service
