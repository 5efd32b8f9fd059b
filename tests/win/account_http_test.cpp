// Sign-in, account file and HTTP over WinHTTP against the local service
// (started by tests/win/with_service.sh), with CNG and DPAPI doing the
// cryptography.
#include "app/update.h"
#include "cloud/account.h"
#include "cloud/http_client.h"
#include "cloud/test_hooks.h"
#include "config/data_directory.h"
#include "config/environment.h"
#include "windows_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <dpapi.h>
#include <winhttp.h>

#include <filesystem>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

// The status a plain WinHTTP GET of `path` on 127.0.0.1:`port` gets over
// TLS with the certificate checks (authority and name) switched off; 0 when
// none.
DWORD statusIgnoringUnknownAuthority(INTERNET_PORT port, const wchar_t* path) {
    HINTERNET session = WinHttpOpen(L"KREL-Play-Test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = session ? WinHttpConnect(session, L"127.0.0.1", port, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, nullptr, nullptr,
                                                        WINHTTP_FLAG_SECURE)
                                   : nullptr;
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    DWORD status = 0, size = sizeof status;
    if (request && WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags) &&
        WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr))
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status, &size,
                            nullptr);
    for (HINTERNET h : {request, connection, session})
        if (h) WinHttpCloseHandle(h);
    return status;
}

// What DPAPI makes of the file for the current user: the text and the
// description it was made with; nothing when it does not open.
std::optional<std::pair<std::string, std::wstring>> openBlob(std::vector<uint8_t> blob) {
    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB out{};
    LPWSTR description = nullptr;
    if (!CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return std::nullopt;
    std::pair<std::string, std::wstring> result{std::string(reinterpret_cast<char*>(out.pbData), out.cbData),
                                                description ? description : L""};
    LocalFree(out.pbData);
    LocalFree(description);
    return result;
}

TEST(WindowsAccount, SignInKeepsTheTokenInADpapiBlobThatReadsBackOnlyWhole) {
    const std::string authKey =
        ServiceSwitches::post("/_test/users", {{"email", "jürgen@example.de"}, {"password", "Geheim ß 1"}})["authKey"];
    // CNG's PBKDF2 and HMAC derive what the service derived with Python's.
    EXPECT_EQ(deriveAuthKey("jürgen@example.de", "Geheim ß 1", kAuthKeyIterations), authKey);
    // Passwords count in normalisation form KC: a ligature and a full-width
    // digit are the letters and the digit they stand for.
    EXPECT_EQ(deriveAuthKey("jürgen@example.de", "Geheim \uFB01 \uFF11", 1000),
              deriveAuthKey("jürgen@example.de", "Geheim fi 1", 1000));

    std::string error;
    ASSERT_TRUE(signIn("  Jürgen@Example.DE ", "Geheim ß 1", error)) << error;
    const auto status = readAccountStatus();
    EXPECT_TRUE(status.signedIn);
    EXPECT_EQ(status.email, "jürgen@example.de");

    const auto file = readBytes(accountFilePath());
    const auto opened = openBlob(file);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->second, L"KREL Play");
    const auto account = nlohmann::json::parse(opened->first);
    EXPECT_EQ(account["email"], "jürgen@example.de");
    EXPECT_EQ(account["token"], accountToken());
    EXPECT_FALSE(accountToken().empty());
    EXPECT_EQ(std::string(file.begin(), file.end()).find(accountToken()), std::string::npos)
        << "the token must not stand in the file as plain text";

    // A changed signature, a cut-off blob and foreign bytes all read as
    // signed out, never as another account.
    auto flipped = file;
    flipped.back() ^= 0x01;
    writeBytes(accountFilePath(), flipped);
    EXPECT_FALSE(readAccountStatus().signedIn);
    EXPECT_EQ(accountToken(), "");
    writeBytes(accountFilePath(), std::vector<uint8_t>(file.begin(), file.begin() + file.size() / 2));
    EXPECT_FALSE(readAccountStatus().signedIn);
    writeBytes(accountFilePath(), std::vector<uint8_t>(200, 0x5A));
    EXPECT_FALSE(readAccountStatus().signedIn);

    writeBytes(accountFilePath(), file);
    EXPECT_TRUE(readAccountStatus().signedIn);
    signOut();
    EXPECT_FALSE(fs::exists(accountFilePath()));

    EXPECT_FALSE(signIn("jürgen@example.de", "falsch", error));
    EXPECT_EQ(error, "E-Mail oder Passwort falsch");
    EXPECT_FALSE(fs::exists(accountFilePath()));
}

