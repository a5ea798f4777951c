// The one call of every operation: the body goes to the blocking driver or, as an Exchange,
// to the I/O thread; the reply is read here or on the delivery thread.

#include "client/service_call.hpp"

#include <cstdio>

#include "transport/runtime.hpp"
#include "wire/reply.hpp"

namespace velmora::detail {

namespace {

// The reply is read on the delivery thread by `Reader`, which runs only when reply data
// arrived; the I/O thread only hands the exchange over.
template <class Reader>
class AsyncExchange final : public Exchange {
public:
    AsyncExchange(std::shared_ptr<const Target> target, Endpoint endpoint, std::string body, Reader reader)
        : Exchange(std::move(target), endpoint, std::move(body)), reader_(std::move(reader)) {}

    void deliver() override {
        if (gotReply()) reader_(reply());
    }

private:
    void finished() override { deliveryQueue().post(shared_from_this()); }
    Reader reader_;
};

template <class Reader>
bool startAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body, Reader reader) {
    if (!target->valid || !body) return false;
    startExchange(std::make_shared<AsyncExchange<Reader>>(target, endpoint, std::move(*body), std::move(reader)),
                  /*deferWake=*/true);
    return true;
}

// A completion that throws must not take the delivery thread down with it.
template <class F, class Arg>
void complete(const F& completion, Arg&& arg) {
    if (!completion) return;
    try {
        completion(std::forward<Arg>(arg));
    } catch (...) {
    }
}

}  // namespace

std::optional<std::string> exchangeBlocking(const std::shared_ptr<const Target>& target,
                                            Endpoint endpoint, std::string body) {
    return performBlocking(*target, endpoint, body);
}

bool callBool(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body, BoolReply options) {
    if (!target->valid || !body) return false;
    const auto reply = exchangeBlocking(target, endpoint, std::move(*body));
    if (!reply) return false;  // no reply data is a failure, not a success
    std::string parseError;
    const auto result = readBoolReply(*reply, &parseError);
    if (!parseError.empty() && options.reportParseError) {
        std::fwrite(parseError.data(), 1, parseError.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return result.value_or(false);
}

bool callBoolAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                   BoolCallback completion) {
    return startAsync(target, endpoint, std::move(body),
                      [completion = std::move(completion)](std::string_view reply) {
                          if (const auto result = readBoolReply(reply)) complete(completion, *result);
                      });
}

StringMap callMap(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string_view defaultKey) {
    if (!target->valid || !body) return {};
    const auto reply = exchangeBlocking(target, endpoint, std::move(*body));
    if (!reply) return {};
    return readMapReply(*reply, defaultKey).value_or(StringMap{});
}

bool callMapAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string defaultKey, ValueCallback completion) {
    return startAsync(target, endpoint, std::move(body),
                      [completion = std::move(completion), defaultKey = std::move(defaultKey)](
                          std::string_view reply) {
                          if (auto map = readMapReply(reply, defaultKey)) {
                              complete(completion, toJson(std::move(*map)));
                          }
                      });
}

}  // namespace velmora::detail
