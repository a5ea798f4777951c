#include "server.hpp"

#include <charconv>
#include <cstdio>
#include <thread>

#include "session.hpp"

namespace velmora::service {

namespace {

std::string hostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

std::optional<ListenAddress> parseListenAddress(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    int value = -1;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535) {
        return std::nullopt;
    }
    return ListenAddress{host, value};
}

Server::Impl::Impl(Handler& h, const ServerOptions& o)
    : handler(h),
      options(o),
      ioc(std::max(1, o.ioThreads)),
      workers(static_cast<std::size_t>(std::max(1, o.workers))),
      strand_(asio::make_strand(ioc)),
      acceptor_(strand_),
      drainTimer_(strand_),
      acceptRetry_(strand_) {
    if (options.https) {
        try {
            tls.emplace(asio::ssl::context::tls_server);
            tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                             asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                             asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
            tls->use_certificate_chain_file(options.certFile);
            tls->use_private_key_file(options.keyFile, asio::ssl::context::pem);
            if (SSL_CTX_check_private_key(tls->native_handle()) != 1) throw std::runtime_error("key mismatch");
        } catch (const std::exception&) {
            throw ServiceError("cannot use certificate " + options.certFile + " with key " + options.keyFile);
        }
        if (!options.clientCa.empty()) requireClientCertificates();
    }
    const auto& listen = options.listen;
    const std::string where = hostForUrl(listen.host) + ":" + std::to_string(listen.port);
    try {
        tcp::endpoint endpoint;
        error_code ec;
        const auto address = asio::ip::make_address(listen.host, ec);
        if (!ec) {
            endpoint = tcp::endpoint(address, static_cast<unsigned short>(listen.port));
        } else {
            tcp::resolver resolver(ioc);
            endpoint = *resolver.resolve(listen.host, std::to_string(listen.port), tcp::resolver::passive).begin();
        }
        acceptor_.open(endpoint.protocol());
        // Not SO_REUSEPORT: a second service on the same port must be an error, not take
        // half the connections.
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        // The system's maximum backlog: a burst of new clients is queued, not dropped.
        acceptor_.listen(asio::socket_base::max_listen_connections);
        port = acceptor_.local_endpoint().port();
    } catch (const boost::system::system_error& e) {
        // The system's reason ("Address already in use", "Permission denied") is what
        // tells the operator which of the usual fixes applies.
        throw ServiceError("cannot listen on " + where + ": " + e.code().message());
    } catch (const std::exception& e) {
        throw ServiceError("cannot listen on " + where + ": " + e.what());
    }
    origin = std::string(options.https ? "https" : "http") + "://" + hostForUrl(listen.host) + ":" +
             std::to_string(port);
}

void Server::Impl::requireClientCertificates() {
    SSL_CTX* ctx = tls->native_handle();
    const std::string& file = options.clientCa;
    if (SSL_CTX_load_verify_locations(ctx, file.c_str(), nullptr) != 1) {
        throw ServiceError("cannot read the client CA file " + file + " (PEM certificates)");
    }
    // The names of the accepted CAs go with the request for a certificate, so a client
    // holding several can pick the right one.
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(file.c_str());
    if (names == nullptr) throw ServiceError("the client CA file " + file + " holds no certificate");
    SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    // A resumed session keeps the certificate verified when it was made; without a context
    // OpenSSL refuses to resume sessions of verified clients at all.
    static constexpr unsigned char kContext[] = "velmora-service";
    SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
}

std::int64_t Server::Impl::openConnections() {
    std::lock_guard lock(mutex_);
    return static_cast<std::int64_t>(sessions_.size());
}

Server::Impl::~Impl() {
    // Sessions still held by pending handlers are released as the I/O context goes, after
    // the strand; they must leave the registry without posting to it.
    destroying_ = true;
}

bool Server::Impl::run() {
    {
        std::lock_guard lock(phaseMutex_);
        if (phase_ != Phase::created) return true;  // stopped before it ran
        phase_ = Phase::running;
    }
    // Kept until the drain is over: a request being handled on a worker holds no pending
    // operation of the I/O context.
    guard_.emplace(ioc.get_executor());
    asio::post(strand_, [this] { accept(); });
    std::vector<std::thread> extra;
    for (int i = 1; i < options.ioThreads; ++i) extra.emplace_back([this] { serve(); });
    serve();
    for (auto& t : extra) t.join();
    workers.join();
    {
        std::lock_guard lock(phaseMutex_);
        phase_ = Phase::done;
    }
    phaseChanged_.notify_all();
    return true;
}

void Server::Impl::serve() {
    // An exception out of a completion handler (memory, at worst) ends only that handler's
    // connection: its session is released with the handler; the loop goes on.
    while (true) {
        try {
            ioc.run();
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora-service: connection dropped: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "velmora-service: connection dropped\n");
        }
    }
}

