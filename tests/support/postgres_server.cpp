#include "support/postgres_server.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <libpq-fe.h>

#ifndef VELMORA_POSTGRES_SCRIPT
#define VELMORA_POSTGRES_SCRIPT "scripts/postgres.sh"
#endif

namespace velmora::testing {

namespace {

constexpr int kNotInstalled = 77;

}  // namespace

PostgresServer* PostgresServer::shared(std::string* why) {
    static std::once_flag once;
    static std::unique_ptr<PostgresServer> server;
    static std::string reason;
    std::call_once(once, [] {
        std::unique_ptr<PostgresServer> s(new PostgresServer);
        char pattern[] = "/tmp/velmora-postgres-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
        s->dir_ = pattern;
        const int rc = s->script("start " + s->dir_ + " " + std::to_string(::getpid()), &s->uri_);
        if (rc == kNotInstalled) {
            std::filesystem::remove_all(s->dir_);
            reason = "PostgreSQL is not installed (scripts/bootstrap.sh installs it)";
            return;
        }
        if (rc != 0 || s->uri_.empty()) throw std::runtime_error("scripts/postgres.sh start failed");
        s->running_ = true;
        server = std::move(s);
        // A static's destructor runs at a normal exit; the script's watcher covers the rest.
        std::atexit([] { server.reset(); });
    });
    if (why) *why = reason;
    return server.get();
}

PostgresServer::~PostgresServer() {
    if (running_) script("stop " + dir_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

int PostgresServer::script(const std::string& command, std::string* firstLine) {
    const std::string line = std::string(VELMORA_POSTGRES_SCRIPT) + " " + command;
    std::FILE* out = ::popen(line.c_str(), "r");
    if (out == nullptr) return -1;
    char buffer[512];
    std::string first;
    while (std::fgets(buffer, sizeof buffer, out)) {
        if (first.empty()) first = buffer;
    }
    const int status = ::pclose(out);
    while (!first.empty() && (first.back() == '\n' || first.back() == '\r')) first.pop_back();
    if (firstLine) *firstLine = first;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PostgresServer::freshDatabase() {
    static std::atomic<int> next{0};
    const std::string name = "velmora_test_" + std::to_string(next++);
    std::unique_ptr<PGconn, decltype(&PQfinish)> admin(PQconnectdb(uri_.c_str()), PQfinish);
    if (PQstatus(admin.get()) != CONNECTION_OK) {
        throw std::runtime_error(std::string("test database server: ") + PQerrorMessage(admin.get()));
    }
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(admin.get(), ("CREATE DATABASE " + name).c_str()), PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
        throw std::runtime_error(std::string("CREATE DATABASE: ") + PQerrorMessage(admin.get()));
    }
    return uri_.substr(0, uri_.rfind('/') + 1) + name;
}

void PostgresServer::stop() {
    if (script("stop " + dir_) != 0) throw std::runtime_error("scripts/postgres.sh stop failed");
    running_ = false;
}

void PostgresServer::start() {
    std::string uri;
    if (script("start " + dir_, &uri) != 0 || uri != uri_) throw std::runtime_error("scripts/postgres.sh start failed");
    running_ = true;
}

}  // namespace velmora::testing
