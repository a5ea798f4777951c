#include "storage.hpp"

#include <algorithm>
#include <chrono>

#include <sqlite3.h>

namespace velmora::service {

namespace {

// Every text is stored as a blob: texts may hold NUL characters (a JSON string can), and
// SQLite leaves text with embedded NULs undefined. Blob comparison is a byte comparison,
// which is exactly the equality the service needs.
void bind(sqlite3_stmt* stmt, int index, std::string_view text) {
    // A null pointer would bind SQL NULL; an empty blob needs a real one.
    static const char empty = 0;
    sqlite3_bind_blob(stmt, index, text.empty() ? &empty : text.data(), static_cast<int>(text.size()),
                      SQLITE_STATIC);
}

std::string column(sqlite3_stmt* stmt, int index) {
    const void* data = sqlite3_column_blob(stmt, index);
    const int size = sqlite3_column_bytes(stmt, index);
    if (data == nullptr || size <= 0) return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS presence (
    team BLOB NOT NULL, app BLOB NOT NULL, user BLOB NOT NULL,
    status BLOB NOT NULL, refresh_rate INTEGER NOT NULL,
    seen_ms INTEGER NOT NULL, window_ms INTEGER NOT NULL,
    PRIMARY KEY (team, app, user)) WITHOUT ROWID;
-- AUTOINCREMENT: an id is never reused, even after the newest message was fetched, so a
-- message's id stays unique for the life of the database.
CREATE TABLE IF NOT EXISTS messages (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    recipient BLOB NOT NULL, sender BLOB NOT NULL, text BLOB NOT NULL,
    sent_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS messages_by_recipient ON messages (recipient, id);
CREATE TABLE IF NOT EXISTS store (
    team BLOB NOT NULL, tag BLOB NOT NULL, key BLOB NOT NULL, value BLOB NOT NULL,
    PRIMARY KEY (team, tag, key)) WITHOUT ROWID;
)sql";

}  // namespace

std::int64_t systemClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t onlineWindowMs(std::int64_t refreshRate) noexcept {
    const std::int64_t rate = refreshRate <= 0 ? kDefaultRefreshRate : std::min(refreshRate, kMaxRefreshRate);
    return 2 * rate * 1000;
}

// Resets and unbinds a prepared statement when the scope ends, on every path, so the next
// user finds it clean and no read transaction stays open behind it.
class Storage::Statement {
public:
    explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Statement() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_;
};

Storage::Storage(const std::string& path, Clock clock) : clock_(std::move(clock)) {
    if (!clock_) clock_ = systemClockMs;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw StorageError("cannot open database " + path + ": " + message);
    }
    try {
        // Another process on the same file (a second service, an inspecting shell) may hold
        // the lock for a moment; wait for it rather than failing at once.
        sqlite3_busy_timeout(db_, 5000);
        exec("PRAGMA journal_mode=WAL");
        // FULL: a "true" for a sent message or a written value means it is on disk.
        exec("PRAGMA synchronous=FULL");
        exec(kSchema);
        upsertPresence_ = prepare(
            "INSERT INTO presence (team, app, user, status, refresh_rate, seen_ms, window_ms)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
            " ON CONFLICT (team, app, user) DO UPDATE SET status = excluded.status,"
            " refresh_rate = excluded.refresh_rate, seen_ms = excluded.seen_ms,"
            " window_ms = excluded.window_ms");
        selectUsers_ = prepare("SELECT user, status FROM presence WHERE team = ?1 AND app = ?2 ORDER BY user");
        selectOnlineUsers_ = prepare(
            "SELECT user, status FROM presence WHERE team = ?1 AND app = ?2"
            " AND seen_ms + window_ms >= ?3 ORDER BY user");
        insertMessage_ = prepare("INSERT INTO messages (recipient, sender, text, sent_ms) VALUES (?1, ?2, ?3, ?4)");
        selectMessages_ = prepare("SELECT id, sender, text FROM messages WHERE recipient = ?1 ORDER BY id");
        deleteMessages_ = prepare("DELETE FROM messages WHERE recipient = ?1 AND id <= ?2");
        countMessages_ = prepare("SELECT count(*) FROM messages WHERE recipient = ?1");
        upsertValue_ = prepare(
            "INSERT INTO store (team, tag, key, value) VALUES (?1, ?2, ?3, ?4)"
            " ON CONFLICT (team, tag, key) DO UPDATE SET value = excluded.value");
        selectValue_ = prepare("SELECT value FROM store WHERE team = ?1 AND tag = ?2 AND key = ?3");
        // IMMEDIATE takes the write lock before reading, so two processes on one file
        // cannot both read the same messages and then hand them out twice.
        begin_ = prepare("BEGIN IMMEDIATE");
        commit_ = prepare("COMMIT");
        rollback_ = prepare("ROLLBACK");
    } catch (...) {
        close();
        throw;
    }
}

Storage::~Storage() { close(); }

void Storage::close() noexcept {
    for (sqlite3_stmt* stmt : {upsertPresence_, selectUsers_, selectOnlineUsers_, insertMessage_, selectMessages_,
                               deleteMessages_, countMessages_, upsertValue_, selectValue_, begin_, commit_,
                               rollback_}) {
        sqlite3_finalize(stmt);
    }
    upsertPresence_ = selectUsers_ = selectOnlineUsers_ = insertMessage_ = selectMessages_ = deleteMessages_ =
        countMessages_ = upsertValue_ = selectValue_ = begin_ = commit_ = rollback_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
}

void Storage::fail(const char* what, int rc) {
    throw StorageError(std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)));
}

