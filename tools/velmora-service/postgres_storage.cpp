#include "postgres_storage.hpp"

#include <endian.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>

#include <libpq-fe.h>

#include "storage_internal.hpp"

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

// How many queued messages one fetch locks at first, and at most at a time: a fetch of a
// few messages locks a few, one of thousands (the reply bound holds that many short ones)
// takes a handful of round trips.
constexpr std::int64_t kFirstTakeBatch = 64;
constexpr std::int64_t kMaxTakeBatch = 1024;
// While the database is lost: how long between two attempts to reach it.
constexpr std::int64_t kReconnectPauseMs = 250;
// The SQLSTATEs of a transaction the server aborted for a conflict with another one.
constexpr std::string_view kSerializationFailure = "40001";
constexpr std::string_view kDeadlock = "40P01";

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Raised inside run(): the body may be tried again on another connection.
struct TryAgain {
    std::string why;
};

// Parameters of one statement, kept alive until it has been sent.
class Params {
public:
    Params& text(std::string_view value) {
        // A null pointer would be SQL NULL; an empty bytea needs a real one.
        values_.push_back(value.empty() ? "" : value.data());
        lengths_.push_back(static_cast<int>(value.size()));
        formats_.push_back(1);
        return *this;
    }
    Params& number(std::int64_t value) {
        std::uint64_t big = htobe64(static_cast<std::uint64_t>(value));
        owned_.push_back(std::string(reinterpret_cast<const char*>(&big), sizeof big));
        return text(owned_.back());
    }
    // A parameter in PostgreSQL's text format, e.g. an array literal.
    Params& literal(std::string value) {
        owned_.push_back(std::move(value));
        values_.push_back(owned_.back().c_str());
        lengths_.push_back(0);
        formats_.push_back(0);
        return *this;
    }
    int size() const { return static_cast<int>(values_.size()); }
    const char* const* values() const { return values_.data(); }
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }

private:
    std::deque<std::string> owned_;  // numbers and literals; a deque keeps their addresses
    std::vector<const char*> values_;
    std::vector<int> lengths_;
    std::vector<int> formats_;
};

std::string bytes(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::int64_t number(const PGresult* r, int row, int column) {
    std::uint64_t big = 0;
    if (PQgetlength(r, row, column) != sizeof big) throw StorageError("unexpected number from the database");
    std::memcpy(&big, PQgetvalue(r, row, column), sizeof big);
    return static_cast<std::int64_t>(be64toh(big));
}

// libpq's messages run over several lines, the later ones indented.
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

}  // namespace

class PostgresStorage::Connection {
public:
    Connection(PGconn* conn, std::uint64_t generation) : conn_(conn), generation_(generation) {}
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool alive() const { return PQstatus(conn_) == CONNECTION_OK; }
    bool idle() const { return PQtransactionStatus(conn_) == PQTRANS_IDLE; }
    std::uint64_t generation() const { return generation_; }
    // A connection that has served a request before may have died since, unseen.
    void startUse(bool reused) {
        reused_ = reused;
        sent_ = 0;
    }

    Result run(const char* statement, const Params& p, const char* what) {
        return check(Result(PQexecPrepared(conn_, statement, p.size(), p.values(), p.lengths(), p.formats(), 1),
                            PQclear),
                     what);
    }
    Result exec(const char* sql, const char* what) { return check(Result(PQexec(conn_, sql), PQclear), what); }
    void quietly(const char* sql) noexcept { PQclear(PQexec(conn_, sql)); }
    PGconn* get() const { return conn_; }

    PostgresStorage* owner = nullptr;

private:
    Result check(Result r, const char* what) {
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

    PGconn* conn_;
    std::uint64_t generation_;
    bool reused_ = false;
    int sent_ = 0;
};

// A borrowed connection, given back (or dropped, when broken or mid-transaction) at the
// end of its scope.
class PostgresStorage::Lease {
public:
    Lease(PostgresStorage& s, std::unique_ptr<Connection> c) : s_(&s), c_(std::move(c)) {}
    Lease(Lease&& other) noexcept : s_(other.s_), c_(std::move(other.c_)) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
        if (c_) s_->release(std::move(c_));
    }
    Connection& operator*() const { return *c_; }

private:
    PostgresStorage* s_;
    std::unique_ptr<Connection> c_;
};

// BEGIN ... COMMIT on one connection; rolled back unless committed.
class PostgresStorage::Transaction {
public:
    Transaction(PostgresStorage& s, Connection& c) : s_(s), c_(c) { c_.exec("BEGIN", "begin"); }
    ~Transaction() {
        if (open_ && c_.alive()) c_.quietly("ROLLBACK");
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        // The last moment a stopping service can still keep a change from happening.
        if (s_.refusing_) throw RefusedError("the service is stopping");
        c_.exec("COMMIT", "commit");
        open_ = false;
    }

private:
    PostgresStorage& s_;
    Connection& c_;
    bool open_ = true;
};


