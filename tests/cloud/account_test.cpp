// Sign-in, the encrypted account file and sign-out against the local service.
#include "cloud/account.h"
#include "cloud/account_platform.h"
#include "cloud/linux/user_key.h"
#include "cloud/api_replies.h"
#include "cloud/cloud_api.h"
#include "local_service.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include <sys/stat.h>

namespace krel {
namespace {

using test::LocalService;

constexpr const char* kEmail = "spieler@example.de";
constexpr const char* kPassword = "Geheim-Passwort-42";

std::vector<char> readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool contains(const std::vector<char>& hay, const std::string& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class AccountTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(accountFilePath());
        authKey_ = svc_.addUser(kEmail, kPassword);
    }
    LocalService svc_;
    std::string authKey_;
};

TEST(AuthKey, NormalisesAddressAndPassword) {
    EXPECT_EQ(normalizeEmail("  Spieler@Example.DE\r\n"), "spieler@example.de");
    EXPECT_EQ(normalizeEmail("\t\n "), "");
    EXPECT_EQ(normalizeEmail("ÄÖ@X.de"), "ÄÖ@x.de"); // only ASCII letters change

    // Few rounds keep these comparisons quick; the rules do not depend on them.
    const std::string key = deriveAuthKey("spieler@example.de", "pass", 1000);
    EXPECT_EQ(key.size(), 44u);
    EXPECT_EQ(key.back(), '=');
    EXPECT_EQ(deriveAuthKey(" Spieler@EXAMPLE.de\n", "pass", 1000), key);
    EXPECT_NE(deriveAuthKey("spieler@example.de", "Pass", 1000), key);
    EXPECT_NE(deriveAuthKey("spieler@example.de", "pass", 1001), key);
    // A full-width letter and a ligature derive like their NFKC forms.
    EXPECT_EQ(deriveAuthKey("a@b.de",
                            "\xEF\xBC\xA1"
                            "bc",
                            1000),
              deriveAuthKey("a@b.de", "Abc", 1000));
    EXPECT_EQ(deriveAuthKey("a@b.de",
                            "\xEF\xAC\x81"
                            "x",
                            1000),
              deriveAuthKey("a@b.de", "fix", 1000));
    // Invalid UTF-8 is used as given rather than refused.
    EXPECT_EQ(deriveAuthKey("a@b.de", "\xFF\xFE", 1000).size(), 44u);
}

TEST(UserKey, ConcurrentFirstUseAgreesOnOneKey) {
    test::TempDir config;
    const char* previous = getenv("XDG_CONFIG_HOME");
    const std::string saved = previous ? previous : "";
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    std::vector<std::optional<std::array<uint8_t, 32>>> keys(6);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < keys.size(); ++i)
        threads.emplace_back([&, i] { keys[i] = userSecretKey(); });
    for (auto& t : threads)
        t.join();
    for (const auto& k : keys) {
        ASSERT_TRUE(k);
        EXPECT_EQ(*k, *keys[0]);
    }
    EXPECT_NE(*keys[0], (std::array<uint8_t, 32>{}));
    struct stat sb {};
    ASSERT_EQ(stat((config / "krel-play" / "user.key").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((config / "krel-play").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0700u);
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config / "krel-play"), {}), 1);
    if (saved.empty())
        unsetenv("XDG_CONFIG_HOME");
    else
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST_F(AccountTest, SignInStoresEncryptedTokenUsedByLaterCalls) {
    // The service derived its key independently from the same password.
    EXPECT_EQ(deriveAuthKey(kEmail, kPassword, kAuthKeyIterations), authKey_);

    std::string error;
    ASSERT_TRUE(signIn("  SPIELER@example.de\n", kPassword, error)) << error;
    EXPECT_TRUE(error.empty());

    const AccountStatus st = readAccountStatus();
    EXPECT_TRUE(st.signedIn);
    EXPECT_EQ(st.email, kEmail);
    EXPECT_EQ(st.accountId.rfind("acc-", 0), 0u);
    const std::string token = accountToken();
    ASSERT_FALSE(token.empty());

    // Stored encrypted, readable by the owner only.
    struct stat sb {};
    ASSERT_EQ(stat(accountFilePath().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    const auto file = readBytes(accountFilePath());
    EXPECT_FALSE(contains(file, token));
    EXPECT_FALSE(contains(file, kEmail));

    // The login request carried the derived key and the device name, not the password.
    const auto log = svc_.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["auth"], false);
    const auto devices = svc_.state()["devices"][kEmail];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].get<std::string>().rfind("KREL Play · ", 0), 0u);

    // A later call uses the token.
    const ApiResult list = listCloudClips();
    EXPECT_TRUE(list.error.empty()) << list.error;
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(svc_.requests().back()["auth"], true);

    // Sign-out tells the service and deletes the file.
    signOut();
    EXPECT_FALSE(std::filesystem::exists(accountFilePath()));
    EXPECT_FALSE(readAccountStatus().signedIn);
    EXPECT_EQ(svc_.state()["tokens"], 0);
    const std::string logText = test::readLog();
    EXPECT_NE(logText.find("Angemeldet"), std::string::npos);
    EXPECT_NE(logText.find("Abgemeldet"), std::string::npos);
    // Nothing sensitive ever reaches the log.
    EXPECT_EQ(logText.find(kPassword), std::string::npos);
    EXPECT_EQ(logText.find(authKey_), std::string::npos);
    EXPECT_EQ(logText.find(token), std::string::npos);
}

