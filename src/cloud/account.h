#pragma once
// Sign-in to the account service. The password never leaves the machine:
// only a slow, salted key derived from it ("authKey") is sent. The returned
// bearer token is kept, encrypted for the current user, in "account.bin" in
// the data folder; that file is the only account state and is read anew on
// every use. signIn may take seconds (key derivation and network) and runs on
// a worker thread; the readers are cheap. All functions are thread-safe and
// never throw.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace krel {

inline constexpr uint32_t kAuthKeyIterations = 600000;

struct AccountStatus {
    bool signedIn = false;
    std::string email;
    std::string accountId;
};

// Trims space, tab, CR and LF at both ends and lower-cases ASCII letters.
std::string normalizeEmail(std::string_view email);

// The Base64 authKey (44 characters) for a normalised address and a password.
std::string deriveAuthKey(std::string_view email, std::string_view password, uint32_t iterations);

std::filesystem::path accountFilePath();

// The stored account object, or nothing when there is no readable file (a
// missing, damaged, tampered or foreign file all read as no account).
std::optional<nlohmann::json> loadAccount();
AccountStatus readAccountStatus();
// The stored token, "" when signed out.
std::string accountToken();

// Signs in and stores the account. On failure returns false with exactly one
// German text in `error` and leaves an existing account file as it was.
bool signIn(std::string_view email, std::string_view password, std::string& error);
// Tells the service (best effort) and deletes the account file.
void signOut();

// The sign-in command's thread body: runs signIn with its own copies, wipes
// its copy of the password, then hands the outcome ("" error on success) to
// `done` on the same thread.
void runSignInCommand(const std::string& email, std::string password,
                      const std::function<void(bool ok, const std::string& error)>& done);

} // namespace krel
