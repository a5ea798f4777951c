// Client certificates against the executable over real TLS, with certificates issued by the
// project's own script: who gets in, what each certificate allows through the library, and
// the health and metrics endpoints and the access log beside them.

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <velmora/velmora.hpp>

#include "support/service_process.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora::testing {
namespace {

// scripts/client-cert.sh CA_DIR USER TEAM...: the CA is made by the first call.
void issue(const std::string& caDir, const std::string& user, const std::vector<std::string>& teams = {}) {
    std::string command = "bash '" VELMORA_SOURCE_DIR "/scripts/client-cert.sh' '" + caDir + "' '" + user + "'";
    for (const auto& team : teams) command += " '" + team + "'";
    command += " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

struct Got {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// A plain GET with verification on, as a monitoring system makes it.
Got get(const std::string& url, const std::string& caFile, const std::string& cert = "", const std::string& key = "") {
    Got got;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    if (!caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    if (!cert.empty()) curl_easy_setopt(easy, CURLOPT_SSLCERT, cert.c_str());
    if (!key.empty()) curl_easy_setopt(easy, CURLOPT_SSLKEY, key.c_str());
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &got.body);
    got.code = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &got.status);
    curl_easy_cleanup(easy);
    return got;
}

// The Prometheus text: each sample by its name and labels as written; every family declared
// by TYPE before its samples.
std::map<std::string, double> parseMetrics(const std::string& text) {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    std::istringstream lines(text);
    std::string line;
    static const std::regex sample(R"(^([a-z_]+)(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? (\S+)$)");
    static const std::regex type(R"(^# TYPE ([a-z_]+) (counter|gauge|histogram)$)");
    while (std::getline(lines, line)) {
        std::smatch m;
        if (line.rfind("# HELP ", 0) == 0) continue;
        if (std::regex_match(line, m, type)) {
            types[m[1]] = m[2];
            continue;
        }
        EXPECT_TRUE(std::regex_match(line, m, sample)) << "not a sample: " << line;
        if (m.empty()) continue;
        std::string family = m[1];
        for (const char* suffix : {"_bucket", "_sum", "_count"}) {
            const std::string s = suffix;
            if (!types.count(family) && family.size() > s.size() && family.ends_with(s)) {
                family.resize(family.size() - s.size());
            }
        }
        EXPECT_TRUE(types.count(family)) << "no TYPE before " << line;
        samples[m[1].str() + m[2].str()] = std::stod(m[4]);
    }
    return samples;
}

class ClientCertificates : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        ca_ = dir_->path() + "/ca";
        other_ = dir_->path() + "/other";
        issue(ca_, "alice", {"T"});
        issue(ca_, "bob", {"U"});
        issue(ca_, "monitor");
        issue(other_, "alice", {"T"});  // the right name from the wrong CA
        std::ofstream(ca_ + "/empty.pem").flush();
        service_ = new ServiceProcess({"--listen", "127.0.0.1:0", "--data", dir_->path() + "/data", "--db",
                                       dir_->path() + "/velmora.db", "--client-ca", ca_ + "/ca.pem", "--access-log"});
        origin_ = service_->origin();
    }
    static void TearDownTestSuite() {
        delete service_;
        delete dir_;
    }
    void SetUp() override { ASSERT_FALSE(origin_.empty()) << service_->standardError(); }

    static std::string serviceCa() { return dir_->path() + "/data/cert.pem"; }
    static std::shared_ptr<Velmora> clientFor(const std::string& caDir, const std::string& user) {
        return Velmora::create(
            ServiceConfig{origin_, serviceCa(), 20.0, caDir + "/" + user + ".pem", caDir + "/" + user + "-key.pem"});
    }
    static std::shared_ptr<Velmora> clientFor(const std::string& user) { return clientFor(ca_, user); }
    static std::map<std::string, double> metrics() {
        const Got got = get(origin_ + "/metrics", serviceCa(), ca_ + "/monitor.pem", ca_ + "/monitor-key.pem");
        EXPECT_EQ(got.code, CURLE_OK);
        EXPECT_EQ(got.status, 200);
        return parseMetrics(got.body);
    }
    static double requests(const std::string& operation, const std::string& outcome) {
        return metrics()["velmora_requests_total{operation=\"" + operation + "\",outcome=\"" + outcome + "\"}"];
    }
    // Everything the service has answered or refused in a handshake.
    static double seen() {
        double total = 0;
        for (const auto& [name, value] : metrics()) {
            if (name.rfind("velmora_requests_total", 0) == 0 || name == "velmora_tls_handshake_failures_total") {
                total += value;
            }
        }
        return total;
    }

