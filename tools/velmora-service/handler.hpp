#pragma once
// The five operations as a pure request-to-reply function over the storage: no sockets,
// so tests and fuzzers drive it directly with any bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "storage.hpp"

namespace velmora::service {

// Bodies above this are refused before parsing.
inline constexpr std::size_t kMaxRequestBody = 1024 * 1024;
// Objects and arrays nested deeper than this are refused: the JSON library recurses when
// it writes or compares a value. The client library sends values nested up to 512 deep.
inline constexpr std::size_t kMaxNesting = 1024;
// A receiveMessage reply body (the whole JSON envelope) never exceeds this; a fetch that
// would grow past it leaves the remaining messages queued for the next fetch.
inline constexpr std::size_t kMaxMessagesReply = 64 * 1024;
// What one presence report may carry, in bytes; longer ones are refused.
inline constexpr std::size_t kMaxUserName = 256;
inline constexpr std::size_t kMaxStatus = 1024;
// A refreshStatus list reply body never exceeds this: past it, the users seen most
// recently are listed and the others left out (the library reads replies up to 64 MiB).
inline constexpr std::size_t kMaxListReply = 1024 * 1024;

// How a request ended, for the metrics and the access log.
enum class Outcome {
    ok,          // served (200)
    refused,     // a request the service cannot serve: malformed, past a limit, stopping
    denied,      // the caller's certificate does not allow it
    storeError,  // the database failed
};

struct HttpReply {
    int status = 200;
    std::string body;  // always a JSON object; its content type is application/json
    Outcome outcome = Outcome::ok;
};

// Who is calling, from the client certificate the TLS handshake verified: the user it
// names and the teams it names. A service that asks for no certificate has no caller, and
// serves every request as before.
struct Caller {
    std::string user;                // empty: the certificate names no single user
    std::vector<std::string> teams;  // in the certificate's order; repeats harmless

    bool memberOf(std::string_view team) const;
};

class Handler {
public:
    explicit Handler(Storage& storage) : storage_(storage) {}

    // `operation` is the last segment of the request path. Never throws: a request that
    // cannot be served, or a storage failure, is a 500 whose JSON object carries "Message"
    // and no "d". With a `caller`, a request that reaches beyond the caller's own inbox,
    // name and teams is refused the same way and changes nothing.
    HttpReply handle(std::string_view operation, std::string_view body, const Caller* caller = nullptr) noexcept;

    // Any thread: requests from now on change nothing, and one still running is rolled back
    // before it commits (see Storage::refuseChanges).
    void refuseChanges() noexcept { storage_.refuseChanges(); }

    // For health checks and the metrics; they never throw.
    bool storeHealthy() noexcept { return storage_.healthy(); }
    std::optional<std::int64_t> messagesWaiting() noexcept;

private:
    Storage& storage_;
};

// {"Message": message}, the body of every 500.
std::string errorBody(std::string_view message);

// The reply text made safe from the client's quote removal, which strips one enclosing
// pair of double quotes: a text that both starts and ends with one gets an extra pair,
// which is the pair that is stripped. An added quote is never fused into a neighbouring
// character (it stands next to another quote), so the client always strips exactly it.
std::string protectFromQuoteRemoval(std::string text);

// The length of `text` once written inside a JSON string (escapes counted).
std::size_t jsonEscapedSize(std::string_view text) noexcept;

// A stored value as "read" answers it: a string as its text, anything else as compact JSON.
std::string readForm(const nlohmann::json& value);

// The record key of a message: the sender, "#", and the message's id.
std::string messageKey(std::string_view sender, std::int64_t id);

}  // namespace velmora::service
