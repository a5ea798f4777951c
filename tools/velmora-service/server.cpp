#include "server.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace velmora::service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";
// What a connection may buffer beyond the header limit: one read's worth of a body.
constexpr std::size_t kReadBuffer = 64 * 1024;
// After a reply that ends a connection, what the client still sends is read and dropped
// for this long (at most kLingerBytes), so that closing with unread data (which resets the
// connection) cannot destroy the reply before the client has read it.
constexpr auto kLinger = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 4 * 1024 * 1024;
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kOperationPrefix = "/corvane.asmx/";

std::string hostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

SteadyClock::duration toDuration(Seconds s) {
    return std::chrono::duration_cast<SteadyClock::duration>(s);
}

// Line endings other than CRLF, and obsolete line folding (a field line continued on the
// next line): each a way for two parsers to disagree about a field.
std::optional<std::string> lineError(std::string_view header) {
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (header[i] == '\n' && (i == 0 || header[i - 1] != '\r')) return "a line ends without CR LF";
        if (header[i] == '\r' && (i + 1 == header.size() || header[i + 1] != '\n')) return "a CR not before LF";
        if (header[i] == '\n' && i + 1 < header.size() && (header[i + 1] == ' ' || header[i + 1] == '\t')) {
            return "a header field folded over lines";
        }
        if (header[i] == '\0') return "a NUL in the header";
    }
    return std::nullopt;
}

// The shapes of a request whose end two parsers could see in different places (one
// reading a second request inside another's body): refused before any body is read.
// Beast itself refuses Content-Length beside chunked, lengths that differ and lengths that
// are not decimal digits; it takes "66, 66" and repeated equal lengths, and a transfer
// coding other than chunked for no body at all.
std::optional<std::string> framingError(const http::fields& fields) {
    int lengths = 0, codings = 0;
    for (const auto& f : fields) {
        const auto value = f.value();
        if (f.name() == http::field::content_length) {
            ++lengths;
            if (value.empty() || value.size() > 18 ||
                !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                return "malformed Content-Length";
            }
        } else if (f.name() == http::field::transfer_encoding) {
            ++codings;
            if (value != "chunked") return "Transfer-Encoding other than chunked";
        }
    }
    if (lengths > 1) return "more than one Content-Length";
    if (codings > 1) return "more than one Transfer-Encoding";
    if (lengths > 0 && codings > 0) return "both Content-Length and Transfer-Encoding";
    return std::nullopt;
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

    bool run();
    void stop();
    void serve();

    // Connections: admitted at accept, counted per client address.
    void sessionGone(SessionBase* session, const asio::ip::address& client);

    Handler& handler;
    const ServerOptions options;
    std::atomic<bool> draining{false};

private:
    // Before the I/O context: sessions it still holds when destroyed leave the registry.
    std::mutex mutex_;  // the registry below
    std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> sessions_;
    std::map<asio::ip::address, int> perClient_;

public:
    asio::io_context ioc;
    std::optional<asio::ssl::context> tls;
    asio::thread_pool workers;
    std::string origin;
    int port = 0;

private:
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

// One connection, its requests served one after another in the order they arrive (so
// pipelined requests get their replies in order). Every step runs on the connection's
// strand; only the handler call runs on a worker.
template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
public:
    Session(Server::Impl& server, Stream stream, asio::ip::address client)
        : server_(server), stream_(std::move(stream)), client_(std::move(client)), buffer_(kReadBuffer) {}
    ~Session() override { server_.sessionGone(this, client_); }

    void start() {
        asio::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->begin(); });
    }

    void drain() override {
        asio::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
            if (self->state_ == State::handshake || self->state_ == State::idle || self->state_ == State::reading) {
                self->close();
            }
        });
    }

    void forceClose() override {
        asio::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->close(); });
    }

