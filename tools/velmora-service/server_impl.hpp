#pragma once
// The server's inside, shared by the listener (server.cpp) and the connections
// (session.hpp): the I/O context, the handler's workers, the registry of live connections
// that limits them per client and that the drain walks.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include "metrics.hpp"
#include "server.hpp"

namespace velmora::service {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// A connection as the server sees it: closable from the drain.
class SessionBase {
public:
    virtual ~SessionBase() = default;
    // On the session's strand: close unless a request is being handled or its reply written.
    virtual void drain() = 0;
    virtual void forceClose() = 0;
};

class Server::Impl {
public:
    Impl(Handler& handler, const ServerOptions& options);
    ~Impl();

    bool run();
    void stop();
    void serve();

    // Connections: admitted at accept, counted per client address.
    void sessionGone(SessionBase* session, const asio::ip::address& client);
    std::int64_t openConnections();

    Handler& handler;
    const ServerOptions options;
    std::atomic<bool> draining{false};
    Metrics metrics;

private:
    // Before the I/O context: sessions it still holds when destroyed leave the registry.
    std::mutex mutex_;  // the registry below
    // Set once the server is being destroyed: a session released then must not post to
    // the strand, which is gone before the I/O context.
    std::atomic<bool> destroying_{false};
    std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> sessions_;
    std::map<asio::ip::address, int> perClient_;

public:
    asio::io_context ioc;
    std::optional<asio::ssl::context> tls;
    asio::thread_pool workers;
    std::string origin;
    int port = 0;

private:
    void requireClientCertificates();
    void accept();
    void admit(tcp::socket socket);
    void beginDrain();
    void finish();
    std::vector<std::shared_ptr<SessionBase>> liveSessions();

    asio::strand<asio::io_context::executor_type> strand_;  // the acceptor's and the drain's
    tcp::acceptor acceptor_;
    asio::steady_timer drainTimer_;
    asio::steady_timer acceptRetry_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
    bool finished_ = false;  // on strand_

    enum class Phase { created, running, done };
    std::mutex phaseMutex_;
    std::condition_variable phaseChanged_;
    Phase phase_ = Phase::created;

    template <class Stream>
    friend class Session;
};

}  // namespace velmora::service