TEST_F(AccountTest, RefusalsLeaveTheAccountAsItWas) {
    std::string error;
    ASSERT_TRUE(signIn(kEmail, kPassword, error)) << error;
    const auto before = readBytes(accountFilePath());

    EXPECT_FALSE(signIn("ohne-at.example.de", "x", error));
    EXPECT_EQ(error, "E-Mail und Passwort angeben");
    EXPECT_FALSE(signIn(kEmail, "", error));
    EXPECT_EQ(error, "E-Mail und Passwort angeben");
    EXPECT_FALSE(signIn(" \n", "x", error));
    EXPECT_EQ(svc_.requests().size(), 1u); // refused locally, nothing sent

    EXPECT_FALSE(signIn(kEmail, "falsch", error));
    EXPECT_EQ(error, "E-Mail oder Passwort falsch");

    svc_.addFaults("POST", "login",
                   {429,
                    503,
                    {{"status", 200}, {"body", {{"token", ""}}}},
                    {{"status", 200}, {"raw", "<html>"}},
                    {{"status", 200}, {"body", {{"token", 42}}}},
                    {{"status", 200}, {"body", {{"token", "ok"}, {"accountId", 7}}}},
                    {{"status", 200}, {"body", {{"token", "a\nb"}}}},
                    {{"status", 200}, {"raw", "{\"token\": \"abc"}},
                    {{"status", 200}, {"bytes", 3000000}},
                    {{"status", 200}, {"body", {{"token", std::string(kMaxTokenBytes + 1, 't')}}}}});
    EXPECT_FALSE(signIn(kEmail, kPassword, error));
    EXPECT_EQ(error, "Zu viele Versuche – bitte kurz warten");
    EXPECT_FALSE(signIn(kEmail, kPassword, error));
    EXPECT_EQ(error, "Anmeldung fehlgeschlagen");
    for (int i = 0; i < 8; ++i) {
        error.clear();
        EXPECT_FALSE(signIn(kEmail, kPassword, error));
        EXPECT_EQ(error, "Antwort von 127.0.0.1 unlesbar") << i;
    }
    EXPECT_EQ(readBytes(accountFilePath()), before);
    EXPECT_TRUE(readAccountStatus().signedIn);

    // The longest token accepted is stored and read back whole.
    const std::string longest(kMaxTokenBytes, 't');
    svc_.addFaults("POST", "login", {{{"status", 200}, {"body", {{"token", longest}}}}});
    ASSERT_TRUE(signIn(kEmail, kPassword, error)) << error;
    EXPECT_EQ(accountToken(), longest);
}