PostgresStorage::PostgresStorage(std::string uri, Clock clock, StorageLimits limits, Log log)
    : uri_(std::move(uri)), clock_(std::move(clock)), limits_(limits), log_(std::move(log)) {
    if (!clock_) clock_ = systemClockMs;
    if (!log_) {
        log_ = [](std::string_view line) {
            std::fprintf(stderr, "velmora-service: %.*s\n", static_cast<int>(line.size()), line.data());
        };
    }
    try {
        start();
    } catch (const TryAgain& e) {
        throw StorageError("cannot use the database: " + e.why);
    }
    started_ = true;
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

PostgresStorage::~PostgresStorage() = default;

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

template <class Body>
auto PostgresStorage::run(Body&& body) {
    for (int attempt = 0;; ++attempt) {
        Lease lease = acquire();
        try {
            return body(*lease);
        } catch (const TryAgain& e) {
            if ((*lease).alive()) {
                // Aborted by the server for a conflict: rolled back, so worth another go.
                if (attempt < 3) continue;
                throw StorageError(e.why);
            }
            // A kept connection found dead before anything was sent: the server may only
            // have restarted. Once; a fresh connection then tells.
            if (attempt == 0) {
                dropKept();
                continue;
            }
            lost(e.why);
            throw StorageError("the database is unavailable");
        }
    }
}

void PostgresStorage::refuseChanges() noexcept { refusing_ = true; }

std::int64_t PostgresStorage::usage(Connection& c, int kind, std::string_view owner) {
    const Result r = c.run("usage_get", Params().number(kind).text(owner), "usage");
    return PQntuples(r.get()) == 0 ? 0 : number(r.get(), 0, 0);
}

std::int64_t PostgresStorage::lockUsage(Connection& c, int kind, std::string_view owner) {
    const Result r = c.run("usage_lock", Params().number(kind).text(owner), "usage");
    return number(r.get(), 0, 0);
}

void PostgresStorage::addUsage(Connection& c, int kind, std::string_view owner, std::int64_t delta) {
    if (delta != 0) c.run("usage_add", Params().number(kind).text(owner).number(delta), "usage");
}

void PostgresStorage::admit(Connection& c, int kind, std::string_view owner, std::int64_t delta,
                            std::int64_t quota) {
    if (refusing_) throw RefusedError("the service is stopping");
    const std::int64_t used = lockUsage(c, kind, owner);
    if (delta > 0 && used + delta > quota) refuseQuota(kind, quota);
}

void PostgresStorage::expirePresence(std::int64_t now) {
    std::int64_t due = nextExpiryMs_;
    if (now < due || !nextExpiryMs_.compare_exchange_strong(due, now + kExpirySweepMs)) return;
    const auto expired = [&](Params& p) -> Params& { return p.number(limits_.presenceExpiryMs).number(now); };
    const std::vector<std::string> teams = run([&](Connection& c) {
        Params p;
        const Result r = c.run("expired_teams", expired(p), "expire presence");
        std::vector<std::string> out;
        for (int i = 0; i < PQntuples(r.get()); ++i) out.push_back(bytes(r.get(), i, 0));
        return out;
    });
    // A team at a time, its usage row locked first as every change of that team does, so
    // that the sweep and a report never wait for each other in opposite order.
    for (const std::string& team : teams) {
        run([&](Connection& c) {
            Transaction t(*this, c);
            lockUsage(c, kTeam, team);
            Params p;
            p.text(team);
            const Result r = c.run("expire_team", expired(p), "expire presence");
            addUsage(c, kTeam, team, -number(r.get(), 0, 0));
            t.commit();
        });
    }
}

void PostgresStorage::reportPresence(std::string_view team, std::string_view app, std::string_view user,
                                     std::string_view status, std::int64_t refreshRate) {
    const std::int64_t now = clock_();
    expirePresence(now);
    run([&](Connection& c) {
        Transaction t(*this, c);
        // The usage row's lock comes first: it orders every change of the team, so that two
        // reports of one new user cannot both count it as new.
        const std::int64_t used = lockUsage(c, kTeam, team);
        std::int64_t delta = cost(app.size(), user.size(), status.size());
        {
            const Result old = c.run("presence_size", Params().text(team).text(app).text(user), "presence");
            if (PQntuples(old.get()) > 0) {
                delta -= cost(app.size(), user.size(), static_cast<std::size_t>(number(old.get(), 0, 0)));
            }
        }
        if (refusing_) throw RefusedError("the service is stopping");
        if (delta > 0 && used + delta > limits_.teamQuota) refuseQuota(kTeam, limits_.teamQuota);
        c.run("presence_put",
              Params().text(team).text(app).text(user).text(status).number(refreshRate).number(now).number(
                  onlineWindowMs(refreshRate)),
              "presence");
        addUsage(c, kTeam, team, delta);
        t.commit();
    });
}

std::vector<UserStatus> PostgresStorage::users(std::string_view team, std::string_view app, bool onlyOnline,
                                               const std::function<bool(const UserStatus&)>& accept) {
    const Result r = run([&](Connection& c) {
        return c.run(onlyOnline ? "online_users" : "users",
                     Params().text(team).text(app).number(clock_()).number(limits_.presenceExpiryMs), "users");
    });
    std::vector<UserStatus> out;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        UserStatus u{bytes(r.get(), i, 0), bytes(r.get(), i, 1)};
        if (accept && !accept(u)) break;
        out.push_back(std::move(u));
    }
    return out;
}