TEST(WindowsHttp, DownloadsWithProgressAndReportsFailuresInGerman) {
    std::vector<uint8_t> file(300000);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7);
    writeBytes(ServiceSwitches::updateDir() / "KREL Play.exe", file);

    std::vector<uint8_t> body;
    std::vector<double> progress;
    std::string error;
    ASSERT_TRUE(httpGet(updateBaseUrl() + "KREL%20Play.exe", body, [&](double p) { progress.push_back(p); }, &error))
        << error;
    EXPECT_EQ(body, file);
    ASSERT_FALSE(progress.empty());
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);

    EXPECT_FALSE(httpGet(updateBaseUrl() + "fehlt.exe", body, {}, &error));
    EXPECT_EQ(error, "Server antwortet 404");
    EXPECT_TRUE(body.empty());

    // Redirects are not followed: the redirect itself is the answer.
    ServiceSwitches::post("/_test/faults",
                          {{"method", "GET"},
                           {"path", "^/downloads/"},
                           {"actions", {{{"status", 302}, {"headers", {{"Location", updateBaseUrl() + "KREL%20Play.exe"}}}}}}});
    EXPECT_FALSE(httpGet(updateBaseUrl() + "umgeleitet.exe", body, {}, &error));
    EXPECT_EQ(error, "Server antwortet 302");

    // A connection that closes without an answer, and a refused port.
    ServiceSwitches::post("/_test/faults", {{"method", "GET"}, {"path", "^/downloads/"}, {"actions", {"drop"}}});
    EXPECT_FALSE(httpGet(updateBaseUrl() + "KREL%20Play.exe", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    EXPECT_FALSE(httpGet("http://127.0.0.1:1/x", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    EXPECT_FALSE(httpGet("ftp://127.0.0.1/x", body, {}, &error));
    EXPECT_EQ(error, "Ungültige Adresse");
    EXPECT_FALSE(httpGet("http://updates.example.de/x", body, {}, &error)); // plain HTTP only to loopback
    EXPECT_EQ(error, "Ungültige Adresse");

    // Certificates are checked: a server that nothing vouches for gets no
    // request through.
    const auto untrusted = environmentValue("KREL_TEST_UNTRUSTED_TLS_URL");
    ASSERT_TRUE(untrusted);
    EXPECT_FALSE(httpGet(*untrusted + "/downloads/play/KREL%20Play.exe", body, {}, &error));
    EXPECT_EQ(error, "Keine Verbindung");
    std::string reply;
    EXPECT_EQ(httpRequest("GET", *untrusted + "/api/play/v1/clips", "", "application/json", "", reply), 0);
    // The same server answers when the checks are switched off: the refusal
    // above is the certificate check, not a server that cannot talk TLS.
    const auto port = static_cast<INTERNET_PORT>(std::stoi(untrusted->substr(untrusted->rfind(':') + 1)));
    EXPECT_EQ(statusIgnoringUnknownAuthority(port, L"/api/play/v1/clips"), 401u);
}

TEST(WindowsHttp, RequestsCarryTheirStatusAndATricklingServerIsCutOff) {
    std::string reply;
    // Without a token: the service's 401 and its error body.
    EXPECT_EQ(httpRequest("GET", apiBaseUrl() + "/api/play/v1/clips", "", "application/json", "", reply), 401);
    EXPECT_NE(reply.find("unauthorized"), std::string::npos) << reply;

    // 30 s and 60 s become 1 s and 2 s; one byte every 300 ms never trips
    // the stall limits, only the overall deadline ends the exchange.
    setHttpTimeoutDivisorForTesting(30);
    const nlohmann::json trickle = {{"status", 200}, {"bytes", 400}, {"trickleMs", 300}};
    ServiceSwitches::post("/_test/faults", {{"method", "POST"}, {"path", "^/api/"}, {"actions", {trickle}}});
    EXPECT_EQ(httpRequest("POST", apiBaseUrl() + "/api/browse/v1/logout", "{}", "application/json", "", reply), 0);
    EXPECT_TRUE(reply.empty());
    setHttpTimeoutDivisorForTesting(1);
}

} // namespace
} // namespace krel::test
