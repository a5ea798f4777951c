#pragma once
// The state in a PostgreSQL database, shared by every service pointed at it. Each request
// borrows one of a few connections; what must happen once (a message handed over, a quota
// counted) is settled by the database's own row locks, so services need not know of each
// other.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "storage.hpp"

namespace velmora::service {

class PostgresStorage final : public Storage {
public:
    // Where a lost or regained database is told: once when lost, once when back.
    using Log = std::function<void(std::string_view line)>;

    // `uri` is any libpq connection URI. Connects once and creates the schema when missing;
    // throws StorageError when the server cannot be reached or its schema is newer than
    // this build's. Later failures are per request: the connection is made again by itself.
    explicit PostgresStorage(std::string uri, Clock clock = systemClockMs, StorageLimits limits = {},
                             Log log = {});
    ~PostgresStorage() override;

    void reportPresence(std::string_view team, std::string_view app, std::string_view user, std::string_view status,
                        std::int64_t refreshRate) override;
    std::vector<UserStatus> users(std::string_view team, std::string_view app, bool onlyOnline,
                                  const std::function<bool(const UserStatus&)>& accept = {}) override;
    std::int64_t queueMessage(std::string_view recipient, std::string_view sender, std::string_view text) override;
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

    // Connections kept open at most; as many as the service's request workers.
    static constexpr std::size_t kMaxConnections = 8;

private:
    class Connection;
    class Lease;
    class Transaction;
    void start();  // the schema, and the first connection kept
    std::unique_ptr<Connection> connect();
    Lease acquire();
    void release(std::unique_ptr<Connection> connection) noexcept;
    // Runs `body` on a borrowed connection; again on a fresh one when a kept connection
    // turns out dead before anything was sent, or when the database aborted the
    // transaction for a deadlock or a serialisation conflict (nothing of it was kept).
    template <class Body>
    auto run(Body&& body);
    void dropKept() noexcept;  // closes the idle connections; those lent out close when returned
    void lost(const std::string& why) noexcept;
    void regained() noexcept;
    std::int64_t usage(Connection& c, int kind, std::string_view owner);
    std::int64_t lockUsage(Connection& c, int kind, std::string_view owner);
    void addUsage(Connection& c, int kind, std::string_view owner, std::int64_t delta);
    void admit(Connection& c, int kind, std::string_view owner, std::int64_t delta, std::int64_t quota);
    void expirePresence(std::int64_t now);

    std::string uri_;
    Clock clock_;
    StorageLimits limits_;
    Log log_;
    std::atomic<bool> refusing_{false};
    std::atomic<std::int64_t> nextExpiryMs_{0};
    bool started_ = false;  // a failure while starting is the constructor's error, not a loss
    std::atomic<bool> lost_{false};
    // While the database is lost, one connection attempt at a time, and not more often than
    // this: requests in between fail at once instead of each waiting for a connect timeout.
    std::atomic<std::int64_t> nextConnectMs_{0};
    std::mutex poolMutex_;
    std::condition_variable poolChanged_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t open_ = 0;         // idle and borrowed
    std::uint64_t generation_ = 0;  // rises when the database is lost: older connections go
};

}  // namespace velmora::service
