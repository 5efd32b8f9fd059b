// The HTTP client against the local service on loopback.
#include "cloud/http_client.h"
#include "cloud/test_hooks.h"
#include "local_service.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace krel {
namespace {

using test::LocalService;

std::string text(const std::vector<uint8_t>& v) {
    return {v.begin(), v.end()};
}

// A loopback port with nothing listening: bound, then released.
int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        ADD_FAILURE() << "no free loopback port";
    close(fd);
    return ntohs(a.sin_port);
}

// A TCP connection to the service on loopback; -1 on failure.
int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends a raw request and returns the reply's status line.
std::string rawStatusLine(int port, const std::string& request) {
    const int fd = connectTo(port);
    if (fd < 0) return {};
    (void)!write(fd, request.data(), request.size());
    std::string reply;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\r')
        reply.push_back(c);
    close(fd);
    return reply;
}

TEST(HttpGet, FetchesFileWithVersionedAgentAndProgress) {
    LocalService svc;
    std::vector<uint8_t> payload(300000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    test::writeFile(svc.updateDir() / "file.bin", payload);

    std::vector<double> fractions;
    std::vector<uint8_t> body;
    std::string error;
    ASSERT_TRUE(httpGet(
        svc.baseUrl() + "/downloads/play/file.bin", body, [&](double f) { fractions.push_back(f); }, &error));
    EXPECT_EQ(body, payload);
    EXPECT_TRUE(error.empty());
    ASSERT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    for (size_t i = 1; i < fractions.size(); ++i)
        EXPECT_GT(fractions[i], fractions[i - 1]);

    const auto log = svc.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["method"], "GET");
    EXPECT_EQ(log[0]["userAgent"], "KREL-Play/0.1.7");
}

TEST(HttpGet, NoProgressWithoutContentLength) {
    LocalService svc;
    svc.addFaults("GET", "^/downloads/",
                  {{{"status", 200}, {"raw", "hello without length"}, {"noLength", true}}});
    int calls = 0;
    std::vector<uint8_t> body;
    ASSERT_TRUE(httpGet(
        svc.baseUrl() + "/downloads/play/x", body, [&](double) { ++calls; }, nullptr));
    EXPECT_EQ(text(body), "hello without length");
    EXPECT_EQ(calls, 0);
}