std::int64_t PostgresStorage::queueMessage(std::string_view recipient, std::string_view sender,
                                           std::string_view text) {
    return run([&](Connection& c) {
        Transaction t(*this, c);
        admit(c, kRecipient, recipient, cost(sender.size(), text.size(), 0), limits_.recipientQuota);
        const Result r = c.run("message_put", Params().text(recipient).text(sender).text(text).number(clock_()),
                               "queue message");
        const std::int64_t id = number(r.get(), 0, 0);
        addUsage(c, kRecipient, recipient, cost(sender.size(), text.size(), 0));
        t.commit();
        return id;
    });
}

std::vector<Message> PostgresStorage::takeMessages(std::string_view recipient,
                                                   const std::function<bool(const Message&)>& accept) {
    return run([&](Connection& c) {
        // Nothing is handed over unless the transaction commits: if it fails, the messages
        // stay queued for the next fetch, and their locks go with the transaction.
        Transaction t(*this, c);
        auto acceptHere = accept;  // a try again starts from the predicate's first state
        std::vector<Message> taken;
        std::int64_t freed = 0;
        std::int64_t after = 0;
        for (std::int64_t batch = kFirstTakeBatch; batch > 0; batch = std::min(2 * batch, kMaxTakeBatch)) {
            const Result r = c.run("messages_take", Params().text(recipient).number(after).number(batch),
                                   "fetch messages");
            const int rows = PQntuples(r.get());
            bool more = rows == batch;
            for (int i = 0; i < rows; ++i) {
                Message m{number(r.get(), i, 0), bytes(r.get(), i, 1), bytes(r.get(), i, 2)};
                after = m.id;
                if (!acceptHere(m)) {
                    more = false;
                    break;
                }
                freed += cost(m.sender.size(), m.text.size(), 0);
                taken.push_back(std::move(m));
            }
            if (!more) break;
        }
        if (!taken.empty()) {
            // Exactly the rows taken: others of the recipient between them may be another
            // fetch's, locked and passed by.
            std::string ids = "{";
            for (const Message& m : taken) ids += std::to_string(m.id) + ",";
            ids.back() = '}';
            c.run("messages_remove", Params().literal(std::move(ids)), "remove messages");
            addUsage(c, kRecipient, recipient, -freed);
        }
        t.commit();
        return taken;
    });
}

std::size_t PostgresStorage::queuedMessages(std::string_view recipient) {
    return run([&](Connection& c) {
        const Result r = c.run("messages_count", Params().text(recipient), "count messages");
        return static_cast<std::size_t>(number(r.get(), 0, 0));
    });
}

std::int64_t PostgresStorage::messagesWaiting() {
    return run([&](Connection& c) {
        const Result r = c.run("messages_all", Params(), "count messages");
        return number(r.get(), 0, 0);
    });
}

void PostgresStorage::writeValue(std::string_view team, std::string_view tag, std::string_view key,
                                 std::string_view json) {
    run([&](Connection& c) {
        Transaction t(*this, c);
        const std::int64_t used = lockUsage(c, kTeam, team);
        std::int64_t delta = cost(tag.size(), key.size(), json.size());
        {
            const Result old = c.run("value_size", Params().text(team).text(tag).text(key), "write");
            if (PQntuples(old.get()) > 0) {
                delta -= cost(tag.size(), key.size(), static_cast<std::size_t>(number(old.get(), 0, 0)));
            }
        }
        if (refusing_) throw RefusedError("the service is stopping");
        if (delta > 0 && used + delta > limits_.teamQuota) refuseQuota(kTeam, limits_.teamQuota);
        c.run("value_put", Params().text(team).text(tag).text(key).text(json), "write");
        addUsage(c, kTeam, team, delta);
        t.commit();
    });
}

std::optional<std::string> PostgresStorage::readValue(std::string_view team, std::string_view tag,
                                                      std::string_view key) {
    return run([&](Connection& c) -> std::optional<std::string> {
        const Result r = c.run("value_get", Params().text(team).text(tag).text(key), "read");
        if (PQntuples(r.get()) == 0) return std::nullopt;
        return bytes(r.get(), 0, 0);
    });
}

std::int64_t PostgresStorage::recipientUsage(std::string_view recipient) {
    return run([&](Connection& c) { return usage(c, kRecipient, recipient); });
}

std::int64_t PostgresStorage::teamUsage(std::string_view team) {
    return run([&](Connection& c) { return usage(c, kTeam, team); });
}

bool PostgresStorage::healthy() noexcept {
    try {
        return run([](Connection& c) {
            c.exec("SELECT 1", "ping");
            return true;
        });
    } catch (...) {
        return false;
    }
}

}  // namespace velmora::service
