#include "commands.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <velmora/velmora.hpp>

#include "diagnosis.hpp"
#include "output.hpp"
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

void printDiagnosis(const Common& common, const Error& error, const std::string& suffix = {}) {
    const auto diagnosis = diagnose(error, originOf(common), common.caFile, common.timeout);
    printError(diagnosis.headline + suffix);
    printError("  " + diagnosis.detail);
}

// Tells why a call failed and gives the exit code for it.
int failed(const Common& common, const Error& error) {
    printDiagnosis(common, error);
    return error.code == Errc::invalidArgument || error.code == Errc::invalidOrigin ? kUsage : kFailed;
}

int fail(const std::string& failure) {
    printError(failure);
    return kFailed;
}

// Ctrl-C and SIGTERM as a flag that a loop waits on between its calls.
class Stopping {
public:
    void request() {
        std::lock_guard lock(mutex_);
        requested_ = true;
        changed_.notify_all();
    }
    bool requested() {
        std::lock_guard lock(mutex_);
        return requested_;
    }
    // Waits until `until` or a stop request; true when stopping.
    bool waitUntil(Clock::time_point until) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, until, [&] { return requested_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool requested_ = false;
};

// When --for ends the command; far in the future without it.
Clock::time_point endOf(const Running& running) {
    return running.duration ? Clock::now() + seconds(*running.duration) : Clock::time_point::max();
}

// What the first Ctrl-C says a long-running command still waits for.
std::string stoppingNotice(const Common& common, const std::string& call, const std::string& why = {}) {
    return "stopping: waiting for the " + call + " on its way, if any (at most " +
           std::to_string(static_cast<long long>(std::ceil(common.timeout))) + " s without data)" + why;
}

// Says once when calls start failing, again when the reason changes and when they succeed
// again, so a long wait is never silent about a service that cannot be reached.
class Health {
public:
    explicit Health(const Common& common) : common_(common) {}
    void failed(const Error& error) {
        const auto headline = diagnose(error, originOf(common_), common_.caFile, common_.timeout).headline;
        if (headline == failing_) return;
        failing_ = headline;
        printDiagnosis(common_, error, " (still trying)");
    }
    void answered() {
        everAnswered_ = true;
        if (!failing_.empty()) printError("the service answers again");
        failing_.clear();
    }
    // The exit code of a command that is ending.
    int finish() const {
        if (everAnswered_) return kSuccess;
        return fail("the service never answered at " + originOf(common_));
    }

private:
    const Common& common_;
    std::string failing_;
    bool everAnswered_ = false;
};

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
    const auto sent = makeClient(common)->sendMessage(from, to, text);
    if (!sent) return failed(common, sent.error());
    if (common.json) printLine(toJsonText({{"sent", *sent}}));
    if (!*sent) {
        return fail("the service refused the message (it answered false: for velmora-service, the text is "
                    "too large for one reply or the recipient's queue is full)");
    }
    if (!common.json) printLine("sent " + from + " -> " + to);
    return kSuccess;
}

int inboxCommand(const Common& common, const std::string& user) {
    const auto reply = makeClient(common)->receiveMessage(user);
    if (!reply) return failed(common, reply.error());
    const auto messages = sortedMessages(*reply);
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
    const auto stored = makeClient(common)->write(team, tag, key, value);
    if (!stored) return failed(common, stored.error());
    if (common.json) printLine(toJsonText({{"stored", *stored}}));
    if (!*stored) {
        return fail("the service refused to store " + address(team, tag, key) +
                    " (it answered false: for velmora-service, the team's quota is used up, the disk is "
                    "nearly full, or the value holds '\xC2\xA7')");
    }
    if (!common.json) printLine("stored " + address(team, tag, key));
    return kSuccess;
}

int getCommand(const Common& common, const std::string& team, const std::string& tag, const std::string& key) {
    const auto reply = makeClient(common)->read(team, tag, key);
    if (!reply) return failed(common, reply.error());
    const auto entries = sortedEntries(*reply);
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
    const auto reply = makeClient(common)->refreshStatus(team, app, refreshRate, user, common.status, true, onlineOnly);
    if (!reply) return failed(common, reply.error());
    const auto users = sortedEntries(*reply);
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
    // One fetch at a time, each awaited, so that every failure is told at once and a stop
    // never leaves behind a fetch whose messages the service has handed over.
    Stopping stopping;
    StopSignal stopSignal([&stopping] { stopping.request(); },
                          stoppingNotice(common, "fetch", " so that no message it carries is lost"));
    Health health(common);
    const auto end = endOf(running);
    std::int64_t printed = 0;
    while (!stopping.requested() && !(running.count && printed >= *running.count) && Clock::now() < end) {
        const auto reply = client->receiveMessage(user);
        if (reply) {
            health.answered();
            const auto messages = sortedMessages(*reply);
            printMessages(messages, common.json);
            printed += static_cast<std::int64_t>(messages.size());
            // A reply cut short by the service's bound: fetch the rest now, not a tick later.
            if (mayHaveLeftMessages(messages)) continue;
        } else {
            health.failed(reply.error());
        }
        stopping.waitUntil(std::min(Clock::now() + seconds(running.interval), end));
    }
    if (running.count && printed < *running.count) {
        return fail(std::to_string(printed) + " of " + std::to_string(*running.count) + " messages arrived");
    }
    return health.finish();
}

int presenceCommand(const Common& common, const Running& running, const std::string& team, const std::string& app,
                    const std::string& user, std::int64_t refreshRate) {
    auto client = makeClient(common);
    Stopping stopping;
    StopSignal stopSignal([&stopping] { stopping.request(); }, stoppingNotice(common, "report"));
    Health health(common);
    const auto end = endOf(running);

    // Every list refresh is also a report, so a report of its own is due only when the
    // heartbeat is the shorter period.
    Entries shown;
    bool anyShown = false;
    auto nextList = Clock::now();
    auto nextReport = Clock::now();
    while (!stopping.requested() && Clock::now() < end) {
        const bool list = Clock::now() >= nextList;
        const auto reply = client->refreshStatus(team, app, refreshRate, user, common.status, list, false);
        const auto now = Clock::now();
        nextReport = now + seconds(running.heartbeat);
        if (list) nextList = now + seconds(running.interval);
        if (!reply) {
            health.failed(reply.error());
        } else {
            health.answered();
            auto users = sortedEntries(*reply);
            if (list && !(anyShown && users == shown)) {
                anyShown = true;
                shown = std::move(users);
                if (common.json) {
                    printLine(toJsonText(toJsonObject(shown)));
                } else {
                    printLine("users of " + team + "/" + app + ":");
                    printUsers(shown);
                }
            }
        }
        stopping.waitUntil(std::min({nextList, nextReport, end}));
    }
    return health.finish();
}

}  // namespace velmora::cli
