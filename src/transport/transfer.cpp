// The options and libcurl callbacks of every transfer, and the log of a driver's
// connections that the silence clock and the retry decision ask about.

#include "transport/transfer.hpp"

#include "transport/tls_sessions.hpp"

#include <algorithm>
#include <climits>

#if defined(__linux__)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif
#include <unistd.h>

namespace velmora::detail {

namespace {

using Clock = SilenceClock::Clock;

constexpr curl_off_t kProgressBodyBytes = 64 * 1024;  // larger bodies report upload progress

// The one header the library adds. "Expect:" with no value stops libcurl from waiting for
// a 100 Continue that services of this kind never send.
curl_slist* requestHeaders() {
    static curl_slist* const headers = [] {
        curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
        return curl_slist_append(list, "Expect:");
    }();
    return headers;
}

// Appends a piece of a reply, within the cap; false when the reply is too large or memory
// runs out, which ends the exchange without data.
bool appendReply(Transfer& t, const char* data, std::size_t n) noexcept {
    if (t.reply.size() + n > kMaxReplyBytes) {
        t.overCap = true;
        return false;
    }
    try {
        t.reply.append(data, n);
    } catch (...) {
        return false;
    }
    return true;
}

std::size_t onData(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (!appendReply(t, data, n)) return CURL_WRITEFUNC_ERROR;
    SilenceClock::touch(t);
    return n;
}

std::size_t onHeader(char*, std::size_t size, std::size_t count, void* user) {
    SilenceClock::touch(*static_cast<Transfer*>(user));
    return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto& t = *static_cast<Transfer*>(user);
    if (ulnow != t.uploaded) {
        t.uploaded = ulnow;
        SilenceClock::touch(t);
    }
    return 0;
}

// Before each request libcurl sends for the transfer. libcurl sends a request once more by
// itself when a reused connection ended without a byte of reply, whether or not the service
// had read it; the service's operations are not idempotent, so that second request goes
// only where the service cannot have read the first: its end of the connection was reset
// with the request unread, or the connection is still open (a stream the server refused).
int onRequest(void* user, char*, char*, int, int localPort) {
    auto& t = *static_cast<Transfer*>(user);
    if (++t.requestsStarted > 1) {
        const bool unread = t.requestsStarted == 2 && t.connections != nullptr &&
                            (t.connections->takeReset(t.localPort) || t.connections->isOpen(t.localPort));
        if (!unread) return CURL_PREREQFUNC_ABORT;
    }
    t.localPort = localPort;
    if (t.onConnected != nullptr) t.onConnected(t);
    return CURL_PREREQFUNC_OK;
}

int onSocketOpened(void* user, curl_socket_t fd, curlsocktype) {
    auto& t = *static_cast<Transfer*>(user);
    if (t.onOpening != nullptr && !t.onOpening(t)) return CURL_SOCKOPT_ERROR;
    if (t.connections != nullptr) t.connections->opened(fd);
    return CURL_SOCKOPT_OK;
}

int onSocketClosing(void* user, curl_socket_t fd) {
    static_cast<ConnectionLog*>(user)->closing(fd);
    return ::close(fd);
}

#if defined(__linux__)
bool tcpInfo(curl_socket_t fd, tcp_info& info) {
    socklen_t size = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0;
}

long localPortOf(curl_socket_t fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return -1;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
    return -1;
}
#endif

}  // namespace

void ConnectionLog::opened(curl_socket_t fd) {
#if defined(__linux__)
    // Its local port is known once it has connected; looked up when first asked for.
    unnamed_.push_back(fd);
#else
    (void)fd;
#endif
}

void ConnectionLog::closing(curl_socket_t fd) {
#if defined(__linux__)
    std::erase(unnamed_, fd);
    const long port = localPortOf(fd);
    const auto it = byPort_.find(port);
    if (it != byPort_.end() && it->second == fd) byPort_.erase(it);
    tcp_info info{};
    // Closed by a reset: the peer closed its end with bytes of ours unread. (A socket that
    // never connected has port 0.)
    if (port > 0 && tcpInfo(fd, info) && info.tcpi_state == TCP_CLOSE) resetPorts_.push_back(port);
    // Only the latest few matter: a retry asks right after its connection closed.
    if (resetPorts_.size() > 64) resetPorts_.erase(resetPorts_.begin());
#else
    (void)fd;
#endif
}

curl_socket_t ConnectionLog::socketAt(long localPort) {
    if (const auto it = byPort_.find(localPort); it != byPort_.end()) return it->second;
#if defined(__linux__)
    for (auto it = unnamed_.begin(); it != unnamed_.end(); ++it) {
        const long port = localPortOf(*it);
        if (port <= 0) continue;  // not connected yet
        byPort_[port] = *it;
        const curl_socket_t fd = *it;
        unnamed_.erase(it);
        if (port == localPort) return fd;
        return socketAt(localPort);
    }
#endif
    return CURL_SOCKET_BAD;
}

std::optional<Clock::time_point> ConnectionLog::lastReceived(long localPort) {
#if defined(__linux__)
    const curl_socket_t fd = socketAt(localPort);
    tcp_info info{};
    if (fd == CURL_SOCKET_BAD || !tcpInfo(fd, info)) return std::nullopt;
    return Clock::now() - std::chrono::milliseconds(info.tcpi_last_data_recv);
#else
    (void)localPort;
    return std::nullopt;
#endif
}

bool ConnectionLog::takeReset(long localPort) {
    const auto it = std::find(resetPorts_.begin(), resetPorts_.end(), localPort);
    if (it == resetPorts_.end()) return false;
    resetPorts_.erase(it);
    return true;
}

bool ConnectionLog::isOpen(long localPort) { return socketAt(localPort) != CURL_SOCKET_BAD; }

void Transfer::reset(ConnectionLog& log) noexcept {
    reply.clear();
    uploaded = 0;
    requestsStarted = 0;
    localPort = -1;
    connections = &log;
    overCap = false;
}

void configureTransfer(CURL* easy, const Target& t, CURLSH* share, ConnectionLog& connections) {
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, requestHeaders());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    // Verification stays on; a CA file adds trust for a private service.
    if (!t.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, t.caFile.c_str());
    if (!t.clientCertificate.empty()) {
        curl_easy_setopt(easy, CURLOPT_SSLCERT, t.clientCertificate.c_str());
        curl_easy_setopt(easy, CURLOPT_SSLKEY, t.clientKey.empty() ? nullptr : t.clientKey.c_str());
        // Without a passphrase OpenSSL asks for one on the terminal and waits: an encrypted
        // key must fail the call instead.
        curl_easy_setopt(easy, CURLOPT_KEYPASSWD, "");
    }
    keepSessionsResumable(easy);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onData);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &onRequest);
    // A connection reports to the log of the handle that opened it, for as long as it lives;
    // the transfer that opens it is told first.
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &onSocketOpened);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &onSocketClosing);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, &connections);
}

