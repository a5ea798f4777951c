#pragma once
// The outcome of a call: its result, or why there is none.

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velmora {

// Why a call has no result. Each failure of a call is exactly one of these.
enum class Errc {
    invalidArgument,  // nothing sent: an argument has no faithful JSON form (text not UTF-8, NaN, infinity)
    invalidOrigin,    // nothing sent: the client's origin is not http(s)://host[:port][/prefix]
    resolve,          // the service's host name (or the proxy's) could not be resolved
    connect,          // no connection could be made: refused, unreachable, no route
    tls,              // the TLS handshake failed: certificate not trusted, wrong host name, not TLS
    timeout,          // no data moved for the client's requestTimeout
    transport,        // the connection failed during the exchange: reset, closed early, protocol error
    httpStatus,       // a status other than 2xx with a reply that is not a result (Error::httpStatus)
    malformedReply,   // a 2xx reply that is not a result: not JSON, or no "d" of the expected kind
    replyTooLarge,    // the reply exceeded the library's cap (64 MiB)
    shuttingDown,     // a blocking call during process exit: the library's threads have stopped
};

// The name of the enumerator, e.g. "connect".
std::string_view to_string(Errc code) noexcept;

struct Error {
    Errc code;
    std::string message;  // one line for people: what failed, against which origin, and why
    int httpStatus = 0;   // the reply's HTTP status when one arrived, else 0
};

// Thrown by Result::value() on a Result that holds an Error.
class BadResultAccess : public std::exception {
public:
    explicit BadResultAccess(Error error) : error_(std::move(error)) {}
    const char* what() const noexcept override { return error_.message.c_str(); }
    const Error& error() const noexcept { return error_; }

private:
    Error error_;
};

// A T or an Error, read as std::expected<T, Error> is. For Result<bool>, `has_value()` and
// `operator bool` say that the call succeeded; the service's answer is `value()`.
template <class T>
class Result {
public:
    using value_type = T;
    using error_type = Error;

    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit like expected
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & {
        checked();
        return *std::get_if<0>(&state_);
    }
    const T& value() const& {
        checked();
        return *std::get_if<0>(&state_);
    }
    T&& value() && {
        checked();
        return std::move(*std::get_if<0>(&state_));
    }

    // Only on a Result that holds an Error.
    Error& error() & noexcept { return *std::get_if<1>(&state_); }
    const Error& error() const& noexcept { return *std::get_if<1>(&state_); }
    Error&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

    template <class U>
    T value_or(U&& fallback) const& {
        return has_value() ? std::get<0>(state_) : static_cast<T>(std::forward<U>(fallback));
    }
    template <class U>
    T value_or(U&& fallback) && {
        return has_value() ? std::get<0>(std::move(state_)) : static_cast<T>(std::forward<U>(fallback));
    }

    // Only on a Result that holds a value.
    T& operator*() & noexcept { return *std::get_if<0>(&state_); }
    const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
    T* operator->() noexcept { return std::get_if<0>(&state_); }
    const T* operator->() const noexcept { return std::get_if<0>(&state_); }

private:
    void checked() const {
        if (!has_value()) throw BadResultAccess(*std::get_if<1>(&state_));
    }
    std::variant<T, Error> state_;
};

}  // namespace velmora
