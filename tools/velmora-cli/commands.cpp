#include "commands.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
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
    return Velmora::create(
        ServiceConfig{originOf(common), common.caFile, common.timeout, common.clientCertificate, common.clientKey});
}

// How long to wait for the library to end a call before giving up on it. Its own request
// timeout ends every exchange well before this; the margin covers connecting plus one
// stalled stretch of the reply.
Clock::duration backstop(const Common& common) { return seconds(2.0 * common.timeout + 10.0); }

int noReply(const Common& common) {
    printError("no readable reply from " + originOf(common) +
               " (is the service running there, and is its certificate trusted? see --ca-file)");
    return kFailed;
}

int notBuilt() {
    printError("the request could not be built");
    return kFailed;
}

std::string address(const std::string& team, const std::string& tag, const std::string& key) {
    return team + "/" + tag + "/" + key;
}

void printEntries(const Entries& entries) {
    for (const auto& [key, value] : entries) printLine(key.empty() ? value : key + ": " + value);
}

// A list of users as aligned "name  status" lines.
void printUsers(const Entries& users) {
    std::size_t width = 0;
    for (const auto& entry : users) width = std::max(width, entry.first.size());
    for (const auto& [name, status] : users) {
        printLine("  " + name + std::string(width - name.size() + 2, ' ') + status);
    }
}

// Asks a one-shot query through the non-blocking form, so that "the service answered
// nothing" and "no readable reply" stay apart (the blocking form gives an empty map for both).
template <class Start>
std::optional<JsonValue> query(const Common& common, Start start, bool& built) {
    Pending<JsonValue> pending;
    built = start(pending.completion());
    return pending.wait(backstop(common));
}

bool isFinite(const JsonValue& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        return std::all_of(value.begin(), value.end(), [](const JsonValue& v) { return isFinite(v); });
    }
    return true;
}

}  // namespace

std::string builtInOrigin() { return VELMORA_CLI_BUILT_IN_ORIGIN; }

int sendCommand(const Common& common, const std::string& from, const std::string& to, const std::string& text) {
    auto client = makeClient(common);
    Pending<bool> pending;
    if (!client->sendMessageAsync(from, to, text, pending.completion())) return notBuilt();
    const auto answer = pending.wait(backstop(common));
    if (!answer) return noReply(common);
    if (common.json) printLine(toJsonText({{"sent", *answer}}));
    if (!*answer) {
        printError("the service refused the message (it answered false)");
        return kFailed;
    }
    if (!common.json) printLine("sent " + from + " -> " + to);
    return kSuccess;
}

int inboxCommand(const Common& common, const std::string& user) {
    auto client = makeClient(common);
    bool built = false;
    const auto messages = query(
        common, [&](ValueCallback done) { return client->receiveMessageAsync(user, std::move(done)); }, built);
    if (!built) return notBuilt();
    if (!messages) return noReply(common);
    const auto entries = sortedMessages(*messages);
    if (common.json) {
        printLine(toJsonText(toJsonObject(entries)));
    } else if (entries.empty()) {
        printLine("no messages for " + user);
    } else {
        printEntries(entries);
    }
    return kSuccess;
}

int putCommand(const Common& common, const std::string& team, const std::string& tag, const std::string& key,
               const std::string& jsonText) {
    auto value = JsonValue::parse(jsonText, nullptr, false);
    if (value.is_discarded()) {
        printError("VALUE is not valid JSON: " + jsonText +
                   " (a text must be quoted, e.g. '\"hello\"')");
        return kUsage;
    }
    if (!isFinite(value)) {
        printError("VALUE holds a number too large to store: " + jsonText);
        return kUsage;
    }
    auto client = makeClient(common);
    Pending<bool> pending;
    if (!client->writeAsync(team, tag, key, value, pending.completion())) return notBuilt();
    const auto answer = pending.wait(backstop(common));
    if (!answer) return noReply(common);
    if (common.json) printLine(toJsonText({{"stored", *answer}}));
    if (!*answer) {
        printError("the service refused to store " + address(team, tag, key) + " (it answered false)");
        return kFailed;
    }
    if (!common.json) printLine("stored " + address(team, tag, key));
    return kSuccess;
}

