#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include <velmora/result.hpp>
#include <velmora/run_loop.hpp>

namespace velmora {

using StringMap = std::unordered_map<std::string, std::string>;
using JsonValue = nlohmann::json;

// Completion of a non-blocking operation. Called at most once, on the library's delivery
// thread (never on the caller's thread), and only when a readable reply arrived. It must
// not be relied on to run for a call whose exchange fails.
using BoolCallback = std::function<void(bool)>;

// Receives a decoded reply as a JSON object of text members. For `receiveMessageAsync`,
// `readAsync` and `receiveMessages` it runs on the delivery thread; for `receiveUsers` it
// runs on the thread whose run loop holds the timer.
using ValueCallback = std::function<void(const JsonValue&)>;

// Receives every line the library would print (without its line feed), in place of the
// default, which writes the line and a line feed to standard output. It runs on the thread
// whose call produced the line, and may run on several threads at once. Any thread may
// set it at any time: a line being logged while it is replaced goes to the old handler or
// to the new one. An empty function restores the default. Today the one line is the JSON
// parser's description of a reply that is not JSON, from sendMessageSync.
void setLogHandler(std::function<void(std::string_view line)> handler);

// Where and how one client reaches the service.
struct ServiceConfig {
    // "https://host[:port]" (an optional path prefix is allowed); "http://" for local
    // services. Anything else makes every call of the client fail without sending.
    std::string origin;
    // PEM file of CAs trusted in addition to the system store; empty = the system store only.
    std::string caFile;
    // Seconds without any data moving (connecting, or any stretch of the exchange) after
    // which the exchange ends without data. Non-positive or non-finite means 60.
    double requestTimeout = 60.0;
};

namespace detail {
struct Target;
struct TimerRegistry;
}  // namespace detail

// Connections. Calls of one form made one after another from one thread go over one
// kept-alive connection (and one TLS handshake); the blocking and the non-blocking form
// keep one each, and calls in flight at the same moment may each open their own. A request
// that could not be sent because the service had closed a kept-alive connection is sent
// once more on a fresh one; a request that may have reached the service is never sent twice.
class Velmora : public std::enable_shared_from_this<Velmora> {
public:
    // A client of the service origin built into the library.
    static std::shared_ptr<Velmora> create();
    // A client of the service described by `config`.
    static std::shared_ptr<Velmora> create(ServiceConfig config);
    virtual ~Velmora();

    Velmora(const Velmora&) = delete;
    Velmora& operator=(const Velmora&) = delete;

    // Settings. Values are stored unchanged; reads and writes may come from any thread.
    // The modify forms run `update` with exclusive access to the setting.
    double timeInterval() const;
    void setTimeInterval(double seconds);
    void modifyTimeInterval(const std::function<void(double&)>& update);
    double statusInterval() const;
    void setStatusInterval(double seconds);
    void modifyStatusInterval(const std::function<void(double&)>& update);
    std::string status() const;
    void setStatus(std::string status);
    void modifyStatus(const std::function<void(std::string&)>& update);

    // Presence.
    // Reports `status()` for the user every `statusInterval()` seconds on the calling
    // thread's run loop; the first report follows one interval after the call. The
    // interval is read once, here (RunLoop says what out-of-range intervals do).
    virtual void initUser(const std::string& team, const std::string& appCode,
                          const std::string& userName, std::int64_t refreshRate);
    // Reports `status()` once and returns the service's reply (blocking).
    virtual StringMap getUsers(const std::string& team, const std::string& appCode,
                               const std::string& userName, std::int64_t refreshRate,
                               bool returnList, bool onlyOnlineUsers);
    // Every `timeInterval()` seconds on the calling thread's run loop, reports `status()`,
    // asks for the team's list and hands it to `completion` on that thread (an empty
    // object when the exchange failed). Returns true: the timer is scheduled (false only
    // for a client no std::shared_ptr owns, which cannot hold a timer).
    virtual bool receiveUsers(const std::string& team, const std::string& appCode,
                              const std::string& userName, std::int64_t refreshRate,
                              ValueCallback completion);
    // Reports the given `status` once (blocking); the `status()` setting is not involved.
    virtual StringMap status(const std::string& team, const std::string& appCode,
                             std::int64_t refreshRate, const std::string& userName,
                             const std::string& status, bool returnList, bool onlyOnlineUsers);

