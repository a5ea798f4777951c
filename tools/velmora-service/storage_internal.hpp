#pragma once
// What both stores count alike: the size of a record against its quota, the owners of
// usage rows, and the words of a refusal.

#include <cstddef>
#include <cstdint>

#include "storage.hpp"

namespace velmora::service::detail {

// The kinds of owner in the usage table.
constexpr int kRecipient = 0;
constexpr int kTeam = 1;
// How often one service looks for expired presence reports.
constexpr std::int64_t kExpirySweepMs = 60 * 1000;

inline std::int64_t cost(std::size_t a, std::size_t b, std::size_t c) {
    return static_cast<std::int64_t>(a + b + c) + kRecordOverhead;
}

[[noreturn]] void refuseQuota(int kind, std::int64_t quota);
std::string mib(std::int64_t bytes);

}  // namespace velmora::service::detail
