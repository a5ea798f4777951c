// velmora-service: the reference service on a laptop or in a test.
//
// Exit codes: 0 stopped by SIGINT/SIGTERM, 1 could not start or serve, 2 usage.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <thread>

#include <CLI/CLI.hpp>
#include <boost/asio/ip/address.hpp>

#include "certificate.hpp"
#include "handler.hpp"
#include "server.hpp"
#include "storage.hpp"

namespace {

using namespace velmora::service;

constexpr int kFailure = 1;
constexpr int kUsage = 2;

std::optional<std::string> defaultDataDirectory() {
    // XDG base directories ignore a relative XDG_DATA_HOME.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        return std::string(xdg) + "/velmora-service";
    }
    if (const char* home = std::getenv("HOME"); home && home[0] != '\0') {
        return std::string(home) + "/.local/share/velmora-service";
    }
    return std::nullopt;
}

void makeDirectory(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return;  // a folder the user chose keeps its mode
    std::filesystem::create_directories(path, ec);
    if (ec) throw ServiceError("cannot create data folder " + path + ": " + ec.message());
    // The folder holds the TLS key: keep it to its owner.
    ::chmod(path.c_str(), 0700);
}

// Only an address that is loopback by itself counts; a host name could resolve anywhere.
bool isLoopback(const std::string& host) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(host, ec);
    return !ec && address.is_loopback();
}

