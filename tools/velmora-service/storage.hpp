#pragma once
// The service's state behind one interface, kept in SQLite (sqlite_storage.hpp, the embedded
// default) or PostgreSQL (postgres_storage.hpp, for several services on one database).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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
    // disk never fills through the service and fetching, which frees space, goes on. A
    // SQLite file only: a PostgreSQL server watches its own disk.
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

// The service's state: presence reports, queued messages and stored values. Every member
// may be called from any thread at once. An implementation keeps each change in one
// transaction of its database: a change that throws changed nothing.
class Storage {
public:
    virtual ~Storage() = default;
    Storage() = default;
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // Records `user` as last seen now with `status`, for the team and application. Throws
    // RefusedError past the team's quota.
    virtual void reportPresence(std::string_view team, std::string_view app, std::string_view user,
                                std::string_view status, std::int64_t refreshRate) = 0;
    // The users reported for the team and application and not expired, the most recently
    // seen first, as long as `accept` takes them; with `onlyOnline`, only those whose last
    // report lies within their online window (see onlineWindowMs). `accept` may run under a
    // lock of the storage and must not call back.
    virtual std::vector<UserStatus> users(std::string_view team, std::string_view app, bool onlyOnline,
                                          const std::function<bool(const UserStatus&)>& accept = {}) = 0;

    // Queues a message; returns its id. Throws RefusedError past the recipient's quota.
    virtual std::int64_t queueMessage(std::string_view recipient, std::string_view sender,
                                      std::string_view text) = 0;
    // Hands over the recipient's oldest messages in order, as long as `accept` takes them,
    // and removes exactly those, in one transaction: a message is either returned here and
    // gone, or still queued. However many fetches for one recipient run at once, through
    // however many services on one database, each message is handed to one of them. A
    // message another fetch is handing over at that moment is passed by, so a fetch may
    // return later messages while an earlier one is still in flight. `accept` may run under
    // a lock of the storage and must not call back; it is copied for each try, so it keeps
    // its state inside itself.
    virtual std::vector<Message> takeMessages(std::string_view recipient,
                                              const std::function<bool(const Message&)>& accept) = 0;
    virtual std::size_t queuedMessages(std::string_view recipient) = 0;
    // Every queued message, of all recipients.
    virtual std::int64_t messagesWaiting() = 0;

    // Stores `json` (compact JSON text) under team, tag and key, replacing what was there.
    // Throws RefusedError past the team's quota.
    virtual void writeValue(std::string_view team, std::string_view tag, std::string_view key,
                            std::string_view json) = 0;
    virtual std::optional<std::string> readValue(std::string_view team, std::string_view tag,
                                                 std::string_view key) = 0;

    // What a recipient's queue or a team's data counts against its quota, in bytes.
    virtual std::int64_t recipientUsage(std::string_view recipient) = 0;
    virtual std::int64_t teamUsage(std::string_view team) = 0;

    // Whether the database answers now. Never throws.
    virtual bool healthy() noexcept = 0;

    // Any thread: from now on every operation that would change the database is refused
    // (RefusedError) before it commits; a stopping service calls it once its drain time is
    // up, so that a request still running then is rolled back rather than answered halfway.
    virtual void refuseChanges() noexcept = 0;
};

// Where the state lives: a libpq connection URI ("postgresql://..." or "postgres://...")
// selects PostgreSQL, anything else names a SQLite file (":memory:" keeps nothing). Creates
// the schema when missing. Throws StorageError when the database cannot be opened or
// reached, or holds a schema newer than this build knows.
bool isPostgresUri(std::string_view where) noexcept;
std::unique_ptr<Storage> openStorage(const std::string& where, Clock clock = systemClockMs,
                                     StorageLimits limits = {});

// The version of the tables this build writes, kept in each database's schema_version, so
// that a later build can tell what it must migrate.
inline constexpr int kSchemaVersion = 1;

// How long after its last report a user still counts as online, from the refresh rate it
// reported: twice the rate in seconds, so one late or lost report does not drop it. A rate
// of 0 or less means none was given and counts as kDefaultRefreshRate; rates above
// kMaxRefreshRate count as that.
inline constexpr std::int64_t kDefaultRefreshRate = 30;
inline constexpr std::int64_t kMaxRefreshRate = 24 * 3600;
std::int64_t onlineWindowMs(std::int64_t refreshRate) noexcept;

}  // namespace velmora::service