    static TempDir* dir_;
    static std::string ca_, other_, origin_;
    static ServiceProcess* service_;
};
TempDir* ClientCertificates::dir_ = nullptr;
std::string ClientCertificates::ca_, ClientCertificates::other_, ClientCertificates::origin_;
ServiceProcess* ClientCertificates::service_ = nullptr;

TEST_F(ClientCertificates, EachCertificateActsOnlyAsItsUserWithinItsTeams) {
    const auto alice = clientFor("alice");
    const auto bob = clientFor("bob");
    alice->receiveMessageSync("alice");
    bob->receiveMessageSync("bob");

    EXPECT_TRUE(alice->sendMessageSync("alice", "bob", "from alice"));
    EXPECT_FALSE(bob->sendMessageSync("alice", "bob", "forged"));
    EXPECT_TRUE(alice->sendMessageSync("alice", "alice", "note to self"));
    EXPECT_TRUE(bob->receiveMessageSync("alice").empty());  // not drained
    const auto aliceInbox = alice->receiveMessageSync("alice");
    ASSERT_EQ(aliceInbox.size(), 1u);
    EXPECT_EQ(aliceInbox.begin()->second, "note to self");
    const auto bobInbox = bob->receiveMessageSync("bob");
    ASSERT_EQ(bobInbox.size(), 1u);
    EXPECT_EQ(bobInbox.begin()->second, "from alice");

    EXPECT_TRUE(alice->writeSync("T", "g", "k", "alice's"));
    EXPECT_FALSE(bob->writeSync("T", "g", "k", "bob's"));
    EXPECT_TRUE(bob->readSync("T", "g", "k").empty());
    EXPECT_EQ(alice->readSync("T", "g", "k"), (StringMap{{"k", "alice's"}}));
    EXPECT_TRUE(bob->writeSync("U", "g", "k", 2));
    EXPECT_EQ(bob->readSync("U", "g", "k"), (StringMap{{"k", "2"}}));

    EXPECT_EQ(bob->status("U", "app", 3, "bob", "ON", true, false), (StringMap{{"bob", "ON"}}));
    EXPECT_TRUE(bob->status("U", "app", 3, "alice", "ON", true, false).empty());
    EXPECT_TRUE(bob->status("T", "app", 3, "bob", "ON", true, false).empty());
    EXPECT_EQ(bob->status("U", "app", 3, "bob", "ON", true, false), (StringMap{{"bob", "ON"}}));
}

// The non-blocking calls of both clients share one connection pool in this process: a
// connection (or TLS session) made with alice's certificate must never carry bob's call.
TEST_F(ClientCertificates, ClientsWithDifferentCertificatesNeverShareAConnection) {
    const auto alice = clientFor("alice");
    const auto bob = clientFor("bob");
    alice->receiveMessageSync("alice");
    for (int round = 0; round < 3; ++round) {
        Counter sent;
        ASSERT_TRUE(alice->sendMessageAsync("alice", "alice", "kept " + std::to_string(round),
                                            [&](bool ok) { sent.add(ok ? 1 : 1000); }));
        ASSERT_TRUE(sent.waitFor(1));
        ASSERT_EQ(sent.value(), 1);
        const double before = requests("receiveMessage", "denied") + requests("receiveMessage", "ok");
        const double deniedBefore = requests("receiveMessage", "denied");
        Counter bobGot;
        ASSERT_TRUE(bob->receiveMessageAsync("alice", [&](const JsonValue&) { bobGot.add(); }));
        ASSERT_TRUE(waitUntil([&] {
            return requests("receiveMessage", "denied") + requests("receiveMessage", "ok") > before;
        }));
        EXPECT_EQ(requests("receiveMessage", "denied"), deniedBefore + 1);
        EXPECT_EQ(alice->receiveMessageSync("alice").size(), 1u) << "round " << round;
        EXPECT_EQ(bobGot.value(), 0);
    }
}

struct Refused {
    const char* name;
    const char* caDir;  // "" for no certificate
    const char* user;
};

class Handshake : public ClientCertificates, public ::testing::WithParamInterface<Refused> {};

