#include "sqlite_storage.hpp"
#include "storage_internal.hpp"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

#include <sqlite3.h>

namespace velmora::service {

using namespace detail;

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
CREATE INDEX IF NOT EXISTS presence_by_seen ON presence (team, app, seen_ms);
-- What each recipient (kind 0) and team (kind 1) counts against its quota; kept in the
-- transaction of every change, so two services on one file count alike.
CREATE TABLE IF NOT EXISTS usage (
    kind INTEGER NOT NULL, owner BLOB NOT NULL, bytes INTEGER NOT NULL,
    PRIMARY KEY (kind, owner)) WITHOUT ROWID;
-- The layout's version, for a later build to migrate from (storage.hpp, kSchemaVersion).
CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM schema_version);
)sql";

// The usage table made again from the data, at every start: a database written by an
// earlier version has none, and one edited by hand may disagree.
const char* const kRecount = R"sql(
BEGIN IMMEDIATE;
DELETE FROM usage;
INSERT INTO usage (kind, owner, bytes)
    SELECT 0, recipient, sum(length(sender) + length(text) + 64) FROM messages GROUP BY recipient;
INSERT INTO usage (kind, owner, bytes)
    SELECT 1, team, sum(bytes) FROM (
        SELECT team, length(tag) + length(key) + length(value) + 64 AS bytes FROM store
        UNION ALL
        SELECT team, length(app) + length(user) + length(status) + 64 FROM presence)
    GROUP BY team;
COMMIT;
)sql";

// The spare file beside the database: room a fetch can be given on a full disk (a WAL's
// worth: the automatic checkpoint keeps the WAL near 4 MiB).
constexpr off_t kSpareBytes = 8 * 1024 * 1024;

}  // namespace

// Resets and unbinds a prepared statement when the scope ends, on every path, so the next
// user finds it clean and no read transaction stays open behind it.
class SqliteStorage::Statement {
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

// One BEGIN IMMEDIATE ... COMMIT under the storage lock; rolled back unless committed.
class SqliteStorage::Transaction {
public:
    explicit Transaction(SqliteStorage& s) : s_(s) {
        Statement b(s_.begin_);
        if (const int rc = sqlite3_step(b.get()); rc != SQLITE_DONE) s_.fail("begin", rc);
    }
    ~Transaction() {
        if (open_) {
            Statement r(s_.rollback_);
            sqlite3_step(r.get());
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        // The last moment a stopping service can still keep a change from happening.
        if (s_.refusing_) throw RefusedError("the service is stopping");
        Statement c(s_.commit_);
        if (const int rc = sqlite3_step(c.get()); rc != SQLITE_DONE) s_.fail("commit", rc);
        open_ = false;
    }

private:
    SqliteStorage& s_;
    bool open_ = true;
};

SqliteStorage::SqliteStorage(const std::string& path, Clock clock, StorageLimits limits)
    : clock_(std::move(clock)), limits_(limits) {
    if (!clock_) clock_ = systemClockMs;
    const bool inMemory = path.empty() || path == ":memory:";
    if (!inMemory) {
        // SQLite makes a new database file 0644 (less the umask) and gives its -wal and -shm
        // files the database's mode: made here first, all three are the owner's alone. An
        // existing file keeps the mode its owner gave it.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
        } else if (errno != EEXIST) {
            throw StorageError("cannot open database " + path + ": " + std::strerror(errno));
        }
        directory_ = std::filesystem::absolute(path).parent_path().string();
        spare_ = path + "-spare";
        keepSpare();
    }
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
        {
            std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> v(prepare("SELECT max(version) FROM schema_version"),
                                                                    sqlite3_finalize);
            if (const int rc = sqlite3_step(v.get()); rc != SQLITE_ROW) fail("schema version", rc);
            if (const auto version = sqlite3_column_int64(v.get(), 0); version > kSchemaVersion) {
                throw StorageError("the database " + path + " has schema version " + std::to_string(version) +
                                   ", newer than this service's " + std::to_string(kSchemaVersion));
            }
        }
        exec(kRecount);
        upsertPresence_ = prepare(
            "INSERT INTO presence (team, app, user, status, refresh_rate, seen_ms, window_ms)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
            " ON CONFLICT (team, app, user) DO UPDATE SET status = excluded.status,"
            " refresh_rate = excluded.refresh_rate, seen_ms = excluded.seen_ms,"
            " window_ms = excluded.window_ms");
        // ?4: the expiry; expired reports are left out even before the sweep removes them.
        selectUsers_ = prepare(
            "SELECT user, status FROM presence WHERE team = ?1 AND app = ?2"
            " AND seen_ms + window_ms + ?4 >= ?3 ORDER BY seen_ms DESC, user");
        selectOnlineUsers_ = prepare(
            "SELECT user, status FROM presence WHERE team = ?1 AND app = ?2"
            " AND seen_ms + window_ms >= ?3 AND seen_ms + window_ms + ?4 >= ?3 ORDER BY seen_ms DESC, user");
        insertMessage_ = prepare("INSERT INTO messages (recipient, sender, text, sent_ms) VALUES (?1, ?2, ?3, ?4)");
        selectMessages_ = prepare("SELECT id, sender, text FROM messages WHERE recipient = ?1 ORDER BY id");
        deleteMessages_ = prepare("DELETE FROM messages WHERE recipient = ?1 AND id <= ?2");
        countMessages_ = prepare("SELECT count(*) FROM messages WHERE recipient = ?1");
        countAllMessages_ = prepare("SELECT count(*) FROM messages");
        // Reads the file (its schema page), so a database that went away does not look healthy.
        ping_ = prepare("SELECT 1 FROM sqlite_schema LIMIT 1");
        upsertValue_ = prepare(
            "INSERT INTO store (team, tag, key, value) VALUES (?1, ?2, ?3, ?4)"
            " ON CONFLICT (team, tag, key) DO UPDATE SET value = excluded.value");
        selectValue_ = prepare("SELECT value FROM store WHERE team = ?1 AND tag = ?2 AND key = ?3");
        // IMMEDIATE takes the write lock before reading, so two processes on one file
        // cannot both read the same messages and then hand them out twice.
        selectUsage_ = prepare("SELECT bytes FROM usage WHERE kind = ?1 AND owner = ?2");
        addUsage_ = prepare(
            "INSERT INTO usage (kind, owner, bytes) VALUES (?1, ?2, ?3)"
            " ON CONFLICT (kind, owner) DO UPDATE SET bytes = bytes + excluded.bytes");
        selectPresenceStatus_ = prepare(
            "SELECT length(status) FROM presence WHERE team = ?1 AND app = ?2 AND user = ?3");
        selectValueSize_ = prepare("SELECT length(value) FROM store WHERE team = ?1 AND tag = ?2 AND key = ?3");
        freePages_ = prepare("SELECT (SELECT freelist_count FROM pragma_freelist_count) *"
                             " (SELECT page_size FROM pragma_page_size)");
        begin_ = prepare("BEGIN IMMEDIATE");
        commit_ = prepare("COMMIT");
        rollback_ = prepare("ROLLBACK");
    } catch (...) {
        close();
        throw;
    }
}

