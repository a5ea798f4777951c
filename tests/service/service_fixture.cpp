#include "service_fixture.hpp"

#include <csignal>

namespace velmora::testing {

InProcessService::InProcessService(const std::string& dataDir, const std::string& db, bool https,
                                   service::Clock clock) {
    // As the executable does: a client that goes away mid-reply must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (https) certs_ = service::ensureSelfSignedCertificate(dataDir);
    storage_ = service::openStorage(db.empty() ? dataDir + "/velmora.db" : db,
                                    clock ? clock : service::Clock(service::systemClockMs));
    handler_ = std::make_unique<service::Handler>(*storage_);
    service::ServerOptions serverOptions;
    serverOptions.listen = {"127.0.0.1", 0};
    serverOptions.https = https;
    serverOptions.certFile = certs_.certFile;
    serverOptions.keyFile = certs_.keyFile;
    server_ = std::make_unique<service::Server>(*handler_, serverOptions);
    thread_ = std::thread([this] { server_->run(); });
}

InProcessService::~InProcessService() { stop(); }

void InProcessService::stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
}

}  // namespace velmora::testing