void Server::Impl::stop() {
    std::unique_lock lock(phaseMutex_);
    if (phase_ == Phase::created) {
        phase_ = Phase::done;
        return;
    }
    if (phase_ == Phase::done) return;
    if (!draining.exchange(true)) asio::post(strand_, [this] { beginDrain(); });
    phaseChanged_.wait(lock, [this] { return phase_ == Phase::done; });
}

void Server::Impl::accept() {
    acceptor_.async_accept(asio::make_strand(ioc), [this](const error_code& ec, tcp::socket socket) {
        if (!acceptor_.is_open() || draining) return;
        if (!ec) {
            admit(std::move(socket));
        } else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
                   ec == asio::error::no_memory) {
            // Out of descriptors: waiting connections stay queued until some close.
            acceptRetry_.expires_after(std::chrono::milliseconds(50));
            acceptRetry_.async_wait([this](const error_code& e) {
                if (!e) accept();
            });
            return;
        }
        accept();
    });
}

void Server::Impl::admit(tcp::socket socket) {
    error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec) return;
    const asio::ip::address client = peer.address();
    {
        std::lock_guard lock(mutex_);
        int& fromClient = perClient_[client];
        if (fromClient >= options.maxConnectionsPerClient ||
            static_cast<int>(sessions_.size()) >= options.maxConnections) {
            if (fromClient == 0) perClient_.erase(client);
            socket.close(ec);  // refused: the client may try again once one of its own closes
            return;
        }
        ++fromClient;
    }
    auto start = [&](auto session) {
        {
            std::lock_guard lock(mutex_);
            sessions_[session.get()] = session;
        }
        session->start();
    };
    if (tls) {
        using Stream = beast::ssl_stream<beast::tcp_stream>;
        start(std::make_shared<Session<Stream>>(*this, Stream(beast::tcp_stream(std::move(socket)), *tls), client));
    } else {
        start(std::make_shared<Session<beast::tcp_stream>>(*this, beast::tcp_stream(std::move(socket)), client));
    }
}

void Server::Impl::sessionGone(SessionBase* session, const asio::ip::address& client) {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        sessions_.erase(session);
        if (auto it = perClient_.find(client); it != perClient_.end() && --it->second <= 0) perClient_.erase(it);
        last = sessions_.empty();
    }
    if (last && draining && !destroying_) asio::post(strand_, [this] { finish(); });
}

std::vector<std::shared_ptr<SessionBase>> Server::Impl::liveSessions() {
    std::vector<std::shared_ptr<SessionBase>> live;
    std::lock_guard lock(mutex_);
    for (auto& [raw, weak] : sessions_) {
        if (auto s = weak.lock()) live.push_back(std::move(s));
    }
    return live;
}

void Server::Impl::beginDrain() {
    error_code ec;
    acceptor_.close(ec);
    acceptRetry_.cancel();
    const auto live = liveSessions();
    for (const auto& s : live) s->drain();
    bool empty = false;
    {
        std::lock_guard lock(mutex_);
        empty = sessions_.empty();
    }
    if (empty) return finish();
    drainTimer_.expires_after(toDuration(options.drain));
    drainTimer_.async_wait([this](const error_code& e) {
        if (e || finished_) return;
        // Out of time: what has not committed yet is rolled back, and every connection ends.
        handler.refuseChanges();
        for (const auto& s : liveSessions()) s->forceClose();
    });
}

void Server::Impl::finish() {
    if (finished_) return;
    finished_ = true;
    drainTimer_.cancel();
    guard_.reset();
}

Server::Server(Handler& handler, const ServerOptions& options) : impl_(std::make_unique<Impl>(handler, options)) {}

Server::~Server() { stop(); }

const std::string& Server::origin() const { return impl_->origin; }
int Server::port() const { return impl_->port; }
bool Server::run() { return impl_->run(); }
void Server::stop() { impl_->stop(); }

}  // namespace velmora::service
