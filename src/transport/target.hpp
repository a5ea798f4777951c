#pragma once
// Where one client's calls go and how they are bounded.

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <velmora/velmora.hpp>

namespace velmora::detail {

enum class Endpoint : unsigned char { sendMessage, receiveMessage, write, read, refreshStatus };
inline constexpr std::size_t kEndpointCount = 5;

std::string_view operationName(Endpoint e) noexcept;

// The origin built into the library (a CMake cache variable).
std::string_view builtInOrigin() noexcept;

struct Target {
    bool valid = false;  // false: every call fails before anything is sent
    std::string origin;  // as normalised; as given when not valid (for messages)
    std::array<std::string, kEndpointCount> urls;
    std::string caFile;
    std::chrono::nanoseconds idleTimeout{};
    // "scheme://host:port": calls with the same key go to the same server, and so may share
    // its connections.
    std::string hostKey;
    bool https = false;

    const std::string& url(Endpoint e) const noexcept { return urls[static_cast<std::size_t>(e)]; }

    static std::shared_ptr<const Target> make(const ServiceConfig& config);
};

// Accepts "http://" or "https://", a host, an optional ":port" and an optional path prefix;
// returns the origin without a trailing "/", or an empty text when it is not one.
std::string normaliseOrigin(std::string_view origin);

}  // namespace velmora::detail
