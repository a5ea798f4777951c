#pragma once
// Call targets for the loopback test services, for tests that drive the I/O session directly.

#include <memory>
#include <string>

#include "transport/target.hpp"
#include "support/test_server.hpp"

namespace velmora::testing {

// `timeout` is the silence timeout in seconds: long enough by default that only a test about
// timeouts ever meets it.
inline std::shared_ptr<const detail::Target> targetOf(const std::string& origin, const std::string& caFile,
                                                      double timeout = 30.0) {
    return detail::Target::make(ServiceConfig{origin, caFile, timeout});
}

inline std::shared_ptr<const detail::Target> targetOf(const TestServer& server, double timeout = 30.0) {
    return targetOf(server.origin(), server.caFile(), timeout);
}

}  // namespace velmora::testing
