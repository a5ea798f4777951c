#pragma once
// The service's state in one SQLite database: presence reports, queued messages and stored
// values. One connection serves every thread behind a mutex: each operation is a few
// indexed statements, far shorter than the network exchange around it, and a single
// connection is what lets ":memory:" work at all.

#include <atomic>
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

// A write refused by a limit (a quota, the disk reserve) or because the service is
// stopping; it changed nothing.
class RefusedError : public StorageError {
public:
    using StorageError::StorageError;
};

// What one client may make the service keep. Every stored thing is counted as the bytes
// of its texts plus kRecordOverhead (the row, its index entries).
struct StorageLimits {
    // The messages queued for one recipient (sender and text).
    std::int64_t recipientQuota = 16 * 1024 * 1024;
    // What one team keeps: its stored values (tag, key, value) and its presence reports
    // (application code, user name, status).
    std::int64_t teamQuota = 16 * 1024 * 1024;
    // A user whose online window ended this long ago leaves the presence list (and the
    // database).
    std::int64_t presenceExpiryMs = 24LL * 3600 * 1000;
    // Sends, writes and reports are refused while less than this is free for the database
    // (free space on its file system plus the free pages inside the file), so that the
    // disk never fills through the service and fetching, which frees space, goes on.
    std::int64_t diskReserve = 64 * 1024 * 1024;
};
inline constexpr std::int64_t kRecordOverhead = 64;

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
    // `path` is a file name or ":memory:". Creates the tables when missing; a new database
    // file (and so its -wal and -shm files, which take its mode) is readable by its owner
    // only.
    explicit Storage(const std::string& path, Clock clock = systemClockMs, StorageLimits limits = {});
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // Records `user` as last seen now with `status`, for the team and application. Throws
    // RefusedError past the team's quota.
    void reportPresence(std::string_view team, std::string_view app, std::string_view user,
                        std::string_view status, std::int64_t refreshRate);
    // The users reported for the team and application and not expired, the most recently
    // seen first, as long as `accept` takes them; with `onlyOnline`, only those whose last
    // report lies within their online window (see onlineWindowMs). `accept` runs under the
    // storage lock and must not call back.
    std::vector<UserStatus> users(std::string_view team, std::string_view app, bool onlyOnline,
                                  const std::function<bool(const UserStatus&)>& accept = {});

    // Queues a message; returns its id. Throws RefusedError past the recipient's quota.
    std::int64_t queueMessage(std::string_view recipient, std::string_view sender,
                              std::string_view text);
    // Hands over the recipient's oldest messages in order, as long as `accept` takes them,
    // and removes exactly those, in one transaction: a message is either returned here and
    // gone, or still queued. `accept` runs under the storage lock and must not call back;
    // it is copied for each try (a fetch on a full disk is tried twice), so it keeps its
    // state inside itself.
    std::vector<Message> takeMessages(std::string_view recipient,
                                      const std::function<bool(const Message&)>& accept);
    std::size_t queuedMessages(std::string_view recipient);

    // Stores `json` (compact JSON text) under team, tag and key, replacing what was there.
    // Throws RefusedError past the team's quota.
    void writeValue(std::string_view team, std::string_view tag, std::string_view key,
                    std::string_view json);
    std::optional<std::string> readValue(std::string_view team, std::string_view tag,
                                         std::string_view key);

    // What a recipient's queue or a team's data counts against its quota, in bytes.
    std::int64_t recipientUsage(std::string_view recipient);
    std::int64_t teamUsage(std::string_view team);

    // Whether the database answers a trivial query now; for health checks.
    bool healthy() noexcept;
    // All messages queued, for every recipient. Throws StorageError.
    std::int64_t messagesWaiting();

    // Any thread: from now on every operation that would change the database is refused
    // (RefusedError) before it commits; a stopping service calls it once its drain time is
    // up, so that a request still running then is rolled back rather than answered halfway.
    void refuseChanges() noexcept;

private:
    class Statement;
    class Transaction;
    sqlite3_stmt* prepare(const char* sql);
    void exec(const char* sql);
    [[noreturn]] void fail(const char* what, int rc);
    void close() noexcept;
    void step(sqlite3_stmt* stmt, const char* what);
    std::int64_t usage(int kind, std::string_view owner);
    void addUsage(int kind, std::string_view owner, std::int64_t delta);
    // Throws RefusedError when `owner` would pass `quota` by growing `delta` bytes, when the
    // disk reserve is reached, or when changes are refused.
    void admit(int kind, std::string_view owner, std::int64_t delta, std::int64_t quota);
    // The stored size of the row a change would replace (keyed by three texts), if any.
    std::optional<std::int64_t> replacedSize(sqlite3_stmt* query, std::string_view a, std::string_view b,
                                             std::string_view c, const char* what);
    void expirePresence(std::int64_t now);
    // Makes the spare file (DB-spare, 8 MiB) when it is missing and there is room.
    void keepSpare() noexcept;

    Clock clock_;
    StorageLimits limits_;
    std::string directory_;  // of the database file; empty for ":memory:"
    std::string spare_;      // the spare file's path; empty for ":memory:"
    std::atomic<bool> refusing_{false};
    std::int64_t nextExpiryMs_ = 0;
    int lastFailure_ = 0;  // the SQLite code of the last fail()
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* upsertPresence_ = nullptr;
    sqlite3_stmt* selectUsers_ = nullptr;
    sqlite3_stmt* selectOnlineUsers_ = nullptr;
    sqlite3_stmt* insertMessage_ = nullptr;
    sqlite3_stmt* selectMessages_ = nullptr;
    sqlite3_stmt* deleteMessages_ = nullptr;
    sqlite3_stmt* countMessages_ = nullptr;
    sqlite3_stmt* countAllMessages_ = nullptr;
    sqlite3_stmt* selectOne_ = nullptr;
    sqlite3_stmt* upsertValue_ = nullptr;
    sqlite3_stmt* selectValue_ = nullptr;
    sqlite3_stmt* selectUsage_ = nullptr;
    sqlite3_stmt* addUsage_ = nullptr;
    sqlite3_stmt* selectPresenceStatus_ = nullptr;
    sqlite3_stmt* selectValueSize_ = nullptr;
    sqlite3_stmt* freePages_ = nullptr;
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
