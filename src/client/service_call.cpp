// The one call of every operation: the body goes to the blocking driver or, as an Exchange,
// to the I/O thread; the reply is read here or on the delivery thread, into an outcome that
// each form hands on as it promises.

#include "client/service_call.hpp"

#include <chrono>
#include <utility>

#include "client/log.hpp"
#include "client/outcome.hpp"
#include "transport/exchange.hpp"
#include "transport/runtime.hpp"
#include "wire/reply.hpp"

namespace velmora::detail {

namespace {

CallSite siteOf(const Target& target, Endpoint endpoint) noexcept {
    return CallSite{target.origin, endpoint, std::chrono::duration<double>(target.idleTimeout).count()};
}

struct BoolReading {
    using Value = bool;
    bool reportParseError = false;

    Result<bool> operator()(const CallSite& site, long httpStatus, std::string_view reply) const {
        const Envelope envelope = readEnvelope(reply);
        if (reportParseError && envelope.shape == Envelope::Shape::notJson) logLine(envelope.parseError);
        return readBoolOutcome(site, httpStatus, reply, envelope);
    }
};

// `Key` is a view for a blocking call and owns the key for a call that outlives its caller.
template <class Key>
struct MapReading {
    using Value = StringMap;
    Key defaultKey;

    Result<StringMap> operator()(const CallSite& site, long httpStatus, std::string_view reply) const {
        return readMapOutcome(site, httpStatus, reply, readEnvelope(reply), defaultKey);
    }
};

// A completion that throws must not take the delivery thread down with it.
template <class F, class Arg>
void complete(const F& completion, Arg&& arg) {
    if (!completion) return;
    try {
        completion(std::forward<Arg>(arg));
    } catch (...) {
    }
}

template <class Reading>
Result<typename Reading::Value> callBlocking(const std::shared_ptr<const Target>& target, Endpoint endpoint,
                                             Body body, const Reading& reading) {
    const CallSite site = siteOf(*target, endpoint);
    if (!target->valid) return invalidOrigin(site);
    if (!body) return invalidArgument(site);
    std::string reply;
    const ExchangeEnd end = performBlocking(*target, endpoint, *body, reply);
    if (!end.replied()) return exchangeFailure(site, end);
    return reading(site, end.httpStatus, reply);
}

// Where a non-blocking call's outcome goes. `kFailures`: whether a failure is handed on at
// all; the forms that drop failures then skip describing them.
template <class T>
struct EveryOutcome {
    static constexpr bool kFailures = true;
    std::function<void(Result<T>)> done;
    Holder holder;
    void operator()(Result<T>&& outcome) const { complete(done, std::move(outcome)); }
};

struct BoolResults {
    static constexpr bool kFailures = false;
    BoolCallback completion;
    void operator()(Result<bool>&& outcome) const {
        if (outcome) complete(completion, *outcome);
    }
};

struct MapResults {
    static constexpr bool kFailures = false;
    ValueCallback completion;
    void operator()(Result<StringMap>&& outcome) const {
        if (outcome) complete(completion, toJson(std::move(*outcome)));
    }
};

// The reply is read on the delivery thread; the I/O thread only hands the exchange over.
template <class Reading, class Sink>
class AsyncExchange final : public Exchange {
public:
    AsyncExchange(std::shared_ptr<const Target> target, Endpoint endpoint, std::string body, Reading reading,
                  Sink sink)
        : Exchange(std::move(target), endpoint, std::move(body)),
          reading_(std::move(reading)),
          sink_(std::move(sink)) {}

    void deliver() override {
        const CallSite site = siteOf(target(), endpoint());
        if (gotReply()) {
            sink_(reading_(site, end().httpStatus, reply()));
        } else if constexpr (Sink::kFailures) {
            sink_(exchangeFailure(site, end()));
        }
    }

private:
    void finished() override { deliveryQueue().post(shared_from_this()); }
    Reading reading_;
    Sink sink_;
};

// A failure known before anything is sent, handed to the delivery thread like any outcome.
template <class T>
class EarlyFailure final : public Deliverable {
public:
    EarlyFailure(Error error, EveryOutcome<T> sink) : error_(std::move(error)), sink_(std::move(sink)) {}
    void deliver() override { sink_(Result<T>(std::move(error_))); }

private:
    Error error_;
    EveryOutcome<T> sink_;
};

template <class Reading, class Sink>
void startAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, std::string body,
                Reading reading, Sink sink) {
    startExchange(std::make_shared<AsyncExchange<Reading, Sink>>(target, endpoint, std::move(body),
                                                                 std::move(reading), std::move(sink)),
                  /*deferWake=*/true);
}

template <class Reading, class T>
void callOutcomeAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                      Reading reading, EveryOutcome<T> sink) {
    if (!target->valid || !body) {
        const CallSite site = siteOf(*target, endpoint);
        Error error = !target->valid ? invalidOrigin(site) : invalidArgument(site);
        deliveryQueue().post(std::make_shared<EarlyFailure<T>>(std::move(error), std::move(sink)));
        return;
    }
    startAsync(target, endpoint, std::move(*body), std::move(reading), std::move(sink));
}

}  // namespace

Result<bool> callBoolOutcome(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                             BoolReply options) {
    return callBlocking(target, endpoint, std::move(body), BoolReading{options.reportParseError});
}

Result<StringMap> callMapOutcome(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                                 std::string_view defaultKey) {
    return callBlocking(target, endpoint, std::move(body), MapReading<std::string_view>{defaultKey});
}

void callBoolOutcomeAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                          Holder holder, std::function<void(Result<bool>)> done) {
    callOutcomeAsync(target, endpoint, std::move(body), BoolReading{},
                     EveryOutcome<bool>{std::move(done), std::move(holder)});
}

void callMapOutcomeAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                         std::string defaultKey, Holder holder, std::function<void(Result<StringMap>)> done) {
    callOutcomeAsync(target, endpoint, std::move(body), MapReading<std::string>{std::move(defaultKey)},
                     EveryOutcome<StringMap>{std::move(done), std::move(holder)});
}

bool callBool(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body, BoolReply options) {
    // No reply data is a failure, not a success.
    return callBoolOutcome(target, endpoint, std::move(body), options).value_or(false);
}

bool callBoolAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                   BoolCallback completion) {
    if (!target->valid || !body) return false;
    startAsync(target, endpoint, std::move(*body), BoolReading{}, BoolResults{std::move(completion)});
    return true;
}

StringMap callMap(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string_view defaultKey) {
    return callMapOutcome(target, endpoint, std::move(body), defaultKey).value_or(StringMap{});
}

bool callMapAsync(const std::shared_ptr<const Target>& target, Endpoint endpoint, Body body,
                  std::string defaultKey, ValueCallback completion) {
    if (!target->valid || !body) return false;
    startAsync(target, endpoint, std::move(*body), MapReading<std::string>{std::move(defaultKey)},
               MapResults{std::move(completion)});
    return true;
}

}  // namespace velmora::detail
