#include "support/test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace velmora::testing {

namespace {

// Counts a connection's handshake when it resumed a session, once (OpenSSL may report a
// TLS 1.3 handshake as done again after it sent its session tickets).
void countResumed(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_DONE) == 0 || SSL_session_reused(ssl) == 0) return;
    static const int counted = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    if (SSL_get_ex_data(ssl, counted) != nullptr) return;
    SSL_set_ex_data(const_cast<SSL*>(ssl), counted, const_cast<SSL*>(ssl));
    if (auto* resumed = static_cast<std::atomic<std::size_t>*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))) {
        ++*resumed;
    }
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Ends the server side of every connection accepted on `port`. The HTTP library keeps an
// idle kept-alive connection open until its keep-alive timeout even after stop(); shutting
// the socket down (not closing it: the library still owns the descriptor) ends it at once.
void shutDownAcceptedSockets(int port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
        if (local.sin_family != AF_INET || ntohs(local.sin_port) != port) continue;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;  // the listener
        ::shutdown(fd, SHUT_RDWR);
    }
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509* makeCertificate(EVP_PKEY* key, EVP_PKEY* signer, X509* issuer, const std::string& commonName,
                      bool ca, const std::string& altNames, long from, long span, long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), from);
    X509_gmtime_adj(X509_getm_notAfter(cert), from + span);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
    X509* self = issuer ? issuer : cert;
    if (ca) {
        addExtension(cert, self, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, self, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert, self, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, self, NID_ext_key_usage, "serverAuth");
        addExtension(cert, self, NID_subject_alt_name, altNames.c_str());
    }
    addExtension(cert, self, NID_subject_key_identifier, "hash");
    check(X509_sign(cert, signer, EVP_sha256()) > 0, "sign");
    return cert;
}

void writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    check(f != nullptr, "open");
    if (cert) PEM_write_X509(f, cert);
    if (key) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
}

}  // namespace

std::string Request::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