// A word the shell reads back unchanged: bare when it holds only safe characters.
std::string shellQuoted(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                              "0123456789/._-+:,@%=") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"velmora-service: the reference service of the Velmora library.\n"
                 "Answers POST /corvane.asmx/<operation> for refreshStatus, sendMessage, receiveMessage,\n"
                 "write and read. Prints one line 'listening <origin>' when ready; stops on SIGINT/SIGTERM.",
                 // Named here, or --help would show argv[0], the path it was started by.
                 "velmora-service"};
    std::string listenText = "127.0.0.1:8443";
    bool http = false;
    std::string dataDir;
    std::string dbPath;
    std::string certFile;
    std::string keyFile;
    app.add_option("--listen", listenText, "ADDR:PORT to listen on; [IPV6]:PORT; port 0 picks a free one")
        ->capture_default_str();
    auto* httpFlag = app.add_flag("--http", http, "plain HTTP instead of HTTPS (on loopback; elsewhere with --insecure-http)");
    bool insecureHttp = false;
    app.add_flag("--insecure-http", insecureHttp,
                 "allow --http on an address other than loopback: anyone on the path reads and changes everything")
        ->needs(httpFlag);
    std::string clientCa;
    auto* clientCaOption =
        app.add_option("--client-ca", clientCa,
                       "PEM file of CAs: ask every client for a certificate signed by one of them; its common name "
                       "is the user it may act as, its organisational units the teams it may use")
            ->check(CLI::ExistingFile);
    httpFlag->excludes(clientCaOption);
    bool accessLog = false;
    app.add_flag("--access-log", accessLog,
                 "one line per request on standard error: client, certificate user, operation, status, duration");
    app.add_option("--data", dataDir,
                   "data folder (default $XDG_DATA_HOME/velmora-service or ~/.local/share/velmora-service)");
    app.add_option("--db", dbPath,
                   "SQLite database file (default DATA/velmora.db; :memory: keeps nothing), or a PostgreSQL\n"
                   "connection URI (postgresql://...) shared by several services");
    auto* certOption = app.add_option("--cert", certFile, "PEM certificate (chain) to serve; needs --key")
                           ->check(CLI::ExistingFile);
    auto* keyOption = app.add_option("--key", keyFile, "PEM private key of --cert")->check(CLI::ExistingFile);
    certOption->needs(keyOption);
    keyOption->needs(certOption);
    httpFlag->excludes(certOption)->excludes(keyOption);
    StorageLimits limits;
    std::int64_t presenceExpiry = limits.presenceExpiryMs / 1000;
    app.add_option("--recipient-quota", limits.recipientQuota,
                   "bytes of messages one recipient may have queued (each counts sender, text and 64)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--team-quota", limits.teamQuota,
                   "bytes one team may keep: stored values and presence reports (each counts its texts and 64)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--presence-expiry", presenceExpiry,
                   "seconds after its online window ends that a user leaves the presence list")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--disk-reserve", limits.diskReserve,
                   "bytes kept free for the database: sends, writes and reports are refused below it; 0: none")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    ServerOptions serverOptions;
    double drainSeconds = serverOptions.drain.count();
    app.add_option("--drain-timeout", drainSeconds,
                   "seconds a stop lets requests being served finish; then what has not committed is rolled back")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--max-connections-per-client", serverOptions.maxConnectionsPerClient,
                   "connections one client address may hold open at once")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--max-connections", serverOptions.maxConnections, "connections open at once in all")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.set_version_flag("--version", "velmora-service 1.0");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kUsage;
    }
    const auto listen = parseListenAddress(listenText);
    if (!listen) {
        std::cerr << "velmora-service: --listen wants ADDR:PORT (e.g. 127.0.0.1:8443 or [::1]:0), not '"
                  << listenText << "'\n";
        return kUsage;
    }

    if (http && !isLoopback(listen->host)) {
        if (!insecureHttp) {
            std::cerr << "velmora-service: --http on " << listenText
                      << " would serve every message and stored value unencrypted to anyone on the path;"
                         " use HTTPS, or add --insecure-http to do it anyway\n";
            return kUsage;
        }
        std::cerr << "velmora-service: warning: serving plain HTTP on " << listenText
                  << " (--insecure-http): messages and stored values travel unencrypted and unauthenticated\n";
    }

    limits.presenceExpiryMs = presenceExpiry * 1000;
    // Everything the service makes (database, its -wal and -shm files, the data folder, the
    // key) is its owner's alone.
    ::umask(077);
    // Each connection is a descriptor: allow as many as the system lets this process have.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    // Signals are taken by one thread with sigwait; every thread made from here on
    // inherits the mask, so none of the server's workers is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-reply must not end the process (TLS writes use write()).
    std::signal(SIGPIPE, SIG_IGN);

    try {
        const bool needData = dbPath.empty() || (!http && certFile.empty());
        if (needData && dataDir.empty()) {
            auto fallback = defaultDataDirectory();
            if (!fallback) {
                std::cerr << "velmora-service: neither XDG_DATA_HOME nor HOME is set; give --data\n";
                return kUsage;
            }
            dataDir = *fallback;
        }
        if (needData) makeDirectory(dataDir);
        if (dbPath.empty()) dbPath = dataDir + "/velmora.db";

        const std::unique_ptr<Storage> storage = openStorage(dbPath, systemClockMs, limits);
        Handler handler(*storage);
        ServerOptions options = serverOptions;
        options.drain = Seconds(drainSeconds);
        options.listen = *listen;
        options.https = !http;
        std::string trustFile;  // what clients pass as their CA file, when the service made it
        if (options.https) {
            if (certFile.empty()) {
                const CertificateFiles files = ensureSelfSignedCertificate(dataDir);
                certFile = files.certFile;
                keyFile = files.keyFile;
                std::error_code ec;
                const auto absolute = std::filesystem::absolute(certFile, ec);
                trustFile = ec ? certFile : absolute.string();
            }
            options.certFile = certFile;
            options.keyFile = keyFile;
            options.clientCa = clientCa;
        }
        options.accessLog = accessLog;
        Server server(handler, options);

        std::thread signalThread([&server, stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            server.stop();
        });
        std::cout << "listening " << server.origin() << std::endl;
        // Standard output stays the one line scripts read; the first run's next step goes
        // beside it, for the person at the terminal.
        // A wildcard address is where the service listens, not one a client can name.
        std::string reachable = server.origin();
        for (const auto& [any, loopback] : {std::pair{"//0.0.0.0:", "//127.0.0.1:"}, std::pair{"//[::]:", "//[::1]:"}}) {
            if (const auto at = reachable.find(any); at != std::string::npos) {
                reachable.replace(at, std::string_view(any).size(), loopback);
            }
        }
        std::cerr << "velmora-service: to use it with the velmora command:\n  export VELMORA_ORIGIN=" << reachable;
        if (!trustFile.empty()) std::cerr << " VELMORA_CA_FILE=" << shellQuoted(trustFile);
        std::cerr << std::endl;
        const bool served = server.run();
        // The server may have ended without a signal; wake the waiting thread so it ends.
        // Sent to the process: if the thread has taken a signal already, this one stays
        // blocked and pending and goes away with the process.
        ::kill(::getpid(), SIGTERM);
        signalThread.join();
        if (!served) {
            std::cerr << "velmora-service: serving on " << server.origin() << " failed\n";
            return kFailure;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "velmora-service: " << e.what() << "\n";
        return kFailure;
    }
}
