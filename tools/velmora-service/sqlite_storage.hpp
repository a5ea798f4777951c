#pragma once
// The state in one SQLite database file. One connection serves every thread behind a mutex:
// each operation is a few indexed statements, far shorter than the network exchange around
// it, and a single connection is what lets ":memory:" work at all.

#include <atomic>
#include <mutex>

#include "storage.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace velmora::service {

class SqliteStorage final : public Storage {
public:
    // `path` is a file name or ":memory:". Creates the tables when missing; a new database
    // file (and so its -wal and -shm files, which take its mode) is readable by its owner
    // only.
    explicit SqliteStorage(const std::string& path, Clock clock = systemClockMs, StorageLimits limits = {});
    ~SqliteStorage() override;

    void reportPresence(std::string_view team, std::string_view app, std::string_view user, std::string_view status,
                        std::int64_t refreshRate) override;
    std::vector<UserStatus> users(std::string_view team, std::string_view app, bool onlyOnline,
                                  const std::function<bool(const UserStatus&)>& accept = {}) override;
    std::int64_t queueMessage(std::string_view recipient, std::string_view sender, std::string_view text) override;
    // On a full disk the fetch is tried twice (see keepSpare).
    std::vector<Message> takeMessages(std::string_view recipient,
                                      const std::function<bool(const Message&)>& accept) override;
    std::size_t queuedMessages(std::string_view recipient) override;
    std::int64_t messagesWaiting() override;
    void writeValue(std::string_view team, std::string_view tag, std::string_view key,
                    std::string_view json) override;
    std::optional<std::string> readValue(std::string_view team, std::string_view tag, std::string_view key) override;
    std::int64_t recipientUsage(std::string_view recipient) override;
    std::int64_t teamUsage(std::string_view team) override;
    bool healthy() noexcept override;
    void refuseChanges() noexcept override;

private:
    class Statement;
    class Transaction;
    sqlite3_stmt* prepare(const char* sql);
    void exec(const char* sql);
    [[noreturn]] void fail(const char* what, int rc);
    void close() noexcept;
    void step(sqlite3_stmt* stmt, const char* what);
    std::int64_t count(sqlite3_stmt* stmt, std::string_view recipient, const char* what);
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
    sqlite3_stmt* upsertValue_ = nullptr;
    sqlite3_stmt* selectValue_ = nullptr;
    sqlite3_stmt* selectUsage_ = nullptr;
    sqlite3_stmt* addUsage_ = nullptr;
    sqlite3_stmt* selectPresenceStatus_ = nullptr;
    sqlite3_stmt* selectValueSize_ = nullptr;
    sqlite3_stmt* freePages_ = nullptr;
    sqlite3_stmt* ping_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    sqlite3_stmt* rollback_ = nullptr;
};

}  // namespace velmora::service
