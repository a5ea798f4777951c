#pragma once
// The handler on the network: POST /corvane.asmx/<operation> over HTTPS (or plain HTTP),
// served asynchronously with Boost.Beast over Boost.Asio.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "handler.hpp"

namespace velmora::service {

struct ListenAddress {
    std::string host;  // without brackets, e.g. "127.0.0.1" or "::1"
    int port = 0;      // 0: any free port
};

// "ADDR:PORT", with an IPv6 address in brackets ("[::1]:8443"); nullopt when malformed.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

using Seconds = std::chrono::duration<double>;

struct ServerOptions {
    ListenAddress listen{"127.0.0.1", 8443};
    bool https = true;
    std::string certFile;  // both required for https
    std::string keyFile;
    // PEM file of the CAs whose client certificates are accepted; empty: no client
    // certificate is asked for. With it, a connection without a certificate signed by one of
    // them ends in the handshake, and each request acts only as the certificate's user (its
    // common name) and within its teams (its organisational units).
    std::string clientCa;
    // One line on standard error per request answered: client, user, operation, status,
    // outcome, duration. Never a message text or a stored value.
    bool accessLog = false;
    // Threads that run the connections (non-blocking), and threads that run the handler
    // (its database work blocks). Idle and slow connections hold neither.
    int ioThreads = 2;
    int workers = 8;
    // Connections open at once from one client address, and in all; a connection past
    // either is closed at once.
    int maxConnectionsPerClient = 256;
    int maxConnections = 4096;
    // The request line and header fields together, in bytes; larger gets 431.
    std::size_t maxHeaderBytes = 16 * 1024;
    // Deadlines. A TLS handshake must end within `handshake`; a kept-alive connection may
    // wait `idle` for its next request; a request's header must be complete `header` after
    // its first byte; each read of a body must bring data within `bodyRead`, and the whole
    // body arrive within `body`; a reply must be written within `write`.
    Seconds handshake{10};
    Seconds idle{5};
    Seconds header{10};
    Seconds bodyRead{10};
    Seconds body{60};
    Seconds write{30};
    // How long stop() lets requests being served finish; a request not committed by then
    // is rolled back and its connection closed.
    Seconds drain{10};
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
    const std::string& origin() const;
    int port() const;

    // Serves until stop(); false when serving failed.
    bool run();
    // Any thread, also before run(): stops accepting, closes idle connections and those
    // whose request has not been handed to the handler yet, lets the requests being
    // handled finish and their replies be written (for at most the drain time: then
    // changes are refused and every connection is closed), and returns once run() has
    // returned or would return at once.
    void stop();

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::service
