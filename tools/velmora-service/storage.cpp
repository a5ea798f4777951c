#include "storage.hpp"

#include <algorithm>
#include <chrono>

#include "postgres_storage.hpp"
#include "sqlite_storage.hpp"
#include "storage_internal.hpp"

namespace velmora::service {

std::int64_t systemClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t onlineWindowMs(std::int64_t refreshRate) noexcept {
    const std::int64_t rate = refreshRate <= 0 ? kDefaultRefreshRate : std::min(refreshRate, kMaxRefreshRate);
    return 2 * rate * 1000;
}

bool isPostgresUri(std::string_view where) noexcept {
    return where.starts_with("postgresql://") || where.starts_with("postgres://");
}

std::unique_ptr<Storage> openStorage(const std::string& where, Clock clock, StorageLimits limits) {
    if (isPostgresUri(where)) return std::make_unique<PostgresStorage>(where, std::move(clock), limits);
    return std::make_unique<SqliteStorage>(where, std::move(clock), limits);
}

namespace detail {

std::string mib(std::int64_t bytes) {
    if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
    return std::to_string(bytes) + " bytes";
}

void refuseQuota(int kind, std::int64_t quota) {
    throw RefusedError(std::string(kind == kRecipient ? "the recipient's queue is full (quota "
                                                      : "the team's data is full (quota ") +
                       mib(quota) + ")");
}

}  // namespace detail
}  // namespace velmora::service
