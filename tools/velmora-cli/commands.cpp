#include "commands.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <velmora/velmora.hpp>

#include "output.hpp"
#include "pending.hpp"
#include "stop_signal.hpp"

#ifndef VELMORA_CLI_BUILT_IN_ORIGIN
#define VELMORA_CLI_BUILT_IN_ORIGIN "https://localhost:8443"
#endif

namespace velmora::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds seconds(double s) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(s * 1000.0)));
}

std::string originOf(const Common& common) {
    return common.origin.empty() ? builtInOrigin() : common.origin;
}

std::shared_ptr<Velmora> makeClient(const Common& common) {
    return Velmora::create(ServiceConfig{originOf(common), common.caFile, common.timeout});
}

// How long to wait for the library to end a call before giving up on it. Its own request
// timeout ends every exchange well before this; the margin covers connecting plus one
// stalled stretch of the reply.
Clock::duration backstop(const Common& common) { return seconds(2.0 * common.timeout + 10.0); }

// The outcome of one call: the service's answer, or why there is none.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::string failure;
};

// Runs one call through the library's non-blocking form, so that "the service answered
// nothing" and "no readable reply" stay apart (the blocking forms give an empty map for
// both). `start` hands the completion to the library and says whether the call was sent.
template <class T, class Start>
Outcome<T> await(const Common& common, Start start) {
    Pending<T> pending;
    if (!start(pending.completion())) return {std::nullopt, "the request could not be built"};
    auto value = pending.wait(backstop(common));
    if (!value) {
        return {std::nullopt, "no readable reply from " + originOf(common) +
                                  " (is the service running there, and is its certificate trusted? see --ca-file)"};
    }
    return {std::move(value), {}};
}

int failed(const std::string& failure) {
    printError(failure);
    return kFailed;
}

std::string address(const std::string& team, const std::string& tag, const std::string& key) {
    return team + "/" + tag + "/" + key;
}

void printEntries(const Entries& entries) {
    for (const auto& [key, value] : entries) printLine(key.empty() ? value : key + ": " + value);
}

void printMessages(const Entries& messages, bool json) {
    for (const auto& [key, text] : messages) {
        printLine(json ? messageJson(key, text) : key.empty() ? text : key + ": " + text);
    }
}

// A list of users as aligned "name  status" lines.
void printUsers(const Entries& users) {
    std::size_t width = 0;
    for (const auto& entry : users) width = std::max(width, entry.first.size());
    for (const auto& [name, status] : users) {
        printLine("  " + name + std::string(width - name.size() + 2, ' ') + status);
    }
}

bool isFinite(const JsonValue& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        return std::all_of(value.begin(), value.end(), [](const JsonValue& v) { return isFinite(v); });
    }
    return true;
}

// The reply texts carry "|" inside a value as "~", and read every "~" back as "|": a "~"
// that was sent arrives as "|". Said before sending, since afterwards nobody can tell.
constexpr const char* kTildeNote = "holds '~', which the service's record format delivers as '|'";

// velmora-service fills one receiveMessage reply up to this many bytes of record text and
// leaves the rest queued; the reply does not say whether it did.
constexpr std::size_t kServiceReplyBudget = 64 * 1024 - 10;

std::size_t escapedSize(const std::string& text) { return toJsonText(JsonValue(text)).size() - 2; }

// Whether a reply of these messages may have left others queued: the room it left is less
// than its largest message needed, so a next message like it would not have fitted.
bool mayHaveLeftMessages(const Entries& messages) {
    std::size_t used = 0;
    std::size_t largest = 0;
    for (const auto& [key, text] : messages) {
        const std::size_t cost = 2 + escapedSize(key) + 1 + escapedSize(text);
        used += cost;
        largest = std::max(largest, cost);
    }
    return !messages.empty() && used + largest > kServiceReplyBudget;
}

}  // namespace

std::string builtInOrigin() { return VELMORA_CLI_BUILT_IN_ORIGIN; }