TEST(HttpGet, FailuresCarryTheirGermanTexts) {
    LocalService svc;
    std::vector<uint8_t> body{1, 2, 3};
    std::string error;
    EXPECT_FALSE(httpGet(svc.baseUrl() + "/downloads/play/missing.json", body, {}, &error));
    EXPECT_EQ(error, "Server antwortet 404");
    EXPECT_TRUE(body.empty());

    for (const std::string bad : {"latest.json", "ftp://127.0.0.1/x", "http://example.com/latest.json"}) {
        error.clear();
        EXPECT_FALSE(httpGet(bad, body, {}, &error));
        EXPECT_EQ(error, "Ungültige Adresse") << bad;
    }

    error.clear();
    EXPECT_FALSE(httpGet("http://127.0.0.1:" + std::to_string(closedPort()) + "/x", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");

    // Redirects are handed back, not followed.
    svc.addFaults("GET", "^/downloads/",
                  {{{"status", 302}, {"headers", {{"Location", svc.baseUrl() + "/app"}}}}});
    EXPECT_FALSE(httpGet(svc.baseUrl() + "/downloads/play/a", body, {}, &error));
    EXPECT_EQ(error, "Server antwortet 302");
    EXPECT_EQ(svc.requests().size(), 2u);
}

TEST(HttpGet, DroppedAndCutOffTransfersAreNoSuccess) {
    LocalService svc;
    svc.addFaults("GET", "^/downloads/", {"drop"});
    std::vector<uint8_t> body;
    std::string error;
    EXPECT_FALSE(httpGet(svc.baseUrl() + "/downloads/play/a", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");

    // A reply that announces more than it sends before closing.
    svc.addFaults("GET", "^/downloads/", {{{"status", 200}, {"raw", "short"}, {"claimLength", 100000}}});
    error.clear();
    body = {9};
    EXPECT_FALSE(httpGet(svc.baseUrl() + "/downloads/play/a", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    EXPECT_TRUE(body.empty());
}

TEST(HttpGet, UntrustedCertificateIsRefused) {
    LocalService svc({.extraArgs = {}, .tls = true, .tlsCert = {}, .tlsKey = {}});
    std::vector<uint8_t> body;
    std::string error;
    EXPECT_FALSE(httpGet(svc.baseUrl() + "/downloads/play/latest.json", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    std::string reply;
    EXPECT_EQ(httpRequest("GET", svc.baseUrl() + "/api/play/v1/clips", "", "application/json", "t", reply),
              0);
}

TEST(HttpTls, TrustedAuthorityAndHostNameAreBothChecked) {
    test::TempDir dir;
    test::TestCa ca;
    const auto [cert, key] = ca.issue("127.0.0.1");
    LocalService svc({.extraArgs = {}, .tls = false, .tlsCert = cert, .tlsKey = key});
    test::writeFile(svc.updateDir() / "latest.json", {'{', '}'});
    setHttpCaFileForTesting(ca.certificate().string());

    // A client that connects and never starts the handshake holds up nobody.
    const int silent = connectTo(svc.port());
    ASSERT_GE(silent, 0);
    std::vector<uint8_t> body;
    std::string error;
    EXPECT_TRUE(httpGet(svc.baseUrl() + "/downloads/play/latest.json", body, {}, &error)) << error;
    EXPECT_EQ(text(body), "{}");
    std::string reply;
    EXPECT_EQ(httpRequest("GET", svc.baseUrl() + "/api/play/v1/clips", "", "application/json", "t", reply), 401);
    close(silent);

    // Signed by the trusted authority, but for another host.
    const auto [otherCert, otherKey] = ca.issue("other.example");
    LocalService other({.extraArgs = {}, .tls = false, .tlsCert = otherCert, .tlsKey = otherKey});
    test::writeFile(other.updateDir() / "latest.json", {'{', '}'});
    EXPECT_FALSE(httpGet(other.baseUrl() + "/downloads/play/latest.json", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    EXPECT_EQ(httpRequest("GET", other.baseUrl() + "/api/play/v1/clips", "", "application/json", "t", reply), 0);
    setHttpCaFileForTesting("");
}

TEST(HttpDeadline, TricklingServerIsCutOffAsAWhole) {
    LocalService svc;
    // 30 s and 60 s become 1 s and 2 s; one byte every 300 ms never trips
    // the stall limits, only the deadline ends the exchange.
    setHttpTimeoutDivisorForTesting(30);
    const nlohmann::json trickle = {{"status", 200}, {"bytes", 400}, {"trickleMs", 300}};
    svc.addFaults("GET", "^/downloads/", nlohmann::json::array({trickle}));
    std::vector<uint8_t> body;
    std::string error;
    EXPECT_FALSE(httpGet(svc.baseUrl() + "/downloads/play/x", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    EXPECT_TRUE(body.empty());
    svc.addFaults("POST", "^/api/", nlohmann::json::array({trickle}));
    std::string reply;
    EXPECT_EQ(
        httpRequest("POST", svc.baseUrl() + "/api/browse/v1/logout", "{}", "application/json", "", reply), 0);
    setHttpTimeoutDivisorForTesting(1);
}

TEST(LocalServiceRequests, LengthIsAsciiDigitsWithinTheCap) {
    LocalService svc;
    const std::string head = "POST /api/browse/v1/logout HTTP/1.1\r\nHost: x\r\nContent-Length: ";
    EXPECT_EQ(rawStatusLine(svc.port(), head + "2\r\n\r\n{}"), "HTTP/1.1 200 OK");
    for (const std::string bad : {"+2", "2_0", "\xD9\xA3", "-1", "0x2"})
        EXPECT_EQ(rawStatusLine(svc.port(), head + bad + "\r\n\r\n{}"), "HTTP/1.1 400 Bad Request") << bad;
    EXPECT_EQ(rawStatusLine(svc.port(), head + "99999999999\r\n\r\n"), "HTTP/1.1 413 Request Entity Too Large");
}

TEST(HttpGet, SilentServerIsGivenUpAfterTheReceiveTimeout) {
    LocalService svc;
    setHttpTimeoutDivisorForTesting(30); // 30 s receive time-out becomes 1 s
    svc.addFaults("GET", "^/downloads/", {{{"delayMs", 8000}}});
    std::vector<uint8_t> body;
    std::string error;
    EXPECT_FALSE(httpGet(svc.baseUrl() + "/downloads/play/x", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    setHttpTimeoutDivisorForTesting(1);
}

TEST(HttpRequest, SendsMethodBodyContentTypeAndToken) {
    LocalService svc;
    std::string reply;
    EXPECT_EQ(httpRequest("POST", svc.baseUrl() + "/api/browse/v1/logout", "{}", "application/json", "tok123",
                          reply),
              200);
    EXPECT_EQ(httpRequest("PUT", svc.baseUrl() + "/api/play/v1/clips/x/chunks/0", "abc",
                          "application/octet-stream", "", reply),
              401);
    EXPECT_EQ(nlohmann::json::parse(reply)["error"], "unauthorized");
    const auto log = svc.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["method"], "POST");
    EXPECT_EQ(log[0]["auth"], true);
    EXPECT_EQ(log[0]["size"], 2);
    EXPECT_EQ(log[0]["userAgent"], "KREL-Play");
    EXPECT_EQ(log[1]["method"], "PUT");
    EXPECT_EQ(log[1]["auth"], false); // an empty token sends no Authorization header
    EXPECT_EQ(log[1]["size"], 3);
    EXPECT_EQ(log[1]["contentType"], "application/octet-stream");
}

TEST(HttpRequest, StatusZeroWithoutResponseAndBodyLimit) {
    LocalService svc;
    std::string reply = "stale";
    EXPECT_EQ(httpRequest("GET", "no-scheme/api", "", "application/json", "", reply), 0);
    EXPECT_EQ(httpRequest("GET", "http://example.com/api", "", "application/json", "", reply), 0);
    EXPECT_EQ(httpRequest("GET", "http://127.0.0.1:" + std::to_string(closedPort()) + "/", "",
                          "application/json", "", reply),
              0);
    // A token that could end the header line is never sent.
    EXPECT_EQ(httpRequest("GET", svc.baseUrl() + "/app", "", "application/json", "a\r\nX-Evil: 1", reply), 0);
    svc.addFaults("GET", "^/app$", {"drop", {{"status", 200}, {"bytes", 5000000}}});
    EXPECT_EQ(httpRequest("GET", svc.baseUrl() + "/app", "", "application/json", "", reply), 0);
    EXPECT_EQ(httpRequest("GET", svc.baseUrl() + "/app", "", "application/json", "", reply), 200);
    EXPECT_GT(reply.size(), kRequestBodyLimit);
    EXPECT_LT(reply.size(), kRequestBodyLimit + 1000000);
    EXPECT_TRUE(reply.empty() || reply.find_first_not_of('x') == std::string::npos);
}

TEST(HttpRequest, SilentServerEndsWithStatusZero) {
    LocalService svc;
    setHttpTimeoutDivisorForTesting(60); // 60 s becomes 1 s
    svc.addFaults("POST", "^/api/", {{{"delayMs", 8000}}});
    std::string reply;
    EXPECT_EQ(
        httpRequest("POST", svc.baseUrl() + "/api/browse/v1/logout", "{}", "application/json", "", reply), 0);
    setHttpTimeoutDivisorForTesting(1);
}

TEST(ApiBaseUrl, FromEnvironmentWithoutTrailingSlash) {
    setenv("KREL_PLAY_API_URL", "http://127.0.0.1:1234/", 1);
    EXPECT_EQ(apiBaseUrl(), "http://127.0.0.1:1234");
    EXPECT_EQ(apiHostName(), "127.0.0.1");
    setenv("KREL_PLAY_API_URL", ("https://" + std::string(600, 'a')).c_str(), 1);
    EXPECT_EQ(apiBaseUrl().size(), 511u);
    unsetenv("KREL_PLAY_API_URL");
    EXPECT_EQ(apiBaseUrl().rfind("https://", 0), 0u);
    EXPECT_NE(apiBaseUrl().back(), '/');
}

} // namespace
} // namespace krel
