#pragma once
// The subcommands of `velmora`. Each returns the process's exit code.

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::cli {

enum Exit : int {
    kSuccess = 0,
    kFailed = 1,  // no readable reply, or the service answered false
    kUsage = 2,   // bad arguments or options
    kNotFound = 3,  // get: nothing stored under the key
};

// Options every subcommand takes.
struct Common {
    std::string origin;  // empty: the origin built into the library
    std::string caFile;
    std::string clientCertificate;  // for services that ask for one
    std::string clientKey;
    double timeout = 15.0;  // seconds without data moving before an exchange is given up
    std::string status = "ON";
    bool json = false;
};

// Options of the commands that run until stopped.
struct Running {
    double interval = 0.5;                   // seconds between polls (or list refreshes)
    std::optional<double> duration;          // --for: stop after this many seconds
    std::optional<std::int64_t> count;       // watch --count: stop after this many messages
    double heartbeat = 3.0;                  // presence: seconds between status reports
};

std::string builtInOrigin();

int sendCommand(const Common& common, const std::string& from, const std::string& to, const std::string& text);
int inboxCommand(const Common& common, const std::string& user);
int watchCommand(const Common& common, const Running& running, const std::string& user);
int presenceCommand(const Common& common, const Running& running, const std::string& team,
                    const std::string& app, const std::string& user, std::int64_t refreshRate);
int usersCommand(const Common& common, const std::string& team, const std::string& app,
                 const std::string& user, std::int64_t refreshRate, bool onlineOnly);
int putCommand(const Common& common, const std::string& team, const std::string& tag,
               const std::string& key, const std::string& jsonText);
int getCommand(const Common& common, const std::string& team, const std::string& tag,
               const std::string& key);

}  // namespace velmora::cli
