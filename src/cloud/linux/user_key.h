#pragma once
// The key the Linux account file is encrypted under. May be called from any
// thread at once; never throws except std::bad_alloc.

#include <array>
#include <cstdint>
#include <optional>

namespace krel {

// The current user's 32-byte secret that account.bin is encrypted under.
// Created on first use: in the desktop's keyring over the Secret
// Service when one runs on the session bus (and no key file exists yet);
// otherwise 32 random bytes in "krel-play/user.key" in the user's config
// folder, $XDG_CONFIG_HOME or ~/.config, folder 0700, file 0600, created
// whole; concurrent first uses agree on one key. Nothing when it can neither
// be read nor made; a file of another owner or size, or one that group or
// others may access, is not used (and not replaced).
std::optional<std::array<uint8_t, 32>> userSecretKey();

} // namespace krel
