#include "cloud/account.h"

#include "cloud/account_platform.h"
#include "cloud/api_replies.h"
#include "cloud/crypto.h"
#include "cloud/http_client.h"
#include "config/data_directory.h"
#include "config/log.h"

namespace krel {
namespace {

constexpr size_t kMaxAccountFile = size_t{64} * 1024;

std::string signInErrorFor(int32_t status) {
    switch (status) {
    case 401:
        return "E-Mail oder Passwort falsch";
    case 429:
        return "Zu viele Versuche – bitte kurz warten";
    case 0:
        return "Keine Verbindung zu " + apiHostName();
    default:
        return "Anmeldung fehlgeschlagen";
    }
}

std::string stringMember(const nlohmann::json& obj, const char* key) {
    const auto it = obj.find(key);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

std::filesystem::path accountFilePath() {
    return dataDirectory() / "account.bin";
}

std::optional<nlohmann::json> loadAccount() {
    std::optional<std::vector<uint8_t>> file;
    try {
        file = readSmallFile(accountFilePath(), kMaxAccountFile);
    } catch (...) {
        return std::nullopt; // no data folder: no account
    }
    if (!file) return std::nullopt;
    auto plain = unprotectForUser(*file);
    if (!plain) return std::nullopt;
    nlohmann::json obj = nlohmann::json::parse(plain->begin(), plain->end(), nullptr, false);
    secureZero(plain->data(), plain->size());
    if (!obj.is_object()) return std::nullopt;
    return obj;
}

AccountStatus readAccountStatus() {
    AccountStatus status;
    if (const auto obj = loadAccount()) {
        status.signedIn = !stringMember(*obj, "token").empty();
        status.email = stringMember(*obj, "email");
        status.accountId = stringMember(*obj, "accountId");
    }
    return status;
}

std::string accountToken() {
    const auto obj = loadAccount();
    return obj ? stringMember(*obj, "token") : std::string();
}

bool signIn(std::string_view email, std::string_view password, std::string& error) {
    const std::string e = normalizeEmail(email);
    if (e.empty() || e.find('@') == std::string::npos || password.empty()) {
        error = "E-Mail und Passwort angeben";
        return false;
    }
    std::string authKey = deriveAuthKey(e, password, kAuthKeyIterations);
    if (authKey.empty()) {
        error = "Anmeldung fehlgeschlagen";
        return false;
    }
    nlohmann::json request = {{"email", e}, {"authKey", authKey}, {"name", "KREL Play · " + computerName()}};
    std::string body = request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    secureZero(authKey.data(), authKey.size());
    request.clear();

    std::string reply;
    const int32_t status =
        httpRequest("POST", apiBaseUrl() + "/api/browse/v1/login", body, "application/json", "", reply);
    secureZero(body.data(), body.size());
    if (status != 200) {
        error = signInErrorFor(status);
        return false;
    }

    const auto parsed = parseSignInReply(reply);
    if (!parsed) {
        error = "Antwort von " + apiHostName() + " unlesbar";
        return false;
    }
    const nlohmann::json account = {{"email", e}, {"accountId", parsed->accountId}, {"token", parsed->token}};
    std::string plain = account.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const auto sealed = protectForUser(plain);
    secureZero(plain.data(), plain.size());
    if (!sealed) {
        error = "Anmeldung konnte nicht sicher gespeichert werden";
        return false;
    }
    // The file is replaced whole. A failed write is reported rather than
    // claiming a sign-in that the next read would not find.
    bool stored = false;
    try {
        stored = writePrivateFile(accountFilePath(), *sealed);
    } catch (...) {
    }
    if (!stored) {
        error = "Anmeldung konnte nicht sicher gespeichert werden";
        return false;
    }
    logLine("Angemeldet");
    return true;
}

void signOut() {
    if (const auto obj = loadAccount()) {
        std::string reply;
        httpRequest("POST", apiBaseUrl() + "/api/browse/v1/logout", "{}", "application/json",
                    stringMember(*obj, "token"), reply);
    }
    try {
        std::error_code ec;
        std::filesystem::remove(accountFilePath(), ec);
    } catch (...) {
    }
    logLine("Abgemeldet");
}

void runSignInCommand(const std::string& email, std::string password,
                      const std::function<void(bool ok, const std::string& error)>& done) {
    std::string error;
    bool ok = false;
    try {
        ok = signIn(email, password, error);
    } catch (...) {
        error = "Anmeldung fehlgeschlagen";
    }
    secureZero(password.data(), password.size());
    if (done) done(ok, error);
}

} // namespace krel
