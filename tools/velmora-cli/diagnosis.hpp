#pragma once
// A failed call told to the person at the terminal: which class of failure, the reason,
// and what to do about it.

#include <string>

#include <velmora/result.hpp>

namespace velmora::cli {

struct Diagnosis {
    std::string headline;  // "connection refused at 127.0.0.1:8443: is velmora-service running?"
    std::string detail;    // the library's own message, with the underlying reason
};

// `origin` is the client's origin, `caFile` the CA file it was given ("" for none), and
// `timeout` its request timeout in seconds.
Diagnosis diagnose(const Error& error, const std::string& origin, const std::string& caFile, double timeout);

}  // namespace velmora::cli