private:
    enum class State { handshake, idle, reading, handling, writing, lingering, closed };

    auto& tcpStream() { return beast::get_lowest_layer(stream_); }

    void begin() {
        error_code ec;
        tcpStream().socket().set_option(tcp::no_delay(true), ec);
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            waitForRequest();
        } else {
            state_ = State::handshake;
            tcpStream().expires_after(toDuration(server_.options.handshake));
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](const error_code& e) {
                                        if (self->state_ == State::closed) return;
                                        if (e) return self->close();
                                        self->waitForRequest();
                                    });
        }
    }

    // A kept-alive connection waits `idle` for the first byte of its next request; a
    // request's header then has `header` to be complete.
    void waitForRequest() {
        if (server_.draining) return close();
        state_ = State::idle;
        if (buffer_.size() > 0) return readHeader();  // pipelined: already here
        tcpStream().expires_after(toDuration(server_.options.idle));
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = this->shared_from_this()](const error_code& e, std::size_t n) {
                                    if (self->state_ == State::closed) return;
                                    if (e) return self->close();
                                    self->buffer_.commit(n);
                                    self->readHeader();
                                });
    }

    // The header is gathered and checked as raw bytes before Beast parses it: Beast
    // unfolds obsolete line folding, which a proxy in front may read differently.
    void readHeader() {
        state_ = State::reading;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeaderBytes));
        parser_->body_limit(kMaxRequestBody);
        scanned_ = 0;
        tcpStream().expires_after(toDuration(server_.options.header));
        gatherHeader();
    }

    void gatherHeader() {
        const std::string_view data(static_cast<const char*>(buffer_.data().data()), buffer_.size());
        const std::size_t from = scanned_ > 3 ? scanned_ - 3 : 0;
        const std::size_t end = data.find("\r\n\r\n", from);
        if (end == std::string_view::npos) {
            scanned_ = data.size();
            if (data.size() > server_.options.maxHeaderBytes) {
                return refuse(431, "request header larger than " + std::to_string(server_.options.maxHeaderBytes) +
                                       " bytes");
            }
            const std::size_t room = std::min<std::size_t>(4096, buffer_.max_size() - buffer_.size());
            stream_.async_read_some(buffer_.prepare(room),
                                    [self = this->shared_from_this()](const error_code& e, std::size_t n) {
                                        if (self->state_ == State::closed) return;
                                        if (e) return self->close();
                                        self->buffer_.commit(n);
                                        self->gatherHeader();
                                    });
            return;
        }
        const std::string_view header = data.substr(0, end + 4);
        if (header.size() > server_.options.maxHeaderBytes) {
            return refuse(431, "request header larger than " + std::to_string(server_.options.maxHeaderBytes) +
                                   " bytes");
        }
        if (const auto error = lineError(header)) return refuse(400, *error);
        error_code e;
        const std::size_t used = parser_->put(asio::buffer(header.data(), header.size()), e);
        if (!e && !parser_->is_header_done()) e = http::error::partial_message;
        if (e == http::error::body_limit || e == http::error::header_limit) return readFailed(e);
        if (e) return refuse(400, "malformed request: " + e.message());
        buffer_.consume(used);
        onHeader();
    }

    void onHeader() {
        const auto& req = parser_->get();
        if (const auto error = framingError(req)) return refuse(400, *error);
        const auto expect = req[http::field::expect];
        if (!expect.empty()) {
            if (!beast::iequals(expect, "100-continue")) return refuse(417, "only Expect: 100-continue is understood");
            if (req.version() >= 11 && !parser_->is_done()) {
                tcpStream().expires_after(toDuration(server_.options.write));
                asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                                  [self = this->shared_from_this()](const error_code& e, std::size_t) {
                                      if (self->state_ == State::closed) return;
                                      if (e) return self->close();
                                      self->readBody();
                                  });
                return;
            }
        }
        readBody();
    }

    void readBody() {
        bodyDeadline_ = SteadyClock::now() + toDuration(server_.options.body);
        readBodySome();
    }

    // Each read of the body must bring data within `bodyRead`, the whole body arrive by
    // its deadline; the body limit holds while reading, chunked bodies included.
    void readBodySome() {
        if (parser_->is_done()) return handle();
        const auto left = bodyDeadline_ - SteadyClock::now();
        tcpStream().expires_after(std::min<SteadyClock::duration>(toDuration(server_.options.bodyRead), left));
        http::async_read_some(stream_, buffer_, *parser_,
                              [self = this->shared_from_this()](const error_code& e, std::size_t) {
                                  if (self->state_ == State::closed) return;
                                  if (e) return self->readFailed(e);
                                  self->readBodySome();
                              });
    }

    void readFailed(const error_code& e) {
        if (e == http::error::body_limit) {
            // Documented as a request the service cannot serve, like the handler's refusals.
            return refuse(500, "request body larger than " + std::to_string(kMaxRequestBody) + " bytes");
        }
        if (e == http::error::header_limit || e == http::error::buffer_overflow) {
            return refuse(431, "request header larger than " + std::to_string(server_.options.maxHeaderBytes) +
                                   " bytes");
        }
        // Other parse errors (but not a peer that went away or fell silent).
        static const error_code httpError = http::error::end_of_stream;
        if (e.category() == httpError.category() && e != http::error::end_of_stream &&
            e != http::error::partial_message) {
            return refuse(400, "malformed request: " + e.message());
        }
        close();
    }

    void handle() {
        auto req = parser_->release();
        parser_.reset();
        const bool keepAlive = req.keep_alive();
        version_ = req.version();
        // A request that completes once stopping has begun changes nothing.
        if (server_.draining) return reply(503, errorBody("the service is stopping"), false);
        const std::string_view target(req.target().data(), req.target().size());
        const std::string_view path = target.substr(0, target.find('?'));
        std::string_view operation;
        bool routed = req.method() == http::verb::post && path.substr(0, kOperationPrefix.size()) == kOperationPrefix;
        if (routed) {
            operation = path.substr(kOperationPrefix.size());
            routed = operation.find('/') == std::string_view::npos;
        }
        if (!routed) {
            return reply(404,
                         errorBody("no operation at " + std::string(path.substr(0, 200)) +
                                   "; operations are POST /corvane.asmx/<operation>"),
                         keepAlive);
        }
        state_ = State::handling;
        asio::post(server_.workers, [self = this->shared_from_this(), operation = std::string(operation),
                                     body = std::move(req.body()), keepAlive]() mutable {
            HttpReply result = self->server_.handler.handle(operation, body);
            body.clear();
            body.shrink_to_fit();
            asio::post(self->stream_.get_executor(), [self, result = std::move(result), keepAlive]() mutable {
                if (self->state_ == State::closed) return;
                self->reply(result.status, std::move(result.body), keepAlive);
            });
        });
    }

    // Refusals made before a request was read whole: the framing can no longer be
    // trusted, so the connection ends after the reply.
    void refuse(int status, const std::string& message) {
        parser_.reset();
        version_ = 11;
        reply(status, errorBody(message), false);
    }

    void reply(int status, std::string body, bool keepAlive) {
        state_ = State::writing;
        response_ = {};
        response_.version(version_ == 10 ? 10 : 11);
        response_.result(static_cast<unsigned>(status));
        response_.set(http::field::content_type, kJson);
        response_.body() = std::move(body);
        response_.keep_alive(keepAlive && !server_.draining);
        response_.prepare_payload();
        tcpStream().expires_after(toDuration(server_.options.write));
        http::async_write(stream_, response_, [self = this->shared_from_this()](const error_code& e, std::size_t) {
            if (self->state_ == State::closed) return;
            if (e) return self->close();
            const bool again = self->response_.keep_alive();
            self->response_ = {};
            if (again) return self->waitForRequest();
            self->linger();
        });
    }

    void linger() {
        state_ = State::lingering;
        error_code ec;
        tcpStream().socket().shutdown(tcp::socket::shutdown_send, ec);
        if (ec) return close();
        tcpStream().expires_after(kLinger);
        lingerRead();
    }

    void lingerRead() {
        if (lingered_ >= kLingerBytes) return close();
        tcpStream().async_read_some(asio::buffer(discard_),
                                    [self = this->shared_from_this()](const error_code& e, std::size_t n) {
                                        if (self->state_ == State::closed) return;
                                        if (e) return self->close();
                                        self->lingered_ += n;
                                        self->lingerRead();
                                    });
    }

    void close() {
        if (state_ == State::closed) return;
        state_ = State::closed;
        error_code ec;
        tcpStream().socket().shutdown(tcp::socket::shutdown_both, ec);
        tcpStream().close();
        parser_.reset();
        buffer_.clear();
        buffer_.shrink_to_fit();
    }

    Server::Impl& server_;
    Stream stream_;
    asio::ip::address client_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    State state_ = State::idle;
    unsigned version_ = 11;
    SteadyClock::time_point bodyDeadline_;
    std::size_t lingered_ = 0;
    std::size_t scanned_ = 0;
    std::array<char, 4096> discard_{};
};

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
    } catch (const std::exception&) {
        throw ServiceError("cannot listen on " + where);
    }
    origin = std::string(options.https ? "https" : "http") + "://" + hostForUrl(listen.host) + ":" +
             std::to_string(port);
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
    std::shared_ptr<SessionBase> session;
    if (tls) {
        auto s = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
            *this, beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), *tls), client);
        session = s;
        {
            std::lock_guard lock(mutex_);
            sessions_[s.get()] = s;
        }
        s->start();
    } else {
        auto s = std::make_shared<Session<beast::tcp_stream>>(*this, beast::tcp_stream(std::move(socket)), client);
        session = s;
        {
            std::lock_guard lock(mutex_);
            sessions_[s.get()] = s;
        }
        s->start();
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
    if (last && draining) asio::post(strand_, [this] { finish(); });
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