TEST_F(AccountTest, RepeatedWrongPasswordsAreRateLimited) {
    std::string error;
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(signIn(kEmail, "falsch", error));
        EXPECT_EQ(error, "E-Mail oder Passwort falsch");
    }
    EXPECT_FALSE(signIn(kEmail, kPassword, error));
    EXPECT_EQ(error, "Zu viele Versuche – bitte kurz warten");
    EXPECT_FALSE(std::filesystem::exists(accountFilePath()));
}

TEST_F(AccountTest, UnreachableServiceNamesTheHost) {
    setenv("KREL_PLAY_API_URL", "http://localhost:1", 1);
    std::string error;
    EXPECT_FALSE(signIn(kEmail, kPassword, error));
    EXPECT_EQ(error, "Keine Verbindung zu localhost");
}

TEST_F(AccountTest, DamagedTamperedOrForeignFileReadsAsSignedOut) {
    std::string error;
    ASSERT_TRUE(signIn(kEmail, kPassword, error)) << error;
    const auto good = readBytes(accountFilePath());
    auto put = [&](const std::vector<char>& bytes) {
        std::ofstream(accountFilePath(), std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    // Every single flipped byte is noticed.
    for (size_t i = 0; i < good.size(); i += 7) {
        auto bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x20);
        put(bad);
        EXPECT_FALSE(readAccountStatus().signedIn) << i;
        EXPECT_EQ(accountToken(), "");
    }
    for (size_t n : {size_t{0}, size_t{3}, size_t{20}, good.size() - 1}) {
        put(std::vector<char>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_FALSE(loadAccount()) << n;
    }
    put(std::vector<char>(200000, 'x'));
    EXPECT_FALSE(loadAccount());

    // Another user's file: sealed under a different key.
    put(good);
    ASSERT_TRUE(readAccountStatus().signedIn);
    const auto keyFile = std::filesystem::path(getenv("XDG_CONFIG_HOME")) / "krel-play" / "user.key";
    const auto savedKey = readBytes(keyFile);
    std::filesystem::remove(keyFile);
    EXPECT_FALSE(readAccountStatus().signedIn);
    std::ofstream(keyFile, std::ios::binary | std::ios::trunc).write(savedKey.data(), 32);
    // A key file that group or others may read is refused, and not replaced.
    for (mode_t mode : {0640, 0604, 0660}) {
        ASSERT_EQ(chmod(keyFile.c_str(), mode), 0);
        EXPECT_FALSE(readAccountStatus().signedIn) << mode;
    }
    EXPECT_FALSE(signIn(kEmail, kPassword, error));
    EXPECT_EQ(error, "Anmeldung konnte nicht sicher gespeichert werden");
    EXPECT_EQ(readBytes(keyFile), savedKey);
    ASSERT_EQ(chmod(keyFile.c_str(), 0600), 0);
    EXPECT_TRUE(readAccountStatus().signedIn);

    // An unreadable file is not deleted by reading.
    EXPECT_TRUE(std::filesystem::exists(accountFilePath()));
}

TEST_F(AccountTest, SignOutWithoutNetworkStillSignsOut) {
    std::string error;
    ASSERT_TRUE(signIn(kEmail, kPassword, error)) << error;
    setenv("KREL_PLAY_API_URL", "http://127.0.0.1:1", 1);
    signOut();
    EXPECT_FALSE(std::filesystem::exists(accountFilePath()));
    EXPECT_NE(test::readLog().rfind("Abgemeldet"), std::string::npos);
}

TEST_F(AccountTest, SignInCommandReportsAndWipesItsCopy) {
    bool called = false;
    runSignInCommand(kEmail, kPassword, [&](bool ok, const std::string& error) {
        called = true;
        EXPECT_TRUE(ok);
        EXPECT_TRUE(error.empty());
    });
    EXPECT_TRUE(called);
    runSignInCommand(kEmail, "", [&](bool ok, const std::string& error) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, "E-Mail und Passwort angeben");
    });
}

} // namespace
} // namespace krel
