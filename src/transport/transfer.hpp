#pragma once
// One transfer as both drivers run it: the options every transfer of a target shares, the
// options of one call, and the one set of libcurl callbacks that fill in its reply, keep its
// silence clock and decide whether libcurl may send its request a second time.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <curl/curl.h>

#include "transport/silence_clock.hpp"
#include "transport/target.hpp"

namespace velmora::detail {

inline constexpr std::size_t kMaxReplyBytes = 64u << 20;  // a larger reply counts as no data

// How an exchange ended, as its caller reads it.
struct ExchangeEnd {
    // CURLE_OK: the reply arrived. The silence clock's cut-off reads as
    // CURLE_OPERATION_TIMEDOUT and a reply past kMaxReplyBytes as CURLE_FILESIZE_EXCEEDED,
    // so that one table of codes classifies every ending.
    CURLcode code = CURLE_OK;
    bool stopped = false;     // ended unsent or cut off because the process is exiting
    long httpStatus = 0;      // of the reply's head, when one arrived
    long verifyResult = 0;    // the certificate verification result (X509_V_*) of a TLS failure
    long osErrno = 0;         // the system's error number behind a failed connection, if any
    std::string errorText;    // libcurl's description of a failure; empty on success

    bool replied() const noexcept { return code == CURLE_OK && !stopped; }
};

// The sockets of one driver's connections, by local port, as libcurl opens and closes them.
// It answers two questions about the connection a transfer went out on: when the kernel
// last received data on it, and whether it ended by a reset. Used on one thread at a time,
// like the connections it records.
class ConnectionLog {
public:
    ConnectionLog() = default;
    ConnectionLog(const ConnectionLog&) = delete;
    ConnectionLog& operator=(const ConnectionLog&) = delete;

    void opened(curl_socket_t fd);
    // Notes how the connection ended; the caller closes the socket.
    void closing(curl_socket_t fd);
    // When the connection at `localPort` last received data; nullopt when unknown.
    std::optional<SilenceClock::Clock::time_point> lastReceived(long localPort);
    // Whether the connection that was at `localPort` ended by a reset (and forgets it).
    bool takeReset(long localPort);
    bool isOpen(long localPort);

private:
    curl_socket_t socketAt(long localPort);

    std::vector<curl_socket_t> unnamed_;              // opened, local port not looked up yet
    std::unordered_map<long, curl_socket_t> byPort_;  // open connections
    std::vector<long> resetPorts_;                    // closed by a reset, not yet asked about
};

// What libcurl's callbacks write for one transfer.
struct Transfer : SilenceClock::Entry {
    std::string reply;
    curl_off_t uploaded = 0;
    int requestsStarted = 0;  // by libcurl for this call: its own retries count
    long localPort = -1;      // of the connection the latest request went out on
    ConnectionLog* connections = nullptr;
    // Called once a connection for this transfer is ready, before its request is sent; runs
    // inside libcurl. Optional.
    void (*onConnected)(Transfer&) = nullptr;
    // Called when libcurl opens a socket for a new connection for this transfer, inside
    // libcurl; false ends the transfer before it connects, with no request sent. Optional.
    bool (*onOpening)(Transfer&) = nullptr;
    void* owner = nullptr;  // the driver's object for this transfer
    bool overCap = false;   // the reply outgrew kMaxReplyBytes
    // CURL_ERROR_SIZE bytes for libcurl's description of a failure, lent by the driver for
    // the time the transfer is on the wire (a call waiting for its turn needs none); may be
    // null, and then the description is the result code's.
    char* errorText = nullptr;

    // Readies the state for a new call.
    void reset(ConnectionLog& log) noexcept;
};

// The options every transfer of `target` has, whichever driver runs it; set once per
// handle and kept while the handle serves targets of the same trust: the same CAs and the
// same client certificate. (libcurl itself keeps connections and TLS sessions made with one
// client certificate from serving another.)
void configureTransfer(CURL* easy, const Target& target, CURLSH* share, ConnectionLog& connections);
bool sameTrust(const Target& a, const Target& b) noexcept;
// The options of one call on a configured handle: its URL and body, and `transfer` as the
// callbacks' target. Every pointer into a call is set for each: a reused handle still holds
// the previous call's.
void bindTransfer(CURL* easy, Transfer& transfer, const std::string& url, const std::string& body);
// Leaves no pointer to a finished call behind on a handle kept for later.
void unbindTransfer(CURL* easy);
// Fills `end`, whose code libcurl (or the driver) has set, from the finished transfer;
// reads nothing but the status on success.
void readEnd(CURL* easy, const Transfer& transfer, ExchangeEnd& end);

// When the transfer last received data according to the kernel, where that is known and
// later than its silence clock says; renews the clock then and returns true.
bool renewFromConnection(SilenceClock& clock, Transfer& transfer);

// A wait until `remaining` has passed in the whole milliseconds libcurl's poll takes,
// rounded up so that a deadline is never polled for too early.
int pollMs(std::chrono::nanoseconds remaining);

// New connections a finished transfer made.
long connectionsMade(CURL* easy);

}  // namespace velmora::detail