int sendCommand(const Common& common, const std::string& from, const std::string& to, const std::string& text) {
    if (text.find('~') != std::string::npos) printError(std::string("send: TEXT ") + kTildeNote);
    auto client = makeClient(common);
    const auto sent = await<bool>(common, [&](BoolCallback done) {
        return client->sendMessageAsync(from, to, text, std::move(done));
    });
    if (!sent.value) return failed(sent.failure);
    if (common.json) printLine(toJsonText({{"sent", *sent.value}}));
    if (!*sent.value) {
        return failed("the service refused the message (it answered false: for velmora-service, the text is "
                      "too large for one reply or the recipient's queue is full)");
    }
    if (!common.json) printLine("sent " + from + " -> " + to);
    return kSuccess;
}

int inboxCommand(const Common& common, const std::string& user) {
    auto client = makeClient(common);
    const auto reply = await<JsonValue>(common, [&](ValueCallback done) {
        return client->receiveMessageAsync(user, std::move(done));
    });
    if (!reply.value) return failed(reply.failure);
    const auto messages = sortedMessages(*reply.value);
    if (messages.empty() && !common.json) printLine("no messages for " + user);
    printMessages(messages, common.json);
    if (mayHaveLeftMessages(messages)) {
        printError("this reply came close to the size one reply carries; more messages may be waiting: "
                   "run 'velmora inbox " + user + "' again");
    }
    return kSuccess;
}

int putCommand(const Common& common, const std::string& team, const std::string& tag, const std::string& key,
               const std::string& jsonText) {
    auto value = JsonValue::parse(jsonText, nullptr, false);
    if (value.is_discarded()) {
        const std::string shown = jsonText.size() > 80 ? jsonText.substr(0, 80) + "..." : jsonText;
        printError("put: VALUE is not valid JSON: " + shown + " (a text must be quoted, e.g. '\"hello\"')");
        return kUsage;
    }
    if (!isFinite(value)) {
        printError("put: VALUE holds a number too large to store");
        return kUsage;
    }
    if (toJsonText(value).find('~') != std::string::npos) printError(std::string("put: VALUE ") + kTildeNote);
    auto client = makeClient(common);
    const auto stored = await<bool>(common, [&](BoolCallback done) {
        return client->writeAsync(team, tag, key, value, std::move(done));
    });
    if (!stored.value) return failed(stored.failure);
    if (common.json) printLine(toJsonText({{"stored", *stored.value}}));
    if (!*stored.value) {
        return failed("the service refused to store " + address(team, tag, key) +
                      " (it answered false: for velmora-service, the team's quota is used up, the disk is "
                      "nearly full, or the value holds '\xC2\xA7')");
    }
    if (!common.json) printLine("stored " + address(team, tag, key));
    return kSuccess;
}

int getCommand(const Common& common, const std::string& team, const std::string& tag, const std::string& key) {
    auto client = makeClient(common);
    const auto reply = await<JsonValue>(common, [&](ValueCallback done) {
        return client->readAsync(team, tag, key, std::move(done));
    });
    if (!reply.value) return failed(reply.failure);
    const auto entries = sortedEntries(*reply.value);
    if (entries.empty()) {
        // Standard output stays empty, as the value would be: `$(velmora get ...)` reads "".
        printError("nothing stored under " + address(team, tag, key));
        return kNotFound;
    }
    const bool single = entries.size() == 1 && entries.front().first == key;
    if (common.json) {
        if (single) {
            printLine(toJsonText(asJson(entries.front().second)));
        } else {
            JsonValue object = JsonValue::object();
            for (const auto& [name, text] : entries) object[name] = asJson(text);
            printLine(toJsonText(object));
        }
    } else if (single) {
        printLine(entries.front().second);
    } else {
        printEntries(entries);
    }
    return kSuccess;
}

int usersCommand(const Common& common, const std::string& team, const std::string& app, const std::string& user,
                 std::int64_t refreshRate, bool onlineOnly) {
    auto client = makeClient(common);
    client->setStatus(common.status);
    const auto users = sortedEntries(client->getUsers(team, app, user, refreshRate, true, onlineOnly));
    // The caller has just reported itself, so a service that answered lists at least one user.
    if (users.empty()) {
        return failed("no user list from " + originOf(common) + " (the service did not answer, or listed nobody)");
    }
    if (common.json) {
        printLine(toJsonText(toJsonObject(users)));
    } else {
        printLine((onlineOnly ? "online in " : "users of ") + team + "/" + app + ":");
        printUsers(users);
    }
    return kSuccess;
}

