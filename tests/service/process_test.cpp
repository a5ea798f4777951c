// The executable: its command line, its one line on stdout, its certificate, its exit
// codes, and state that survives stopping and starting it again.

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <velmora/velmora.hpp>

#include "service_fixture.hpp"
#include "support/test_server.hpp"

namespace velmora::testing {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::shared_ptr<Velmora> clientOf(const std::string& origin, const std::string& caFile) {
    return Velmora::create(ServiceConfig{origin, caFile, 20.0});
}

TEST(ServiceProcess, FirstStartMakesCertificateLaterStartsReuseItAndStateSurvives) {
    TempDir dir;
    const std::string data = dir.path() + "/data";
    std::string origin, certificate;
    {
        ServiceProcess service({"--listen", "127.0.0.1:0", "--data", data});
        origin = service.origin();
        ASSERT_EQ(origin.rfind("https://127.0.0.1:", 0), 0u) << service.standardError();
        certificate = slurp(data + "/cert.pem");
        ASSERT_NE(certificate.find("BEGIN CERTIFICATE"), std::string::npos);
        struct stat st {};
        ASSERT_EQ(::stat((data + "/key.pem").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        auto client = clientOf(origin, data + "/cert.pem");
        ASSERT_TRUE(client->sendMessageSync("anna", "bob", "kept"));
        ASSERT_TRUE(client->writeSync("team", "tag", "key", JsonValue::array({1, "two"})));
        client->status("team", "app", 3600, "anna", "AWAY", false, false);
        // The certificate names localhost too.
        const std::string port = origin.substr(origin.rfind(':') + 1);
        EXPECT_TRUE(clientOf("https://localhost:" + port, data + "/cert.pem")->writeSync("t", "g", "k", 1));

        service.signal(SIGTERM);
        EXPECT_EQ(service.wait(), 0) << service.standardError();
        EXPECT_EQ(service.restOfStandardOutput(), "");
    }
    ServiceProcess service({"--listen", "127.0.0.1:0", "--data", data});
    origin = service.origin();
    ASSERT_FALSE(origin.empty()) << service.standardError();
    EXPECT_EQ(slurp(data + "/cert.pem"), certificate);
    auto client = clientOf(origin, data + "/cert.pem");
    EXPECT_EQ(client->receiveMessageSync("bob"), (StringMap{{"anna#1", "kept"}}));
    EXPECT_EQ(client->readSync("team", "tag", "key"), (StringMap{{"key", R"([1,"two"])"}}));
    EXPECT_EQ(client->getUsers("team", "app", "bob", 3, true, true), (StringMap{{"anna", "AWAY"}, {"bob", "ON"}}));
    service.signal(SIGINT);
    EXPECT_EQ(service.wait(), 0);
}

TEST(ServiceProcess, DataFolderDefaultsUnderXdgDataHome) {
    TempDir dir;
    const std::string xdg = dir.path() + "/xdg";
    ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    ServiceProcess service({"--listen", "127.0.0.1:0"});
    ::unsetenv("XDG_DATA_HOME");
    const std::string origin = service.origin();
    ASSERT_FALSE(origin.empty()) << service.standardError();
    EXPECT_TRUE(std::filesystem::exists(xdg + "/velmora-service/velmora.db"));
    EXPECT_TRUE(clientOf(origin, xdg + "/velmora-service/cert.pem")->writeSync("t", "g", "k", 1));
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
}

TEST(ServiceProcess, GivenCertificateAndPlainHttp) {
    TempDir dir;
    const Certificates certs = Certificates::make(dir.path());
    {
        ServiceProcess service({"--listen", "127.0.0.1:0", "--db", ":memory:", "--data", dir.path() + "/d",
                                "--cert", certs.certFile, "--key", certs.keyFile});
        const std::string origin = service.origin();
        ASSERT_FALSE(origin.empty()) << service.standardError();
        EXPECT_TRUE(clientOf(origin, certs.caFile)->writeSync("t", "g", "k", 1));
        // Given a certificate and a database, the service needs no data folder.
        EXPECT_FALSE(std::filesystem::exists(dir.path() + "/d"));
        service.signal(SIGTERM);
        EXPECT_EQ(service.wait(), 0);
    }
    ServiceProcess service({"--listen", "127.0.0.1:0", "--http", "--db", ":memory:"});
    const std::string origin = service.origin();
    ASSERT_EQ(origin.rfind("http://127.0.0.1:", 0), 0u) << service.standardError();
    auto client = clientOf(origin, "");
    EXPECT_TRUE(client->writeSync("t", "g", "k", "v"));
    EXPECT_EQ(client->readSync("t", "g", "k"), (StringMap{{"k", "v"}}));
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
}

TEST(ServiceProcess, CertificateWithoutItsKeyIsAnErrorAKeyAloneIsMadeAgain) {
    TempDir dir;
    const std::string data = dir.path() + "/data";
    ::mkdir(data.c_str(), 0755);
    ::chmod(data.c_str(), 0755);  // whatever the umask
    {
        std::ofstream(data + "/cert.pem") << "a certificate some client may trust\n";
        ServiceProcess service({"--listen", "127.0.0.1:0", "--data", data, "--db", ":memory:"});
        EXPECT_EQ(service.wait(), 1);
        EXPECT_NE(service.standardError().find("key.pem"), std::string::npos) << service.standardError();
        EXPECT_EQ(slurp(data + "/cert.pem"), "a certificate some client may trust\n");
    }
    std::filesystem::rename(data + "/cert.pem", data + "/key.pem");
    ServiceProcess service({"--listen", "127.0.0.1:0", "--data", data, "--db", ":memory:"});
    const std::string origin = service.origin();
    ASSERT_FALSE(origin.empty()) << service.standardError();
    EXPECT_TRUE(clientOf(origin, data + "/cert.pem")->writeSync("t", "g", "k", 1));
    // A data folder that existed already keeps its mode.
    struct stat st {};
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
}

struct ExitCase {
    const char* name;
    std::vector<std::string> args;
    int code;
};

class ServiceExit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ServiceExit, ErrorsGoToStandardErrorWithTheirCode) {
    TempDir dir;
    std::vector<std::string> args = GetParam().args;
    for (auto& a : args) {
        if (a.rfind("DIR", 0) == 0) a = dir.path() + a.substr(3);
    }
    if (GetParam().name == std::string("port_in_use")) {
        // Hold a port with a first service, then ask for the same one.
        ServiceProcess first({"--listen", "127.0.0.1:0", "--http", "--db", ":memory:"});
        const std::string origin = first.origin();
        ASSERT_FALSE(origin.empty());
        args = {"--listen", "127.0.0.1:" + origin.substr(origin.rfind(':') + 1), "--http", "--db", ":memory:"};
        ServiceProcess second(args);
        EXPECT_EQ(second.wait(), GetParam().code);
        EXPECT_FALSE(second.standardError().empty());
        EXPECT_EQ(second.restOfStandardOutput(), "");
        return;
    }
    ServiceProcess service(args);
    EXPECT_EQ(service.wait(), GetParam().code) << service.standardError();
    EXPECT_FALSE(service.standardError().empty());
    EXPECT_EQ(service.restOfStandardOutput().find("listening"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServiceExit,
    ::testing::Values(
        ExitCase{"unknown_flag", {"--bogus"}, 2},
        ExitCase{"listen_without_port", {"--listen", "127.0.0.1", "--http", "--db", ":memory:"}, 2},
        ExitCase{"listen_port_out_of_range", {"--listen", "127.0.0.1:70000", "--http", "--db", ":memory:"}, 2},
        ExitCase{"ipv6_without_brackets", {"--listen", "::1:0", "--http", "--db", ":memory:"}, 2},
        ExitCase{"cert_without_key", {"--cert", "DIR", "--db", ":memory:"}, 2},
        ExitCase{"cert_file_missing", {"--cert", "DIR/none.pem", "--key", "DIR/none.key"}, 2},
        ExitCase{"http_with_cert", {"--http", "--cert", "DIR", "--key", "DIR"}, 2},
        ExitCase{"database_cannot_open", {"--listen", "127.0.0.1:0", "--http", "--db", "DIR/missing/dir/x.db"}, 1},
        ExitCase{"postgres_unreachable", {"--listen", "127.0.0.1:0", "--http", "--db", "postgresql://nobody@127.0.0.1:1/x"}, 1},
        ExitCase{"address_not_local", {"--listen", "192.0.2.1:0", "--http", "--insecure-http", "--db", ":memory:"}, 1},
        ExitCase{"http_beyond_loopback_without_consent", {"--listen", "0.0.0.0:0", "--http", "--db", ":memory:"}, 2},
        ExitCase{"http_on_a_name_without_consent", {"--listen", "localhost:0", "--http", "--db", ":memory:"}, 2},
        ExitCase{"insecure_http_without_http", {"--listen", "127.0.0.1:0", "--insecure-http", "--db", ":memory:"}, 2},
        ExitCase{"client_ca_with_http", {"--listen", "127.0.0.1:0", "--http", "--client-ca", "/dev/null"}, 2},
        ExitCase{"client_ca_missing", {"--listen", "127.0.0.1:0", "--client-ca", "DIR/none.pem", "--db", ":memory:"}, 2},
        ExitCase{"client_ca_not_pem", {"--listen", "127.0.0.1:0", "--data", "DIR", "--client-ca", "/dev/null", "--db", ":memory:"}, 1},
        ExitCase{"port_in_use", {}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServiceProcess, PlainHttpBeyondLoopbackWithConsentSaysSoOnStandardError) {
    ServiceProcess service({"--listen", "0.0.0.0:0", "--http", "--insecure-http", "--db", ":memory:"});
    ASSERT_NE(service.origin(), "") << service.standardError();
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
    EXPECT_NE(service.standardError().find("--insecure-http"), std::string::npos) << service.standardError();
}

TEST(ServiceProcess, HelpExitsZero) {
    ServiceProcess service({"--help"});
    EXPECT_EQ(service.wait(), 0);
    EXPECT_NE(service.restOfStandardOutput().find("--listen"), std::string::npos);
}

}  // namespace
}  // namespace velmora::testing
