#include "server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <filesystem>
#include <thread>

#include <httplib.h>

namespace velmora::service {

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

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

Server::Server(Handler& handler, const ServerOptions& options) {
    if (options.https) {
        server_ = std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) {
        throw ServiceError("cannot use certificate " + options.certFile + " with key " + options.keyFile);
    }
    const int workers = options.workers > 0 ? options.workers : 64;
    server_->new_task_queue = [workers] { return new httplib::ThreadPool(static_cast<std::size_t>(workers)); };
    // Headers and body leave in separate writes; with Nagle's algorithm the body would
    // wait for the client's delayed acknowledgement (tens of milliseconds per request).
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_max_count(1000);
    server_->set_keep_alive_timeout(5);
    // Generous for a slow sender, bounded so a stalled one frees its worker.
    server_->set_read_timeout(30);
    server_->set_write_timeout(30);
    // One byte more than the handler accepts, so that the handler itself refuses an
    // oversized body with its usual reply; httplib answers anything larger (see the error
    // handler below).
    server_->set_payload_max_length(kMaxRequestBody + 1);

    server_->Post(R"(/corvane\.asmx/([^/]*))", [this, &handler](const httplib::Request& req, httplib::Response& res) {
        if (!enter()) {
            res.status = 503;
            res.set_header("Connection", "close");
            res.set_content(errorBody("the service is stopping"), kJson);
            return;
        }
        bool handedOver = false;  // to the provider's releaser, which then calls leave()
        try {
            auto reply = std::make_shared<HttpReply>(handler.handle(req.matches[1].str(), req.body));
            res.status = reply->status;
            if (reply->status != 200) {
                // A refused request changed nothing; its reply needs no guarding.
                res.set_content(std::move(reply->body), kJson);
                leave();
                return;
            }
            // A served reply goes out through a provider so that leave() runs only once it
            // has been written (or failed to be): stop() must not cut a connection between a
            // fetch removing messages and its reply reaching the socket.
            const std::size_t size = reply->body.size();
            res.set_content_provider(
                size, kJson,
                [reply](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    return sink.write(reply->body.data() + offset, length);
                },
                [this](bool) { leave(); });
            handedOver = true;
        } catch (...) {
            // Out of memory at worst; stop() must not wait for this request forever.
            if (!handedOver) leave();
            throw;
        }
    });
    // httplib's own refusals (no such path, wrong method, body too large, bad request
    // line) still answer a JSON object with "Message"; an oversized body is a request the
    // service cannot serve, so it is a 500 like the handler's.
    server_->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req,
                                                                       httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        std::string message;
        if (res.status == 413) {
            res.status = 500;
            message = "request body larger than " + std::to_string(kMaxRequestBody) + " bytes";
        } else if (res.status == 404) {
            message = "no operation at " + req.path + "; operations are POST /corvane.asmx/<operation>";
        } else {
            message = "request refused with HTTP status " + std::to_string(res.status);
        }
        res.set_content(errorBody(message), kJson);
        return httplib::Server::HandlerResponse::Handled;
    }));
    server_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(errorBody("internal error"), kJson);
    });

    // httplib's default is SO_REUSEPORT, which lets a second service bind the same port
    // and silently take half the connections; a port in use must be an error instead.
    int listening = -1;
    server_->set_socket_options([&listening](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = sock;
    });

    const auto& listen = options.listen;
    if (listen.port == 0) {
        port_ = server_->bind_to_any_port(listen.host);
        if (port_ <= 0) throw ServiceError("cannot listen on " + hostForUrl(listen.host) + ":0");
    } else {
        if (!server_->bind_to_port(listen.host, listen.port)) {
            throw ServiceError("cannot listen on " + hostForUrl(listen.host) + ":" + std::to_string(listen.port));
        }
        port_ = listen.port;
    }
    // httplib listens with a backlog of 5: a burst of new clients beyond that has its
    // connection attempts dropped and retried a second or more later. Listening again on
    // the bound socket raises the backlog.
    if (listening >= 0) ::listen(listening, SOMAXCONN);
    server_->set_socket_options(httplib::default_socket_options);  // drops the reference to `listening`
    origin_ = std::string(options.https ? "https" : "http") + "://" + hostForUrl(listen.host) + ":" +
              std::to_string(port_);
}

Server::~Server() { stop(); }

bool Server::run() {
    inRun_ = true;
    bool ok = true;
    if (!stopRequested_) ok = server_->listen_after_bind();
    inRun_ = false;
    return ok;
}

void Server::stop() {
    stopRequested_ = true;
    // httplib ignores a stop that comes before its accept loop has started; wait for the
    // loop (it starts at once) rather than lose the request. run() publishes inRun_ before
    // it reads stopRequested_, so one of the two sides always sees the other.
    while (inRun_ && !server_->is_running()) std::this_thread::yield();
    server_->stop();
    {
        std::unique_lock lock(gateMutex_);
        closing_ = true;
        gateChanged_.wait(lock, [this] { return inFlight_ == 0; });
    }
    // httplib waits out each idle kept-alive connection's timeout before its worker ends;
    // no request is in flight any more, so those connections can simply be closed.
    closeConnections();
}

bool Server::enter() {
    std::lock_guard lock(gateMutex_);
    if (closing_) return false;
    ++inFlight_;
    return true;
}

void Server::leave() {
    {
        std::lock_guard lock(gateMutex_);
        --inFlight_;
    }
    gateChanged_.notify_all();
}

void Server::closeConnections() {
    // httplib does not hand out its connections' sockets; they are this process's
    // connected sockets whose local port is the service's port (a client socket of this
    // process has that port as its peer's, not its own).
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        int fd = -1;
        const std::string name = entry.path().filename().string();
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
        int localPort = -1;
        if (local.ss_family == AF_INET) {
            localPort = ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
        } else if (local.ss_family == AF_INET6) {
            localPort = ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port);
        }
        if (localPort == port_) ::shutdown(fd, SHUT_RDWR);
    }
}

}  // namespace velmora::service