TEST_P(Handshake, RefusesClientsWithoutACertificateOfTheCa) {
    const auto& c = GetParam();
    const std::string caDir = std::string(c.caDir) == "ca" ? ca_ : other_;
    const auto stranger = std::string(c.caDir).empty()
                              ? Velmora::create(ServiceConfig{origin_, serviceCa(), 20.0})
                              : clientFor(caDir, c.user);
    const double failures = metrics()["velmora_tls_handshake_failures_total"];
    const double answered = requests("sendMessage", "ok") + requests("sendMessage", "denied");
    EXPECT_FALSE(stranger->sendMessageSync("alice", "alice", "stranger"));
    EXPECT_TRUE(stranger->receiveMessageSync("alice").empty());
    EXPECT_EQ(requests("sendMessage", "ok") + requests("sendMessage", "denied"), answered);
    // Counted once the service's side of the handshake ends, which may be after the client's.
    EXPECT_TRUE(waitUntil([&] { return metrics()["velmora_tls_handshake_failures_total"] > failures; }));
    // Monitoring needs a certificate too.
    const std::string cert = std::string(c.caDir).empty() ? "" : caDir + "/" + c.user + ".pem";
    const std::string key = std::string(c.caDir).empty() ? "" : caDir + "/" + c.user + "-key.pem";
    const Got health = get(origin_ + "/healthz", serviceCa(), cert, key);
    EXPECT_NE(health.code, CURLE_OK) << health.status;
    EXPECT_NE(health.status, 200);
}

