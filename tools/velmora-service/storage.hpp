#pragma once
// The service's state in one SQLite database: presence reports, queued messages and stored
// values. One connection serves every thread behind a mutex: each operation is a few
// indexed statements, far shorter than the network exchange around it, and a single
// connection is what lets ":memory:" work at all.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace velmora::service {

// Any failure of the database (cannot open, disk full, locked past the busy timeout).
// The operation that raised it changed nothing.
class StorageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Milliseconds since the Unix epoch. Injectable so that presence can be tested without
// waiting.
using Clock = std::function<std::int64_t()>;
std::int64_t systemClockMs();

struct UserStatus {
    std::string user;
    std::string status;
};

struct Message {
    std::int64_t id = 0;  // unique for the database's life, rising in the order of sending
    std::string sender;
    std::string text;
};

class Storage {
public:
    // `path` is a file name or ":memory:". Creates the tables when missing.
    explicit Storage(const std::string& path, Clock clock = systemClockMs);
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // Records `user` as last seen now with `status`, for the team and application.
    void reportPresence(std::string_view team, std::string_view app, std::string_view user,
                        std::string_view status, std::int64_t refreshRate);
    // The users reported for the team and application, by name; with `onlyOnline`, only
    // those whose last report lies within their online window (see onlineWindowMs).
    std::vector<UserStatus> users(std::string_view team, std::string_view app, bool onlyOnline);

    // Queues a message; returns its id.
    std::int64_t queueMessage(std::string_view recipient, std::string_view sender,
                              std::string_view text);
    // Hands over the recipient's oldest messages in order, as long as `accept` takes them,
    // and removes exactly those, in one transaction: a message is either returned here and
    // gone, or still queued. `accept` runs under the storage lock and must not call back.
    std::vector<Message> takeMessages(std::string_view recipient,
                                      const std::function<bool(const Message&)>& accept);
    std::size_t queuedMessages(std::string_view recipient);

    // Stores `json` (compact JSON text) under team, tag and key, replacing what was there.
    void writeValue(std::string_view team, std::string_view tag, std::string_view key,
                    std::string_view json);
    std::optional<std::string> readValue(std::string_view team, std::string_view tag,
                                         std::string_view key);

private:
    class Statement;
    sqlite3_stmt* prepare(const char* sql);
    void exec(const char* sql);
    [[noreturn]] void fail(const char* what, int rc);
    void close() noexcept;

    Clock clock_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* upsertPresence_ = nullptr;
    sqlite3_stmt* selectUsers_ = nullptr;
    sqlite3_stmt* selectOnlineUsers_ = nullptr;
    sqlite3_stmt* insertMessage_ = nullptr;
    sqlite3_stmt* selectMessages_ = nullptr;
    sqlite3_stmt* deleteMessages_ = nullptr;
    sqlite3_stmt* countMessages_ = nullptr;
    sqlite3_stmt* upsertValue_ = nullptr;
    sqlite3_stmt* selectValue_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    sqlite3_stmt* rollback_ = nullptr;
};

// How long after its last report a user still counts as online, from the refresh rate it
// reported: twice the rate in seconds, so one late or lost report does not drop it. A rate
// of 0 or less means none was given and counts as kDefaultRefreshRate; rates above
// kMaxRefreshRate count as that.
inline constexpr std::int64_t kDefaultRefreshRate = 30;
inline constexpr std::int64_t kMaxRefreshRate = 24 * 3600;
std::int64_t onlineWindowMs(std::int64_t refreshRate) noexcept;

}  // namespace velmora::service
