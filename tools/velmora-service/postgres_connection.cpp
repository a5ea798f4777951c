#include "postgres_connection.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

namespace velmora::service {

using namespace detail;

namespace {

// Keys of any length: a B-tree entry holds at most about 2.7 kB, and team names, tags, keys
// and recipients are not bounded that low. Rows are found by the SHA-256 of their key
// texts, each but the last preceded by its length so that no two keys run together, and
// then compared in full.
std::string address(std::initializer_list<std::string_view> parts) {
    std::string out = "sha256(";
    std::size_t i = 0;
    for (const std::string_view part : parts) {
        if (i++ > 0) out += " || ";
        if (i < parts.size()) out += "int4send(octet_length(" + std::string(part) + ")) || ";
        out += part;
    }
    return out + ")";
}

const std::string kSchema = R"sql(
CREATE TABLE presence (
    team bytea NOT NULL, app bytea NOT NULL, user_name bytea NOT NULL,
    status bytea NOT NULL, refresh_rate bigint NOT NULL,
    seen_ms bigint NOT NULL, window_ms bigint NOT NULL,
    team_app bytea GENERATED ALWAYS AS ()sql" + address({"team", "app"}) + R"sql() STORED NOT NULL,
    address bytea GENERATED ALWAYS AS ()sql" + address({"team", "app", "user_name"}) + R"sql() STORED NOT NULL,
    UNIQUE (address));
CREATE INDEX presence_by_seen ON presence (team_app, seen_ms);
-- An identity never hands out a number twice, even after the newest message was fetched.
CREATE TABLE messages (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    recipient bytea NOT NULL, sender bytea NOT NULL, text bytea NOT NULL, sent_ms bigint NOT NULL,
    recipient_address bytea GENERATED ALWAYS AS (sha256(recipient)) STORED NOT NULL);
CREATE INDEX messages_by_recipient ON messages (recipient_address, id);
CREATE TABLE store (
    team bytea NOT NULL, tag bytea NOT NULL, key bytea NOT NULL, value bytea NOT NULL,
    address bytea GENERATED ALWAYS AS ()sql" + address({"team", "tag", "key"}) + R"sql() STORED NOT NULL,
    UNIQUE (address));
-- What each recipient (kind 0) and team (kind 1) counts against its quota, changed in the
-- transaction of every change under the row's lock, so that services sharing the
-- database count exactly.
CREATE TABLE usage (
    kind integer NOT NULL, owner bytea NOT NULL, bytes bigint NOT NULL,
    owner_address bytea GENERATED ALWAYS AS (sha256(owner)) STORED NOT NULL,
    UNIQUE (kind, owner_address));
-- The layout's version, for a later build to migrate from (storage.hpp, kSchemaVersion).
CREATE TABLE schema_version (version integer NOT NULL);
INSERT INTO schema_version (version) VALUES (1);
)sql";

// Taken while the schema is looked at or made, so that services starting at once on an
// empty database make it once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7396514021)";

const std::string kPresenceAt = "address = " + address({"$1::bytea", "$2::bytea", "$3::bytea"}) +
                                " AND team = $1::bytea AND app = $2::bytea AND user_name = $3::bytea";
const std::string kValueAt = "address = " + address({"$1::bytea", "$2::bytea", "$3::bytea"}) +
                             " AND team = $1::bytea AND tag = $2::bytea AND key = $3::bytea";
const std::string kTeamApp = "team_app = " + address({"$1::bytea", "$2::bytea"}) + " AND team = $1::bytea AND app = $2::bytea";
const std::string kRecipientIs = "recipient_address = sha256($1::bytea) AND recipient = $1::bytea";
const std::string kOwnerIs = "kind = $1::int8 AND owner_address = sha256($2::bytea) AND owner = $2::bytea";

// Prepared on every connection. Parameters are sent and results read in binary: texts as
// bytea (byte for byte, NUL characters included), numbers as int8.
struct Prepared {
    const char* name;
    std::string sql;
};
const Prepared kStatements[] = {
    {"presence_size", "SELECT octet_length(status)::int8 FROM presence WHERE " + kPresenceAt},
    {"presence_put",
     "INSERT INTO presence (team, app, user_name, status, refresh_rate, seen_ms, window_ms)"
     " VALUES ($1::bytea, $2::bytea, $3::bytea, $4::bytea, $5::int8, $6::int8, $7::int8)"
     " ON CONFLICT (address) DO UPDATE SET status = excluded.status, refresh_rate = excluded.refresh_rate,"
     " seen_ms = excluded.seen_ms, window_ms = excluded.window_ms"},
    // $4: the expiry; expired reports are left out even before a sweep removes them.
    {"users",
     "SELECT user_name, status FROM presence WHERE " + kTeamApp +
         " AND seen_ms + window_ms + $4::int8 >= $3::int8 ORDER BY seen_ms DESC, user_name"},
    {"online_users",
     "SELECT user_name, status FROM presence WHERE " + kTeamApp +
         " AND seen_ms + window_ms >= $3::int8 AND seen_ms + window_ms + $4::int8 >= $3::int8"
         " ORDER BY seen_ms DESC, user_name"},
    {"expired_teams", "SELECT DISTINCT team FROM presence WHERE seen_ms + window_ms + $1::int8 < $2::int8"},
    {"expire_team",
     "WITH gone AS (DELETE FROM presence WHERE team = $1::bytea AND seen_ms + window_ms + $2::int8 < $3::int8"
     " RETURNING octet_length(app) + octet_length(user_name) + octet_length(status) + 64 AS bytes)"
     " SELECT coalesce(sum(bytes), 0)::int8 FROM gone"},
    {"message_put",
     "INSERT INTO messages (recipient, sender, text, sent_ms) VALUES ($1::bytea, $2::bytea, $3::bytea, $4::int8)"
     " RETURNING id"},
    // Messages another fetch holds are passed by rather than waited for: that fetch hands
    // them over or, rolled back, leaves them for the next.
    {"messages_take",
     "SELECT id, sender, text FROM messages WHERE " + kRecipientIs +
         " AND id > $2::int8 ORDER BY id LIMIT $3::int8 FOR UPDATE SKIP LOCKED"},
    {"messages_remove", "DELETE FROM messages WHERE id = ANY($1::int8[])"},
    {"messages_count", "SELECT count(*)::int8 FROM messages WHERE " + kRecipientIs},
    {"messages_all", "SELECT count(*)::int8 FROM messages"},
    {"value_size", "SELECT octet_length(value)::int8 FROM store WHERE " + kValueAt},
    {"value_put",
     "INSERT INTO store (team, tag, key, value) VALUES ($1::bytea, $2::bytea, $3::bytea, $4::bytea)"
     " ON CONFLICT (address) DO UPDATE SET value = excluded.value"},
    {"value_get", "SELECT value FROM store WHERE " + kValueAt},
    {"usage_get", "SELECT bytes FROM usage WHERE " + kOwnerIs},
    // Makes the row when missing and locks it either way: every change of one owner's
    // usage waits here for the one before to commit.
    {"usage_lock",
     "INSERT INTO usage (kind, owner, bytes) VALUES ($1::int8, $2::bytea, 0)"
     " ON CONFLICT (kind, owner_address) DO UPDATE SET bytes = usage.bytes RETURNING bytes"},
    {"usage_add", "UPDATE usage SET bytes = bytes + $3::int8 WHERE " + kOwnerIs},
};

// While the database is lost: how long between two attempts to reach it.
constexpr std::int64_t kReconnectPauseMs = 250;
// The SQLSTATEs of a transaction the server aborted for a conflict with another one.
constexpr std::string_view kSerializationFailure = "40001";
constexpr std::string_view kDeadlock = "40P01";

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

namespace detail {

std::string bytes(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::int64_t number(const PGresult* r, int row, int column) {
    std::uint64_t big = 0;
    if (PQgetlength(r, row, column) != sizeof big) throw StorageError("unexpected number from the database");
    std::memcpy(&big, PQgetvalue(r, row, column), sizeof big);
    return static_cast<std::int64_t>(be64toh(big));
}

std::string oneLine(const char* message) {
    std::string s;
    for (const char* c = message ? message : ""; *c != '\0'; ++c) {
        const bool space = *c == '\n' || *c == '\t' || *c == ' ';
        if (!space) {
            s += *c;
        } else if (!s.empty() && s.back() != ' ') {
            s += ' ';
        }
    }
    if (!s.empty() && s.back() == ' ') s.pop_back();
    return s.empty() ? "no reason given" : s;
}

}  // namespace detail

Result PostgresStorage::Connection::check(Result r, const char* what) {
    const bool first = sent_++ == 0;
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
    const std::string why = std::string(what) + ": " + oneLine(PQerrorMessage(conn_));
    if (!alive()) {
        // Nothing reached the server that could have been kept: the first command of a
        // request either reads or opens a transaction.
        if (first && reused_) throw TryAgain{why};
        owner->lost(why);
        throw StorageError(why);
    }
    const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
    if (state && (state == kSerializationFailure || state == kDeadlock)) throw TryAgain{why};
    throw StorageError(why);
}

void PostgresStorage::start() {
    std::unique_ptr<Connection> c = connect();
    c->startUse(false);
    c->exec("BEGIN", "begin");
    c->exec(kSchemaLock, "schema");
    const Result exists = c->exec("SELECT to_regclass('schema_version') IS NOT NULL", "schema");
    if (std::string_view(PQgetvalue(exists.get(), 0, 0)) == "t") {
        const Result v = c->exec("SELECT coalesce(max(version), 0) FROM schema_version", "schema version");
        const long version = std::strtol(PQgetvalue(v.get(), 0, 0), nullptr, 10);
        if (version > kSchemaVersion) {
            throw StorageError("the database has schema version " + std::to_string(version) +
                               ", newer than this service's " + std::to_string(kSchemaVersion));
        }
    } else {
        c->exec(kSchema.c_str(), "create the schema");
    }
    c->exec("COMMIT", "commit");
    for (const Prepared& p : kStatements) {
        const Result r(PQprepare(c->get(), p.name, p.sql.c_str(), 0, nullptr), PQclear);
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            throw StorageError(std::string("prepare ") + p.name + ": " + oneLine(PQerrorMessage(c->get())));
        }
    }
    std::lock_guard lock(poolMutex_);
    ++open_;
    idle_.push_back(std::move(c));
}

std::unique_ptr<PostgresStorage::Connection> PostgresStorage::connect() {
    // A server that does not answer at all must not hold a request for long; the URI's own
    // connect_timeout, processed after this one, wins.
    const char* const keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* const values[] = {"5", "velmora-service", uri_.c_str(), nullptr};
    PGconn* raw = PQconnectdbParams(keys, values, 1);
    if (raw == nullptr) throw std::bad_alloc();
    std::uint64_t generation;
    {
        std::lock_guard lock(poolMutex_);
        generation = generation_;
    }
    auto c = std::make_unique<Connection>(raw, generation);
    c->owner = this;
    if (!c->alive()) throw TryAgain{"cannot connect: " + oneLine(PQerrorMessage(raw))};
    // Notices (a server's warnings) are not the operator's business here.
    PQsetNoticeProcessor(raw, [](void*, const char*) {}, nullptr);
    return c;
}

PostgresStorage::Lease PostgresStorage::acquire() {
    std::unique_lock lock(poolMutex_);
    while (idle_.empty() && open_ >= kMaxConnections) poolChanged_.wait(lock);
    if (!idle_.empty()) {
        auto c = std::move(idle_.back());
        idle_.pop_back();
        c->startUse(true);
        return Lease(*this, std::move(c));
    }
    ++open_;
    lock.unlock();
    try {
        if (lost_) {
            std::int64_t next = nextConnectMs_;
            const std::int64_t now = steadyMs();
            if (now < next || !nextConnectMs_.compare_exchange_strong(next, now + kReconnectPauseMs)) {
                throw StorageError("the database is unavailable");
            }
        }
        std::unique_ptr<Connection> c;
        try {
            c = connect();
        } catch (const TryAgain& e) {
            lost(e.why);
            throw StorageError("the database is unavailable");
        }
        for (const Prepared& p : kStatements) {
            const Result r(PQprepare(c->get(), p.name, p.sql.c_str(), 0, nullptr), PQclear);
            if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
                const std::string why = std::string("prepare ") + p.name + ": " + oneLine(PQerrorMessage(c->get()));
                if (!c->alive()) lost(why);
                throw StorageError(why);
            }
        }
        regained();
        c->startUse(false);
        return Lease(*this, std::move(c));
    } catch (...) {
        {
            std::lock_guard relock(poolMutex_);
            --open_;
        }
        poolChanged_.notify_one();
        throw;
    }
}

void PostgresStorage::release(std::unique_ptr<Connection> c) noexcept {
    {
        std::lock_guard lock(poolMutex_);
        if (c->alive() && c->idle() && c->generation() == generation_) {
            idle_.push_back(std::move(c));
        } else {
            --open_;
        }
    }
    poolChanged_.notify_one();
    c.reset();  // a dropped connection is closed outside the lock
}

void PostgresStorage::dropKept() noexcept {
    std::vector<std::unique_ptr<Connection>> dropped;
    {
        std::lock_guard lock(poolMutex_);
        ++generation_;
        dropped.swap(idle_);
        open_ -= dropped.size();
    }
    poolChanged_.notify_all();
}

void PostgresStorage::lost(const std::string& why) noexcept {
    // The kept connections went the same way: closed now rather than tried one by one.
    dropKept();
    if (started_ && !lost_.exchange(true)) {
        try {
            log_("lost the database (" + why + "); its requests fail until it answers again");
        } catch (...) {
        }
    }
}

void PostgresStorage::regained() noexcept {
    if (lost_.exchange(false)) {
        try {
            log_("the database answers again");
        } catch (...) {
        }
    }
}

}  // namespace velmora::service