int getCommand(const Common& common, const std::string& team, const std::string& tag, const std::string& key) {
    auto client = makeClient(common);
    bool built = false;
    const auto reply = query(
        common, [&](ValueCallback done) { return client->readAsync(team, tag, key, std::move(done)); }, built);
    if (!built) return notBuilt();
    if (!reply) return noReply(common);
    const auto entries = sortedEntries(*reply);
    if (common.json) {
        printLine(toJsonText(toJsonObject(entries)));
        return kSuccess;
    }
    if (entries.empty()) {
        // Standard output stays empty, as the value would be: `$(velmora get ...)` reads "".
        printError("nothing stored under " + address(team, tag, key));
    } else if (entries.size() == 1 && entries.front().first == key) {
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
        printError("no user list from " + originOf(common) +
                   " (the service did not answer, or listed nobody)");
        return kFailed;
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
    client->setTimeInterval(running.interval);
    RunLoop& loop = RunLoop::current();

    // Shared with the callbacks, which run on the library's delivery thread.
    struct State {
        std::mutex mutex;
        std::int64_t printed = 0;
        bool answered = false;
        bool silent = false;  // a "no answer" warning is showing
        bool finished = false;  // the loop is gone: callbacks must not touch it
        Clock::time_point lastAnswer = Clock::now();
    };
    auto state = std::make_shared<State>();
    const bool json = common.json;
    const auto target = running.count;

    ReleaseLatch released;
    {
        auto onMessages = [state, json, target, &loop, token = released.token()](const JsonValue& messages) {
            std::lock_guard lock(state->mutex);
            state->answered = true;
            state->lastAnswer = Clock::now();
            if (state->silent) {
                state->silent = false;
                printError("the service answers again");
            }
            for (const auto& [key, text] : sortedMessages(messages)) {
                if (json) {
                    printLine(toJsonText({{"key", key}, {"text", text}}));
                } else {
                    printLine(key.empty() ? text : key + ": " + text);
                }
                ++state->printed;
            }
            if (target && state->printed >= *target && !state->finished) loop.stop();
        };
        // One fetch at once, so waiting messages show without waiting for the first tick.
        if (!client->receiveMessageAsync(user, onMessages)) return notBuilt();
        client->receiveMessages(user, std::move(onMessages));
    }

    const auto quietLimit = std::max(seconds(4 * running.interval), std::chrono::milliseconds(3000));
    const std::string origin = originOf(common);
    {
        StopSignal stopSignal(loop, std::chrono::milliseconds(500), [state, quietLimit, origin] {
            std::lock_guard lock(state->mutex);
            if (!state->silent && Clock::now() - state->lastAnswer > quietLimit) {
                state->silent = true;
                printError("no answer from " + origin + " for " +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(quietLimit).count()) +
                           " s; still trying");
            }
        });
        if (running.duration) {
            loop.runFor(seconds(*running.duration));
        } else {
            loop.run();
        }
    }

    // Fetches already on their way may carry messages the service has handed over: wait
    // for them so nothing is dropped on the way out.
    client->stopTimers();
    if (!released.wait(backstop(common))) {
        printError("gave up waiting for fetches in flight; messages they carry are lost");
    }
    std::lock_guard lock(state->mutex);
    state->finished = true;
    if (target && state->printed < *target) {
        printError(std::to_string(state->printed) + " of " + std::to_string(*target) + " messages arrived");
        return kFailed;
    }
    if (!state->answered) {
        printError("the service never answered at " + origin);
        return kFailed;
    }
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
        StopSignal stopSignal(loop, std::chrono::milliseconds(0), nullptr);
        if (running.duration) {
            loop.runFor(seconds(*running.duration));
        } else {
            loop.run();
        }
    }
    client->stopTimers();
    if (!answered) {
        printError("the service never answered at " + originOf(common));
        return kFailed;
    }
    return kSuccess;
}

}  // namespace velmora::cli