sqlite3_stmt* Storage::prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) fail("prepare", rc);
    return stmt;
}

void Storage::exec(const char* sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw StorageError(std::string("database setup: ") + message);
    }
}

void Storage::reportPresence(std::string_view team, std::string_view app, std::string_view user,
                             std::string_view status, std::int64_t refreshRate) {
    std::lock_guard lock(mutex_);
    Statement s(upsertPresence_);
    bind(s.get(), 1, team);
    bind(s.get(), 2, app);
    bind(s.get(), 3, user);
    bind(s.get(), 4, status);
    sqlite3_bind_int64(s.get(), 5, refreshRate);
    sqlite3_bind_int64(s.get(), 6, clock_());
    sqlite3_bind_int64(s.get(), 7, onlineWindowMs(refreshRate));
    if (const int rc = sqlite3_step(s.get()); rc != SQLITE_DONE) fail("presence", rc);
}

std::vector<UserStatus> Storage::users(std::string_view team, std::string_view app, bool onlyOnline) {
    std::lock_guard lock(mutex_);
    Statement s(onlyOnline ? selectOnlineUsers_ : selectUsers_);
    bind(s.get(), 1, team);
    bind(s.get(), 2, app);
    if (onlyOnline) sqlite3_bind_int64(s.get(), 3, clock_());
    std::vector<UserStatus> out;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) out.push_back({column(s.get(), 0), column(s.get(), 1)});
    if (rc != SQLITE_DONE) fail("users", rc);
    return out;
}

std::int64_t Storage::queueMessage(std::string_view recipient, std::string_view sender, std::string_view text) {
    std::lock_guard lock(mutex_);
    Statement s(insertMessage_);
    bind(s.get(), 1, recipient);
    bind(s.get(), 2, sender);
    bind(s.get(), 3, text);
    sqlite3_bind_int64(s.get(), 4, clock_());
    if (const int rc = sqlite3_step(s.get()); rc != SQLITE_DONE) fail("queue message", rc);
    return sqlite3_last_insert_rowid(db_);
}

std::vector<Message> Storage::takeMessages(std::string_view recipient,
                                           const std::function<bool(const Message&)>& accept) {
    std::lock_guard lock(mutex_);
    {
        Statement b(begin_);
        if (const int rc = sqlite3_step(b.get()); rc != SQLITE_DONE) fail("begin", rc);
    }
    std::vector<Message> taken;
    try {
        {
            Statement s(selectMessages_);
            bind(s.get(), 1, recipient);
            int rc;
            while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
                Message m{sqlite3_column_int64(s.get(), 0), column(s.get(), 1), column(s.get(), 2)};
                if (!accept(m)) break;
                taken.push_back(std::move(m));
            }
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail("fetch messages", rc);
        }
        if (!taken.empty()) {
            // Ids rise with sending and the fetch takes a prefix in id order, so "up to the
            // last one taken" is exactly the taken set.
            Statement d(deleteMessages_);
            bind(d.get(), 1, recipient);
            sqlite3_bind_int64(d.get(), 2, taken.back().id);
            if (const int rc = sqlite3_step(d.get()); rc != SQLITE_DONE) fail("remove messages", rc);
        }
        Statement c(commit_);
        if (const int rc = sqlite3_step(c.get()); rc != SQLITE_DONE) fail("commit", rc);
    } catch (...) {
        // Nothing was handed over: the messages stay queued for the next fetch.
        Statement r(rollback_);
        sqlite3_step(r.get());
        throw;
    }
    return taken;
}

std::size_t Storage::queuedMessages(std::string_view recipient) {
    std::lock_guard lock(mutex_);
    Statement s(countMessages_);
    bind(s.get(), 1, recipient);
    if (const int rc = sqlite3_step(s.get()); rc != SQLITE_ROW) fail("count messages", rc);
    return static_cast<std::size_t>(sqlite3_column_int64(s.get(), 0));
}

void Storage::writeValue(std::string_view team, std::string_view tag, std::string_view key, std::string_view json) {
    std::lock_guard lock(mutex_);
    Statement s(upsertValue_);
    bind(s.get(), 1, team);
    bind(s.get(), 2, tag);
    bind(s.get(), 3, key);
    bind(s.get(), 4, json);
    if (const int rc = sqlite3_step(s.get()); rc != SQLITE_DONE) fail("write", rc);
}

std::optional<std::string> Storage::readValue(std::string_view team, std::string_view tag, std::string_view key) {
    std::lock_guard lock(mutex_);
    Statement s(selectValue_);
    bind(s.get(), 1, team);
    bind(s.get(), 2, tag);
    bind(s.get(), 3, key);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) fail("read", rc);
    return column(s.get(), 0);
}

}  // namespace velmora::service
