#include "postgres_storage.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "postgres_connection.hpp"
#include "storage_internal.hpp"

namespace velmora::service {

using namespace detail;

namespace {

// How many queued messages one fetch locks at first, and at most at a time: a fetch of a
// few messages locks a few, one of thousands (the reply bound holds that many short ones)
// takes a handful of round trips.
constexpr std::int64_t kFirstTakeBatch = 64;
constexpr std::int64_t kMaxTakeBatch = 1024;

}  // namespace

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

PostgresStorage::~PostgresStorage() = default;

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
