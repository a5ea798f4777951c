#pragma once
// The velmora-service executable in a child process, for the service's own tests and the
// end-to-end tests alike: its first output line, its standard error, signals and exit.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

// The velmora-service executable of this build in a child process, started with `args`.
class ServiceProcess {
public:
    explicit ServiceProcess(const std::vector<std::string>& args);
    ~ServiceProcess();  // SIGKILL if still running

    // The line printed on stdout, or nullopt when the process ended or said nothing within
    // the time limit.
    std::optional<std::string> firstLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::string origin();  // from the "listening <origin>" line; empty when absent
    void signal(int sig);
    // The exit code, or -1 when it did not exit within `timeout` (or died of a signal).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::string standardError() const;
    std::string restOfStandardOutput();  // what followed the first line, after exit

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string stderrPath_;
    std::string buffered_;
    std::optional<int> exitCode_;
};

}  // namespace velmora::testing
