#pragma once
// One connection: the TLS handshake, reading each request under its limits and deadlines,
// handing it to a worker, writing the reply, and closing. Plain and TLS connections share
// this code through the stream type.

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "handler.hpp"
#include "http_framing.hpp"
#include "identity.hpp"
#include "server_impl.hpp"

namespace velmora::service {

namespace beast = boost::beast;
namespace http = beast::http;
using error_code = boost::system::error_code;
using SteadyClock = std::chrono::steady_clock;


inline constexpr std::string_view kJson = "application/json; charset=utf-8";
inline constexpr std::string_view kMetricsText = "text/plain; version=0.0.4; charset=utf-8";
// What a connection may buffer beyond the header limit: one read's worth of a body.
inline constexpr std::size_t kReadBuffer = 64 * 1024;
// After a reply that ends a connection, what the client still sends is read and dropped
// for this long (at most kLingerBytes), so that closing with unread data (which resets the
// connection) cannot destroy the reply before the client has read it.
inline constexpr auto kLinger = std::chrono::seconds(2);
inline constexpr std::size_t kLingerBytes = 4 * 1024 * 1024;
inline constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
inline constexpr std::string_view kOperationPrefix = "/corvane.asmx/";

inline SteadyClock::duration toDuration(Seconds s) {
    return std::chrono::duration_cast<SteadyClock::duration>(s);
}

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
                                        if (e) {
                                            self->server_.metrics.handshakeFailed();
                                            return self->close();
                                        }
                                        if (!self->server_.options.clientCa.empty()) {
                                            self->caller_ = callerOf(self->stream_.native_handle());
                                        }
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
        startAnswer();
        // A request that completes once stopping has begun changes nothing.
        if (server_.draining) return reply(503, errorBody("the service is stopping"), false);
        const std::string_view target(req.target().data(), req.target().size());
        const std::string_view path = target.substr(0, target.find('?'));
        if (req.method() == http::verb::get && (path == "/healthz" || path == "/metrics")) {
            return probe(path == "/metrics", keepAlive);
        }
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
        operation_ = operationNamed(operation);
        asio::post(server_.workers, [self = this->shared_from_this(), operation = std::string(operation),
                                     body = std::move(req.body()), keepAlive]() mutable {
            // caller_ is set once, before the first request, and only read afterwards.
            HttpReply result =
                self->server_.handler.handle(operation, body, self->caller_ ? &*self->caller_ : nullptr);
            body.clear();
            body.shrink_to_fit();
            self->answer(std::move(result), keepAlive, kJson);
        });
    }

    // GET /healthz and GET /metrics. The store may block, so they run on a worker too. When
    // client certificates are asked for, only holders of one get this far.
    void probe(bool metrics, bool keepAlive) {
        state_ = State::handling;
        probe_ = metrics ? "metrics" : "healthz";
        counted_ = false;
        asio::post(server_.workers, [self = this->shared_from_this(), metrics, keepAlive] {
            auto& server = self->server_;
            HttpReply result;
            if (metrics) {
                const Gauges gauges{server.handler.messagesWaiting(), server.openConnections()};
                if (!gauges.messagesWaiting) server.metrics.storeFailed();
                result = {200, server.metrics.render(gauges), Outcome::ok};
            } else if (server.handler.storeHealthy()) {
                result = {200, R"({"status":"ok"})", Outcome::ok};
            } else {
                server.metrics.storeFailed();
                result = {503, R"({"status":"unavailable","Message":"the store does not answer"})", Outcome::storeError};
            }
            self->answer(std::move(result), keepAlive, metrics ? kMetricsText : kJson);
        });
    }

    // From a worker: back to the connection's strand with the reply.
    void answer(HttpReply result, bool keepAlive, std::string_view contentType) {
        asio::post(stream_.get_executor(),
                   [self = this->shared_from_this(), result = std::move(result), keepAlive, contentType]() mutable {
                       if (self->state_ == State::closed) return;
                       self->outcome_ = result.outcome;
                       self->reply(result.status, std::move(result.body), keepAlive, contentType);
                   });
    }

    // A request is being answered from now: its duration runs until its reply is sent.
    void startAnswer() {
        started_ = SteadyClock::now();
        operation_ = Operation::other;
        outcome_ = Outcome::refused;
        counted_ = true;
        probe_ = {};
        answering_ = true;
    }

    // As the reply starts on its way: counted before the client can have it, so that what it
    // does next (a scrape, say) already sees this request.
    void answered() {
        if (!answering_) return;
        answering_ = false;
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - started_).count();
        if (counted_) server_.metrics.request(operation_, outcome_, seconds);
        if (server_.options.accessLog) {
            const std::string line =
                accessLine(client_.to_string(), caller_ ? &caller_->user : nullptr,
                           probe_.empty() ? operationLabel(operation_) : probe_, status_, outcomeLabel(outcome_),
                           seconds);
            std::fwrite(line.data(), 1, line.size(), stderr);
        }
    }

    // Refusals made before a request was read whole: the framing can no longer be
    // trusted, so the connection ends after the reply.
    void refuse(int status, const std::string& message) {
        parser_.reset();
        version_ = 11;
        startAnswer();
        reply(status, errorBody(message), false);
    }

    void reply(int status, std::string body, bool keepAlive, std::string_view contentType = kJson) {
        state_ = State::writing;
        status_ = status;
        response_ = {};
        response_.version(version_ == 10 ? 10 : 11);
        response_.result(static_cast<unsigned>(status));
        response_.set(http::field::content_type, contentType);
        response_.body() = std::move(body);
        response_.keep_alive(keepAlive && !server_.draining);
        response_.prepare_payload();
        answered();
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
        // The parser and the buffer stay: a read cancelled here may already have completed
        // and still be queued, and it parses into them. They go with the session, once the
        // last queued handler has run.
        tcpStream().close();
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
    std::optional<Caller> caller_;  // with client certificates: who the handshake verified
    // The request being answered, for the metrics and the access log.
    SteadyClock::time_point started_;
    Operation operation_ = Operation::other;
    Outcome outcome_ = Outcome::refused;
    std::string_view probe_;  // "healthz" or "metrics" for those; not counted as requests
    int status_ = 0;
    bool counted_ = false;
    bool answering_ = false;
};

}  // namespace velmora::service
