#pragma once
// The service for tests in-process: storage, handler and HTTPS server on a thread. The
// executable in a child process is support/service_process.hpp.

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
#include "support/service_process.hpp"

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

}  // namespace velmora::testing