INSTANTIATE_TEST_SUITE_P(Table, Handshake,
                         ::testing::Values(Refused{"no_certificate", "", ""},
                                           Refused{"certificate_of_another_ca", "other", "alice"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Unusable {
    const char* name;
    const char* certificate;  // relative to the CA folder; "" for none
    const char* key;
};

class UnusableFiles : public ClientCertificates, public ::testing::WithParamInterface<Unusable> {};

// The library refuses to call with a certificate or key it cannot read: nothing is sent.
TEST_P(UnusableFiles, FailTheCallBeforeAnythingIsSent) {
    const auto& c = GetParam();
    auto path = [](const char* name) { return std::string(name).empty() ? std::string() : ca_ + "/" + name; };
    const auto client = Velmora::create(ServiceConfig{origin_, serviceCa(), 20.0, path(c.certificate), path(c.key)});
    const double before = seen();
    EXPECT_FALSE(client->sendMessageSync("alice", "alice", "never"));
    Counter called;
    EXPECT_FALSE(client->sendMessageAsync("alice", "alice", "never", [&](bool) { called.add(); }));
    EXPECT_EQ(seen(), before);
    EXPECT_EQ(called.value(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, UnusableFiles,
                         ::testing::Values(Unusable{"missing_certificate", "nobody.pem", "alice-key.pem"},
                                           Unusable{"missing_key", "alice.pem", "nobody-key.pem"},
                                           Unusable{"unreadable_key", "alice.pem", "."},
                                           Unusable{"empty_certificate", "empty.pem", "alice-key.pem"},
                                           Unusable{"key_without_certificate", "", "alice-key.pem"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClientCertificates, HealthAndMetricsAnswerAndCountRequests) {
    const std::string cert = ca_ + "/monitor.pem";
    const std::string key = ca_ + "/monitor-key.pem";
    const Got health = get(origin_ + "/healthz", serviceCa(), cert, key);
    EXPECT_EQ(health.code, CURLE_OK);
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, R"({"status":"ok"})");

    const auto alice = clientFor("alice");
    alice->receiveMessageSync("alice");
    auto before = metrics();
    EXPECT_EQ(before["velmora_messages_waiting"] >= 0, true);
    EXPECT_EQ(before["velmora_store_up"], 1);
    EXPECT_TRUE(alice->sendMessageSync("alice", "alice", "one"));
    EXPECT_TRUE(alice->sendMessageSync("alice", "alice", "two"));
    EXPECT_FALSE(alice->sendMessageSync("bob", "alice", "forged"));
    auto after = metrics();
    const std::string send = "{operation=\"sendMessage\"";
    EXPECT_EQ(after["velmora_requests_total" + send + ",outcome=\"ok\"}"] -
                  before["velmora_requests_total" + send + ",outcome=\"ok\"}"],
              2);
    EXPECT_EQ(after["velmora_requests_total" + send + ",outcome=\"denied\"}"] -
                  before["velmora_requests_total" + send + ",outcome=\"denied\"}"],
              1);
    EXPECT_EQ(after["velmora_request_duration_seconds_count" + send + "}"] -
                  before["velmora_request_duration_seconds_count" + send + "}"],
              3);
    EXPECT_GT(after["velmora_request_duration_seconds_sum" + send + "}"],
              before["velmora_request_duration_seconds_sum" + send + "}"]);
    EXPECT_EQ(after["velmora_messages_waiting"] - before["velmora_messages_waiting"], 2);
    EXPECT_GE(after["velmora_open_connections"], 1);  // the scrape's own, at least
    // Buckets are cumulative and end with all of them.
    double previous = 0;
    for (const auto& [name, value] : after) {
        if (name.rfind("velmora_request_duration_seconds_bucket" + send, 0) != 0) continue;
        if (name.find("+Inf") == std::string::npos) continue;
        EXPECT_EQ(value, after["velmora_request_duration_seconds_count" + send + "}"]);
    }
    for (const char* le : {"0.0005", "0.001", "0.0025", "0.005", "0.01", "0.025", "0.05", "0.1", "0.25", "0.5", "1",
                           "2.5", "5", "10", "+Inf"}) {
        const double bucket = after["velmora_request_duration_seconds_bucket" + send + ",le=\"" + le + "\"}"];
        EXPECT_GE(bucket, previous) << le;
        previous = bucket;
    }
    EXPECT_EQ(alice->receiveMessageSync("alice").size(), 2u);
    EXPECT_EQ(metrics()["velmora_messages_waiting"], before["velmora_messages_waiting"]);
}

TEST_F(ClientCertificates, AccessLogNamesUserOperationAndStatusButNoContent) {
    const auto bob = clientFor("bob");
    EXPECT_TRUE(bob->sendMessageSync("bob", "bob", "secret-text-4711"));
    EXPECT_TRUE(bob->writeSync("U", "g", "k", "secret-value-4712"));
    EXPECT_FALSE(bob->writeSync("T", "g", "k", "secret-value-4713"));
    bob->receiveMessageSync("bob");
    std::string log;
    ASSERT_TRUE(waitUntil([&] {
        log = service_->standardError();
        return log.find("user=\"bob\" operation=receiveMessage status=200") != std::string::npos;
    })) << log;
    const std::regex line(
        R"(velmora-service: access client=127\.0\.0\.1 user="bob" operation=write status=500 outcome=denied seconds=[0-9.]+)");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
    EXPECT_NE(log.find("user=\"bob\" operation=sendMessage status=200 outcome=ok"), std::string::npos);
    for (const char* secret : {"secret-text", "secret-value"}) EXPECT_EQ(log.find(secret), std::string::npos);
}

// Without client certificates the endpoints are open like the operations, and nothing is
// logged unless asked.
TEST(ServiceEndpoints, PlainServiceAnswersHealthAndMetricsAndLogsNothingByDefault) {
    ServiceProcess service({"--listen", "127.0.0.1:0", "--http", "--db", ":memory:"});
    const std::string origin = service.origin();
    ASSERT_FALSE(origin.empty());
    const auto client = Velmora::create(ServiceConfig{origin, "", 20.0});
    EXPECT_TRUE(client->sendMessageSync("a", "b", "hi"));
    const Got health = get(origin + "/healthz", "");
    EXPECT_EQ(health.status, 200);
    const Got scraped = get(origin + "/metrics", "");
    EXPECT_EQ(scraped.status, 200);
    auto samples = parseMetrics(scraped.body);
    EXPECT_EQ(samples["velmora_requests_total{operation=\"sendMessage\",outcome=\"ok\"}"], 1);
    EXPECT_EQ(samples["velmora_messages_waiting"], 1);
    EXPECT_EQ(get(origin + "/nothing", "").status, 404);
    EXPECT_EQ(parseMetrics(get(origin + "/metrics", "").body)["velmora_requests_total{operation=\"other\",outcome=\"refused\"}"], 1);
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
    // Only the start-up hint for the velmora command; no request is logged.
    EXPECT_EQ(service.standardError().find("access"), std::string::npos) << service.standardError();
    EXPECT_NE(service.standardError().find("export VELMORA_ORIGIN="), std::string::npos);
}

}  // namespace
}  // namespace velmora::testing
