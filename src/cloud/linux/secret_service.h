#pragma once
// The per-user key in the desktop's keyring over the Secret Service API
// (libsecret). Used by userSecretKey before the key file. Calls block on
// D-Bus (an unlock prompt of the keyring included); any thread may call them.

#include <array>
#include <cstdint>
#include <optional>

namespace krel {

using UserKey = std::array<uint8_t, 32>;

enum class SecretLookup {
    Found,
    Missing,     // the keyring answers and holds no key of ours
    Unavailable, // no session bus, no keyring running on it, or an error
};

// True when a session bus is configured and a keyring owns the Secret
// Service name on it. Nothing is started: without a running keyring (or a
// session bus) the key file is used.
bool secretServiceRunning();

SecretLookup lookupSecretKey(UserKey& key);
// Stores the key in the default collection, replacing an earlier one.
bool storeSecretKey(const UserKey& key);

} // namespace krel