SqliteStorage::~SqliteStorage() { close(); }

void SqliteStorage::close() noexcept {
    for (sqlite3_stmt** stmt :
         {&upsertPresence_, &selectUsers_, &selectOnlineUsers_, &insertMessage_, &selectMessages_, &deleteMessages_,
          &countMessages_, &countAllMessages_, &upsertValue_, &selectValue_, &selectUsage_, &addUsage_, &selectPresenceStatus_,
          &selectValueSize_, &freePages_, &ping_, &begin_, &commit_, &rollback_}) {
        sqlite3_finalize(*stmt);
        *stmt = nullptr;
    }
    sqlite3_close(db_);
    db_ = nullptr;
}

void SqliteStorage::fail(const char* what, int rc) {
    lastFailure_ = rc;
    throw StorageError(std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)));
}

sqlite3_stmt* SqliteStorage::prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) fail("prepare", rc);
    return stmt;
}

void SqliteStorage::exec(const char* sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw StorageError(std::string("database setup: ") + message);
    }
}

void SqliteStorage::step(sqlite3_stmt* stmt, const char* what) {
    if (const int rc = sqlite3_step(stmt); rc != SQLITE_DONE) fail(what, rc);
}

void SqliteStorage::refuseChanges() noexcept { refusing_ = true; }

void SqliteStorage::keepSpare() noexcept {
    if (::access(spare_.c_str(), F_OK) == 0) return;
    const int fd = ::open(spare_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const bool made = ::posix_fallocate(fd, 0, kSpareBytes) == 0;
    ::close(fd);
    if (!made) ::unlink(spare_.c_str());  // no room now; tried again after the next rescue
}

std::int64_t SqliteStorage::usage(int kind, std::string_view owner) {
    Statement s(selectUsage_);
    sqlite3_bind_int(s.get(), 1, kind);
    bind(s.get(), 2, owner);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) fail("usage", rc);
    return sqlite3_column_int64(s.get(), 0);
}

void SqliteStorage::addUsage(int kind, std::string_view owner, std::int64_t delta) {
    if (delta == 0) return;
    Statement s(addUsage_);
    sqlite3_bind_int(s.get(), 1, kind);
    bind(s.get(), 2, owner);
    sqlite3_bind_int64(s.get(), 3, delta);
    step(s.get(), "usage");
}