bool sameTrust(const Target& a, const Target& b) noexcept {
    return a.caFile == b.caFile && a.clientCertificate == b.clientCertificate && a.clientKey == b.clientKey;
}

void bindTransfer(CURL* easy, Transfer& t, const std::string& url, const std::string& body) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &t);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, &t);
    if (t.errorText != nullptr) t.errorText[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.errorText);
    // A large body may take longer than the timeout to upload while still moving.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, static_cast<curl_off_t>(body.size()) > kProgressBodyBytes ? 0L : 1L);
}

void unbindTransfer(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
}

void readEnd(CURL* easy, const Transfer& t, ExchangeEnd& end) {
    long status = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) end.httpStatus = status;
    if (end.code == CURLE_OK) return;
    // The write callback refuses a reply past the cap with a write error.
    if (t.overCap) end.code = CURLE_FILESIZE_EXCEEDED;
    const bool described = t.errorText != nullptr && t.errorText[0] != '\0';
    end.errorText = described ? t.errorText : curl_easy_strerror(end.code);
    long number = 0;
    if (curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &number) == CURLE_OK) end.verifyResult = number;
    if (curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &number) == CURLE_OK) end.osErrno = number;
}

bool renewFromConnection(SilenceClock& clock, Transfer& t) {
    // libcurl reports a reply's head line by line: bytes of a line still arriving show only
    // in the connection, which the kernel counts.
    if (t.connections == nullptr || t.localPort < 0) return false;
    // The kernel counts in ticks of a few milliseconds: only later by more than that counts.
    const auto received = t.connections->lastReceived(t.localPort);
    if (!received || *received <= t.lastActivity + std::chrono::milliseconds(10)) return false;
    clock.renew(t, *received);
    return true;
}

int pollMs(std::chrono::nanoseconds remaining) {
    if (remaining <= std::chrono::nanoseconds::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

long connectionsMade(CURL* easy) {
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    return connects;
}

}  // namespace velmora::detail