Certificates Certificates::make(const std::string& directory, const Options& options) {
    EVP_PKEY* caKey = EVP_EC_gen("P-256");
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(caKey && key, "key");
    X509* ca = makeCertificate(caKey, caKey, nullptr, "Velmora Test CA", true, "", -7200, 48 * 3600, 1);
    const std::string alt = "DNS:" + options.hostName + ",IP:" + options.ip;
    X509* cert = makeCertificate(key, caKey, ca, options.hostName, false, alt, options.validFromSeconds,
                                 options.validForSeconds, 2);
    Certificates out{directory + "/ca.pem", directory + "/server.pem", directory + "/server.key"};
    writePem(out.caFile, ca, nullptr);
    writePem(out.certFile, cert, nullptr);
    writePem(out.keyFile, nullptr, key);
    X509_free(cert);
    X509_free(ca);
    EVP_PKEY_free(key);
    EVP_PKEY_free(caKey);
    return out;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TestServer::TestServer(Scheme scheme, int workers, int keepAliveSeconds)
    : certs_(Certificates::make(dir_.path())) {
    start(scheme, workers, keepAliveSeconds);
}

TestServer::TestServer(Scheme scheme, const Certificates& certificates) : certs_(certificates) {
    start(scheme);
}

void TestServer::start(Scheme scheme, int workers, int keepAliveSeconds) {
    https_ = scheme == Scheme::https;
    if (https_) {
        auto tls = std::make_unique<httplib::SSLServer>(certs_.certFile.c_str(), certs_.keyFile.c_str());
        if (SSL_CTX* ctx = tls->ssl_context()) {
            SSL_CTX_set_app_data(ctx, &resumed_);
            SSL_CTX_set_info_callback(ctx, &countResumed);
        }
        server_ = std::move(tls);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    if (!server_->is_valid()) throw std::runtime_error("test server: invalid setup");
    server_->new_task_queue = [workers] { return new httplib::ThreadPool(static_cast<std::size_t>(workers)); };
    server_->set_tcp_nodelay(true);  // otherwise each reply waits for a delayed acknowledgement
    server_->set_keep_alive_max_count(1000000);
    // Each kept-alive connection holds a worker while it waits for its next request, so
    // there are more workers than the library opens connections in any test. The timeout
    // is long: a server that closes a connection just as a loaded client reuses it makes
    // that call fail, which is not what these tests are about. stop() ends idle ones at once.
    server_->set_keep_alive_timeout(keepAliveSeconds);

    auto serve = [this](const httplib::Request& req, httplib::Response& res) {
        Request r;
        r.method = req.method;
        r.path = req.path;
        for (const auto& [name, value] : req.headers) r.headers.emplace(lower(name), value);
        r.body = req.body;
        r.connection = req.remote_addr + ":" + std::to_string(req.remote_port);
        r.servedOn = std::this_thread::get_id();
        const Reply reply = replyFor(r);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(r);
            connections_.insert(r.connection);
        }
        changed_.notify_all();

        switch (reply.action) {
            case Reply::Action::stall:
                sleepUnlessStopping(std::chrono::hours(1));
                res.status = 500;
                return;
            case Reply::Action::respond:
                if (!sleepUnlessStopping(reply.delay)) return;
                res.status = reply.status;
                res.set_content(reply.body, reply.contentType.c_str());
                return;
            case Reply::Action::dripBody: {
                res.status = reply.status;
                const std::string body = reply.body;
                const auto delay = reply.delay;
                res.set_content_provider(body.size(), reply.contentType.c_str(),
                                         [this, body, delay](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                             if (!sleepUnlessStopping(delay)) return false;
                                             sink.write(body.data() + offset, 1);
                                             return true;
                                         });
                return;
            }
            case Reply::Action::closeAfterHeaders:
                res.status = reply.status;
                res.set_content_provider(reply.body.size() + 100, reply.contentType.c_str(),
                                         [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
                return;
        }
    };
    server_->Post(".*", serve);
    server_->Get(".*", serve);

    int listening = -1;
    server_->set_socket_options([&listening](int sock) {
        httplib::default_socket_options(sock);
        listening = sock;
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("test server: bind");
    // httplib listens with a backlog of 5: most of a burst of new connections had their
    // attempts dropped by the kernel and retried 1 s, then 2 s, 4 s, ... later, which under
    // load could outlast a test's wait. Listening again on the bound socket raises it.
    if (listening >= 0) ::listen(listening, SOMAXCONN);
    server_->set_socket_options(httplib::default_socket_options);  // drops the reference to `listening`
    // The socket listens from here on: connections queue until the accept loop runs.
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() is a no-op until the accept loop has started, so wait for it.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() { stop(); }

void TestServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    shutDownAcceptedSockets(port_);
    if (thread_.joinable()) thread_.join();
}

bool TestServer::sleepUnlessStopping(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, delay, [this] { return stopping_; });
}

std::string TestServer::origin() const {
    return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void TestServer::script(const std::string& path, Reply reply) {
    handle(path, [reply](const Request&) { return reply; });
}

void TestServer::scriptDefault(Reply reply) {
    std::lock_guard lock(mutex_);
    defaultReply_ = std::move(reply);
}

void TestServer::handle(const std::string& path, std::function<Reply(const Request&)> handler) {
    std::lock_guard lock(mutex_);
    handlers_[path] = std::move(handler);
}

Reply TestServer::replyFor(const Request& request) {
    std::function<Reply(const Request&)> handler;
    {
        std::lock_guard lock(mutex_);
        auto it = handlers_.find(request.path);
        if (it == handlers_.end()) return defaultReply_;
        handler = it->second;
    }
    return handler(request);
}

std::vector<Request> TestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t TestServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::size_t TestServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

bool TestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

RawServer::RawServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 128) != 0) {
        throw std::runtime_error("raw server: bind");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
        while (true) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) {
                    ::close(fd);
                    return;
                }
                clients_.push_back(fd);
            }
            serve_(fd);
        }
    });
}

RawServer::~RawServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    }
    ::shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    ::close(listenFd_);
    for (int fd : clients_) ::close(fd);
}

std::string RawServer::origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

void sendThenReset(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the bytes arrive first
    // A zero linger makes the close a reset. The server closes the descriptor itself when it
    // ends, so the connection is closed by putting a fresh socket in its place.
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    const int spare = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::dup2(spare, fd);
    ::close(spare);
}

std::string closedOrigin() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::runtime_error("closedOrigin: bind");
    }
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

SilentPeer::SilentPeer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 512) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("silent peer: bind");
    }
    port_ = ntohs(addr.sin_port);
}

SilentPeer::~SilentPeer() { ::close(fd_); }

std::string SilentPeer::origin(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
}

bool SilentPeer::waitForConnection(std::chrono::milliseconds timeout) const {
    pollfd waiting{fd_, POLLIN, 0};
    return ::poll(&waiting, 1, static_cast<int>(timeout.count())) == 1;
}

bool readHttpRequest(int fd, std::string* headOut, std::string* bodyOut) {
    std::string data;
    char buf[4096];
    std::size_t headEnd = std::string::npos;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        data.append(buf, static_cast<std::size_t>(n));
    }
    std::string head = data.substr(0, headEnd);
    std::size_t length = 0;
    const std::string lowerHead = lower(head);
    if (auto pos = lowerHead.find("content-length:"); pos != std::string::npos) {
        length = std::strtoul(head.c_str() + pos + 15, nullptr, 10);
    }
    std::string body = data.substr(headEnd + 4);
    while (body.size() < length) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        body.append(buf, static_cast<std::size_t>(n));
    }
    if (headOut) *headOut = std::move(head);
    if (bodyOut) *bodyOut = std::move(body);
    return true;
}

}  // namespace velmora::testing