    // Messaging.
    virtual bool sendMessageSync(const std::string& from, const std::string& to,
                                 const std::string& message);
    virtual bool sendMessageAsync(const std::string& from, const std::string& to,
                                  const std::string& message, BoolCallback completion);
    virtual StringMap receiveMessageSync(const std::string& receiver);
    virtual bool receiveMessageAsync(const std::string& receiver, ValueCallback completion);
    // Every `timeInterval()` seconds on the calling thread's run loop, starts one
    // non-blocking fetch whose result reaches `completion` on the delivery thread.
    // Returns true as receiveUsers does.
    virtual bool receiveMessages(const std::string& receiver, ValueCallback completion);

    // Shared store.
    virtual bool writeSync(const std::string& team, const std::string& tag,
                           const std::string& key, const JsonValue& value);
    virtual StringMap readSync(const std::string& team, const std::string& tag,
                               const std::string& key);
    virtual bool writeAsync(const std::string& team, const std::string& tag,
                            const std::string& key, const JsonValue& value,
                            BoolCallback completion);
    virtual bool readAsync(const std::string& team, const std::string& tag,
                           const std::string& key, ValueCallback completion);

    // Outcomes. One member per operation of the service, each in a blocking form that
    // returns the outcome and a non-blocking form that hands it to `done`. These never
    // print, and tell every failure apart (Errc, with a message for people).
    //
    // The result is what the service answered, read as the members above read it (the
    // boolean "d", or the decoded records of a text "d", a bare record under `key` for read
    // and under "" otherwise). The HTTP status is not consulted for a reply that reads as a
    // result, so these agree with the members above whatever the status; a reply that does
    // not read as one is `httpStatus` when its status is not 2xx (Error::httpStatus set),
    // else `malformedReply`.
    //
    // `done` runs exactly once per call, on the delivery thread, also when nothing could be
    // sent; never on the calling thread inside the call, though it may run before the call
    // returns. A call in flight holds its client, so `done` never runs after the client is
    // gone. At process exit (the library's exit handler, which runs after main returns or
    // at exit()) the delivery thread stops first: a `done` that has not started by then
    // never runs, and is released unrun; a blocking call waiting then, or made later,
    // returns `shuttingDown`. An exception thrown by `done` is caught and dropped.
    Result<bool> sendMessage(const std::string& from, const std::string& to, const std::string& message);
    void sendMessage(const std::string& from, const std::string& to, const std::string& message,
                     std::function<void(Result<bool>)> done);
    Result<StringMap> receiveMessage(const std::string& receiver);
    void receiveMessage(const std::string& receiver, std::function<void(Result<StringMap>)> done);
    Result<bool> write(const std::string& team, const std::string& tag, const std::string& key,
                       const JsonValue& value);
    void write(const std::string& team, const std::string& tag, const std::string& key,
               const JsonValue& value, std::function<void(Result<bool>)> done);
    Result<StringMap> read(const std::string& team, const std::string& tag, const std::string& key);
    void read(const std::string& team, const std::string& tag, const std::string& key,
              std::function<void(Result<StringMap>)> done);
    // Reports `status` (not the `status()` setting) and returns the service's reply.
    Result<StringMap> refreshStatus(const std::string& team, const std::string& appCode,
                                    std::int64_t refreshRate, const std::string& userName,
                                    const std::string& status, bool returnList, bool onlyOnlineUsers);
    void refreshStatus(const std::string& team, const std::string& appCode, std::int64_t refreshRate,
                       const std::string& userName, const std::string& status, bool returnList,
                       bool onlyOnlineUsers, std::function<void(Result<StringMap>)> done);

    // Ends every repeating timer this client started, on whichever loops hold them. Once it
    // returns no further tick starts (a tick already running elsewhere finishes, without
    // being waited for) and the timers have let go of the client, but for one whose tick
    // is running, which lets go as that tick returns. Any thread; safe inside a tick or a
    // completion and when repeated.
    void stopTimers();

protected:
    // Subclasses are made with std::make_shared; every client must be shared, since its
    // timers hold it.
    explicit Velmora(ServiceConfig config);
    Velmora();

private:
    std::atomic<double> timeInterval_{0.5};
    std::atomic<double> statusInterval_{3.0};
    std::string status_{"ON"};
    mutable std::mutex settingsMutex_;  // writers of all three settings, readers of `status_`

    std::shared_ptr<const detail::Target> target_;
    std::shared_ptr<detail::TimerRegistry> timers_;
};

}  // namespace velmora

extern "C" {
extern const double VelmoraVersionNumber;           // 1.0
extern const unsigned char VelmoraVersionString[];  // "@(#)PROGRAM:Velmora  PROJECT:velmora-1\n"
}
