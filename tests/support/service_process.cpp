#include "support/service_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef VELMORA_SERVICE_BINARY
#define VELMORA_SERVICE_BINARY ""
#endif

extern char** environ;

namespace velmora::testing {

ServiceProcess::ServiceProcess(const std::vector<std::string>& args) {
    char pattern[] = "/tmp/velmora-service-stderr-XXXXXX";
    const int errFd = ::mkstemp(pattern);
    if (errFd < 0) throw std::runtime_error("mkstemp");
    stderrPath_ = pattern;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    std::vector<std::string> argv{VELMORA_SERVICE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(errFd);
    if (rc != 0) {
        ::close(out[0]);
        throw std::runtime_error("posix_spawn " + argv[0]);
    }
    stdoutFd_ = out[0];
}

ServiceProcess::~ServiceProcess() {
    if (!exitCode_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
    std::remove(stderrPath_.c_str());
}

std::optional<std::string> ServiceProcess::firstLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (buffered_.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{stdoutFd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(stdoutFd_, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        buffered_.append(buf, static_cast<std::size_t>(n));
    }
    return buffered_.substr(0, buffered_.find('\n'));
}

std::string ServiceProcess::origin() {
    const auto line = firstLine();
    const std::string prefix = "listening ";
    if (!line || line->rfind(prefix, 0) != 0) return {};
    return line->substr(prefix.size());
}

void ServiceProcess::signal(int sig) {
    if (!exitCode_) ::kill(pid_, sig);
}

int ServiceProcess::wait(std::chrono::milliseconds timeout) {
    if (exitCode_) return *exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return *exitCode_;
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        // A child's exit cannot be waited for with a timeout portably; poll briefly.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ServiceProcess::standardError() const {
    std::ifstream in(stderrPath_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ServiceProcess::restOfStandardOutput() {
    std::string all = buffered_;
    char buf[256];
    ssize_t n;
    while ((n = ::read(stdoutFd_, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    buffered_.clear();
    const auto newline = all.find('\n');
    return newline == std::string::npos ? all : all.substr(newline + 1);
}

}  // namespace velmora::testing