int watchCommand(const Common& common, const Running& running, const std::string& user) {
    auto client = makeClient(common);

    // One fetch at a time, each awaited, so that every failure is known (and told) at once
    // and a stop never leaves a fetch behind whose messages the service has handed over.
    struct Stop {
        std::mutex mutex;
        std::condition_variable changed;
        bool requested = false;
    };
    auto stop = std::make_shared<Stop>();
    StopSignal stopSignal(
        [stop] {
            std::lock_guard lock(stop->mutex);
            stop->requested = true;
            stop->changed.notify_all();
        },
        "stopping; a fetch on its way is waited for (at most " +
            std::to_string(static_cast<long long>(std::ceil(common.timeout))) +
            " s without data), so that no message it carries is lost");
    const auto stopRequested = [&] {
        std::lock_guard lock(stop->mutex);
        return stop->requested;
    };

    const auto end = running.duration ? std::optional(Clock::now() + seconds(*running.duration)) : std::nullopt;
    std::int64_t printed = 0;
    bool answered = false;
    std::string failing;  // the failure last told, while the service does not answer
    while (!stopRequested() && !(running.count && printed >= *running.count) && !(end && Clock::now() >= *end)) {
        const auto reply = await<JsonValue>(common, [&](ValueCallback done) {
            return client->receiveMessageAsync(user, std::move(done));
        });
        if (reply.value) {
            answered = true;
            if (!failing.empty()) printError("the service answers again");
            failing.clear();
            const auto messages = sortedMessages(*reply.value);
            printMessages(messages, common.json);
            printed += static_cast<std::int64_t>(messages.size());
            // A reply cut short by the service's bound: fetch the rest now, not a tick later.
            if (mayHaveLeftMessages(messages)) continue;
        } else if (reply.failure != failing) {
            failing = reply.failure;
            printError(failing + "; still trying");
        }
        std::unique_lock lock(stop->mutex);
        auto wake = Clock::now() + seconds(running.interval);
        if (end) wake = std::min(wake, *end);
        stop->changed.wait_until(lock, wake, [&] { return stop->requested; });
    }

    if (running.count && printed < *running.count) {
        return failed(std::to_string(printed) + " of " + std::to_string(*running.count) + " messages arrived");
    }
    if (!answered) return failed("the service never answered at " + originOf(common));
    return kSuccess;
}

int presenceCommand(const Common& common, const Running& running, const std::string& team, const std::string& app,
                    const std::string& user, std::int64_t refreshRate) {
    auto client = makeClient(common);
    client->setStatus(common.status);
    client->setStatusInterval(running.heartbeat);
    client->setTimeInterval(running.interval);
    RunLoop& loop = RunLoop::current();

    // Everything here runs on this thread: the list callback runs inside the timer's tick.
    bool answered = false;
    bool silent = false;
    Entries shown;
    bool anyShown = false;
    auto show = [&](Entries users) {
        if (users.empty()) {
            if (!silent) printError("no user list from " + originOf(common) + "; still trying");
            silent = true;
            return;
        }
        if (silent) printError("the service answers again");
        silent = false;
        answered = true;
        if (anyShown && users == shown) return;
        anyShown = true;
        shown = std::move(users);
        if (common.json) {
            printLine(toJsonText(toJsonObject(shown)));
        } else {
            printLine("users of " + team + "/" + app + ":");
            printUsers(shown);
        }
    };

    show(sortedEntries(client->getUsers(team, app, user, refreshRate, true, false)));
    client->initUser(team, app, user, refreshRate);
    client->receiveUsers(team, app, user, refreshRate,
                         [&show](const JsonValue& users) { show(sortedEntries(users)); });
    {
        StopSignal stopSignal([&loop] { loop.stop(); },
                              "stopping once the exchange on its way ends (at most " +
                                  std::to_string(static_cast<long long>(std::ceil(common.timeout))) +
                                  " s without data)");
        if (running.duration) {
            loop.runFor(seconds(*running.duration));
        } else {
            loop.run();
        }
    }
    client->stopTimers();
    if (!answered) return failed("the service never answered at " + originOf(common));
    return kSuccess;
}

}  // namespace velmora::cli
