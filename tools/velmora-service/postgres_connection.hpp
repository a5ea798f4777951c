#pragma once
// The PostgreSQL store's inside, shared by its connection pool (postgres_connection.cpp,
// with the schema and the statements every connection prepares) and its operations
// (postgres_storage.cpp): statements' parameters and results in binary, one connection,
// its lease from the pool, and the loop that runs a request's body on a borrowed
// connection.

#include <endian.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <libpq-fe.h>

#include "postgres_storage.hpp"

namespace velmora::service {

namespace detail {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Raised inside run(): the body may be tried again on another connection.
struct TryAgain {
    std::string why;
};

// Parameters of one statement, kept alive until it has been sent.
class Params {
public:
    Params& text(std::string_view value) {
        // A null pointer would be SQL NULL; an empty bytea needs a real one.
        values_.push_back(value.empty() ? "" : value.data());
        lengths_.push_back(static_cast<int>(value.size()));
        formats_.push_back(1);
        return *this;
    }
    Params& number(std::int64_t value) {
        std::uint64_t big = htobe64(static_cast<std::uint64_t>(value));
        owned_.push_back(std::string(reinterpret_cast<const char*>(&big), sizeof big));
        return text(owned_.back());
    }
    // A parameter in PostgreSQL's text format, e.g. an array literal.
    Params& literal(std::string value) {
        owned_.push_back(std::move(value));
        values_.push_back(owned_.back().c_str());
        lengths_.push_back(0);
        formats_.push_back(0);
        return *this;
    }
    int size() const { return static_cast<int>(values_.size()); }
    const char* const* values() const { return values_.data(); }
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }

private:
    std::deque<std::string> owned_;  // numbers and literals; a deque keeps their addresses
    std::vector<const char*> values_;
    std::vector<int> lengths_;
    std::vector<int> formats_;
};

std::string bytes(const PGresult* r, int row, int column);
std::int64_t number(const PGresult* r, int row, int column);
// libpq's messages run over several lines, the later ones indented.
std::string oneLine(const char* message);

}  // namespace detail

class PostgresStorage::Connection {
public:
    Connection(PGconn* conn, std::uint64_t generation) : conn_(conn), generation_(generation) {}
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool alive() const { return PQstatus(conn_) == CONNECTION_OK; }
    bool idle() const { return PQtransactionStatus(conn_) == PQTRANS_IDLE; }
    std::uint64_t generation() const { return generation_; }
    // A connection that has served a request before may have died since, unseen.
    void startUse(bool reused) {
        reused_ = reused;
        sent_ = 0;
    }

    detail::Result run(const char* statement, const detail::Params& p, const char* what) {
        PGresult* r = PQexecPrepared(conn_, statement, p.size(), p.values(), p.lengths(), p.formats(), 1);
        return check(detail::Result(r, PQclear), what);
    }
    detail::Result exec(const char* sql, const char* what) {
        return check(detail::Result(PQexec(conn_, sql), PQclear), what);
    }
    void quietly(const char* sql) noexcept { PQclear(PQexec(conn_, sql)); }
    PGconn* get() const { return conn_; }

    PostgresStorage* owner = nullptr;

private:
    detail::Result check(detail::Result r, const char* what);

    PGconn* conn_;
    std::uint64_t generation_;
    bool reused_ = false;
    int sent_ = 0;
};

// A borrowed connection, given back (or dropped, when broken or mid-transaction) at the
// end of its scope.
class PostgresStorage::Lease {
public:
    Lease(PostgresStorage& s, std::unique_ptr<Connection> c) : s_(&s), c_(std::move(c)) {}
    Lease(Lease&& other) noexcept : s_(other.s_), c_(std::move(other.c_)) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
        if (c_) s_->release(std::move(c_));
    }
    Connection& operator*() const { return *c_; }

private:
    PostgresStorage* s_;
    std::unique_ptr<Connection> c_;
};

template <class Body>
auto PostgresStorage::run(Body&& body) {
    for (int attempt = 0;; ++attempt) {
        Lease lease = acquire();
        try {
            return body(*lease);
        } catch (const detail::TryAgain& e) {
            if ((*lease).alive()) {
                // Aborted by the server for a conflict: rolled back, so worth another go.
                if (attempt < 3) continue;
                throw StorageError(e.why);
            }
            // A kept connection found dead before anything was sent: the server may only
            // have restarted. Once; a fresh connection then tells.
            if (attempt == 0) {
                dropKept();
                continue;
            }
            lost(e.why);
            throw StorageError("the database is unavailable");
        }
    }
}

}  // namespace velmora::service