void SqliteStorage::admit(int kind, std::string_view owner, std::int64_t delta, std::int64_t quota) {
    if (refusing_) throw RefusedError("the service is stopping");
    if (delta <= 0) return;  // what shrinks or stays the same frees or keeps space
    if (usage(kind, owner) + delta > quota) {
        refuseQuota(kind, quota);
    }
    if (directory_.empty() || limits_.diskReserve <= 0) return;
    struct statvfs fs {};
    if (::statvfs(directory_.c_str(), &fs) != 0) return;  // cannot tell: SQLite reports a full disk itself
    std::int64_t available = static_cast<std::int64_t>(fs.f_bavail) * static_cast<std::int64_t>(fs.f_frsize);
    {
        Statement f(freePages_);
        if (sqlite3_step(f.get()) == SQLITE_ROW) available += sqlite3_column_int64(f.get(), 0);
    }
    if (available - delta < limits_.diskReserve) {
        throw RefusedError("the disk is nearly full (less than " + mib(limits_.diskReserve) +
                           " free for the database); messages can still be fetched");
    }
}

std::optional<std::int64_t> SqliteStorage::replacedSize(sqlite3_stmt* query, std::string_view a, std::string_view b,
                                                  std::string_view c, const char* what) {
    Statement old(query);
    bind(old.get(), 1, a);
    bind(old.get(), 2, b);
    bind(old.get(), 3, c);
    const int rc = sqlite3_step(old.get());
    if (rc == SQLITE_ROW) return sqlite3_column_int64(old.get(), 0);
    if (rc != SQLITE_DONE) fail(what, rc);
    return std::nullopt;
}

void SqliteStorage::expirePresence(std::int64_t now) {
    if (now < nextExpiryMs_) return;
    nextExpiryMs_ = now + kExpirySweepMs;
    // Rare (once a minute at most), so prepared here rather than kept.
    auto run = [&](const char* sql, auto&& row) {
        sqlite3_stmt* raw = nullptr;
        if (const int rc = sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr); rc != SQLITE_OK) fail("expire presence", rc);
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
        sqlite3_bind_int64(raw, 1, limits_.presenceExpiryMs);
        sqlite3_bind_int64(raw, 2, now);
        int rc;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
        if (rc != SQLITE_DONE) fail("expire presence", rc);
    };
    std::vector<std::pair<std::string, std::int64_t>> freed;
    run("SELECT team, sum(length(app) + length(user) + length(status) + 64) FROM presence"
        " WHERE seen_ms + window_ms + ?1 < ?2 GROUP BY team",
        [&](sqlite3_stmt* s) { freed.emplace_back(column(s, 0), sqlite3_column_int64(s, 1)); });
    if (freed.empty()) return;
    run("DELETE FROM presence WHERE seen_ms + window_ms + ?1 < ?2", [](sqlite3_stmt*) {});
    for (const auto& [team, bytes] : freed) addUsage(kTeam, team, -bytes);
}

void SqliteStorage::reportPresence(std::string_view team, std::string_view app, std::string_view user,
                             std::string_view status, std::int64_t refreshRate) {
    std::lock_guard lock(mutex_);
    const std::int64_t now = clock_();
    Transaction t(*this);
    expirePresence(now);
    std::int64_t delta = cost(app.size(), user.size(), status.size());
    if (const auto old = replacedSize(selectPresenceStatus_, team, app, user, "presence")) {
        delta -= cost(app.size(), user.size(), static_cast<std::size_t>(*old));
    }
    admit(kTeam, team, delta, limits_.teamQuota);
    Statement s(upsertPresence_);
    bind(s.get(), 1, team);
    bind(s.get(), 2, app);
    bind(s.get(), 3, user);
    bind(s.get(), 4, status);
    sqlite3_bind_int64(s.get(), 5, refreshRate);
    sqlite3_bind_int64(s.get(), 6, now);
    sqlite3_bind_int64(s.get(), 7, onlineWindowMs(refreshRate));
    step(s.get(), "presence");
    addUsage(kTeam, team, delta);
    t.commit();
}

std::vector<UserStatus> SqliteStorage::users(std::string_view team, std::string_view app, bool onlyOnline,
                                       const std::function<bool(const UserStatus&)>& accept) {
    std::lock_guard lock(mutex_);
    Statement s(onlyOnline ? selectOnlineUsers_ : selectUsers_);
    bind(s.get(), 1, team);
    bind(s.get(), 2, app);
    sqlite3_bind_int64(s.get(), 3, clock_());
    sqlite3_bind_int64(s.get(), 4, limits_.presenceExpiryMs);
    std::vector<UserStatus> out;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        UserStatus u{column(s.get(), 0), column(s.get(), 1)};
        if (accept && !accept(u)) break;
        out.push_back(std::move(u));
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail("users", rc);
    return out;
}

