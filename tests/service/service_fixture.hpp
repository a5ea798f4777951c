#pragma once
// The service for tests: in-process (storage, handler and HTTPS server on a thread) or as
// the real executable in a child process.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "certificate.hpp"
#include "handler.hpp"
#include "server.hpp"
#include "storage.hpp"

namespace velmora::testing {

class InProcessService {
public:
    // `dataDir` holds cert.pem/key.pem (made on first use); `db` defaults to
    // dataDir/velmora.db; `clock` to the system clock.
    explicit InProcessService(const std::string& dataDir, const std::string& db = "", bool https = true,
                              service::Clock clock = {});
    ~InProcessService();

    const std::string& origin() const { return server_->origin(); }
    const std::string& caFile() const { return certs_.certFile; }  // empty for http
    service::Storage& storage() { return *storage_; }
    void stop();

private:
    service::CertificateFiles certs_;
    std::unique_ptr<service::Storage> storage_;
    std::unique_ptr<service::Handler> handler_;
    std::unique_ptr<service::Server> server_;
    std::thread thread_;
};

// The executable, started with `args`; waits for its "listening" line.
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
