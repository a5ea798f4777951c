#pragma once
// One real PostgreSQL server for the whole test process (scripts/postgres.sh), started on
// first use and stopped when the process ends, however it ends; every test takes a
// database of its own from it.

#include <string>

namespace velmora::testing {

class PostgresServer {
public:
    // The process's server, or nullptr when PostgreSQL is not installed; `why` says so, for
    // GTEST_SKIP. Throws when it is installed but would not start.
    static PostgresServer* shared(std::string* why = nullptr);

    // A new empty database on the server; its URI.
    std::string freshDatabase();
    // The server stopped (fast shutdown: connections are cut) and started again, on the
    // same port: its URIs stay valid.
    void stop();
    void start();
    bool running() const { return running_; }

    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

private:
    PostgresServer() = default;
    int script(const std::string& command, std::string* firstLine = nullptr);

    std::string dir_;
    std::string uri_;  // of the "postgres" database
    bool running_ = false;
};

}  // namespace velmora::testing