std::int64_t SqliteStorage::queueMessage(std::string_view recipient, std::string_view sender, std::string_view text) {
    std::lock_guard lock(mutex_);
    const std::int64_t bytes = cost(sender.size(), text.size(), 0);
    Transaction t(*this);
    admit(kRecipient, recipient, bytes, limits_.recipientQuota);
    Statement s(insertMessage_);
    bind(s.get(), 1, recipient);
    bind(s.get(), 2, sender);
    bind(s.get(), 3, text);
    sqlite3_bind_int64(s.get(), 4, clock_());
    step(s.get(), "queue message");
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    addUsage(kRecipient, recipient, bytes);
    t.commit();
    return id;
}

std::vector<Message> SqliteStorage::takeMessages(std::string_view recipient,
                                           const std::function<bool(const Message&)>& accept) {
    std::lock_guard lock(mutex_);
    for (int attempt = 0;; ++attempt) {
        try {
            // Nothing is handed over unless the transaction commits: if it fails, the
            // messages stay queued for the next fetch.
            Transaction t(*this);
            std::vector<Message> taken;
            std::int64_t freed = 0;
            auto acceptHere = accept;  // a try again starts from the predicate's first state
            {
                Statement s(selectMessages_);
                bind(s.get(), 1, recipient);
                int rc;
                while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
                    Message m{sqlite3_column_int64(s.get(), 0), column(s.get(), 1), column(s.get(), 2)};
                    if (!acceptHere(m)) break;
                    freed += cost(m.sender.size(), m.text.size(), 0);
                    taken.push_back(std::move(m));
                }
                if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail("fetch messages", rc);
            }
            if (!taken.empty()) {
                // Ids rise with sending and the fetch takes a prefix in id order, so "up to
                // the last one taken" is exactly the taken set.
                Statement d(deleteMessages_);
                bind(d.get(), 1, recipient);
                sqlite3_bind_int64(d.get(), 2, taken.back().id);
                step(d.get(), "remove messages");
                addUsage(kRecipient, recipient, -freed);
            }
            t.commit();
            if (!spare_.empty() && attempt > 0) keepSpare();
            return taken;
        } catch (const RefusedError&) {
            throw;
        } catch (const StorageError&) {
            // A full disk (filled by something else than the service, or with no reserve):
            // the removal needs room in the WAL, and a checkpoint room in the database
            // file. The spare file gives that room back; the fetch is worth one more try,
            // since it is what frees space.
            if (attempt > 0 || (lastFailure_ & 0xff) != SQLITE_FULL || spare_.empty()) throw;
            ::unlink(spare_.c_str());
            sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        }
    }
}

std::int64_t SqliteStorage::count(sqlite3_stmt* stmt, std::string_view recipient, const char* what) {
    Statement s(stmt);
    if (stmt == countMessages_) bind(s.get(), 1, recipient);
    if (const int rc = sqlite3_step(s.get()); rc != SQLITE_ROW) fail(what, rc);
    return sqlite3_column_int64(s.get(), 0);
}

std::size_t SqliteStorage::queuedMessages(std::string_view recipient) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(count(countMessages_, recipient, "count messages"));
}

std::int64_t SqliteStorage::messagesWaiting() {
    std::lock_guard lock(mutex_);
    return count(countAllMessages_, {}, "count messages");
}

bool SqliteStorage::healthy() noexcept {
    std::lock_guard lock(mutex_);
    Statement s(ping_);
    return sqlite3_step(s.get()) == SQLITE_ROW;
}

std::int64_t SqliteStorage::recipientUsage(std::string_view recipient) {
    std::lock_guard lock(mutex_);
    return usage(kRecipient, recipient);
}

std::int64_t SqliteStorage::teamUsage(std::string_view team) {
    std::lock_guard lock(mutex_);
    return usage(kTeam, team);
}

void SqliteStorage::writeValue(std::string_view team, std::string_view tag, std::string_view key, std::string_view json) {
    std::lock_guard lock(mutex_);
    Transaction t(*this);
    std::int64_t delta = cost(tag.size(), key.size(), json.size());
    if (const auto old = replacedSize(selectValueSize_, team, tag, key, "write")) {
        delta -= cost(tag.size(), key.size(), static_cast<std::size_t>(*old));
    }
    admit(kTeam, team, delta, limits_.teamQuota);
    Statement s(upsertValue_);
    bind(s.get(), 1, team);
    bind(s.get(), 2, tag);
    bind(s.get(), 3, key);
    bind(s.get(), 4, json);
    step(s.get(), "write");
    addUsage(kTeam, team, delta);
    t.commit();
}

std::optional<std::string> SqliteStorage::readValue(std::string_view team, std::string_view tag, std::string_view key) {
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
