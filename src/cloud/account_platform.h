#pragma once
// The platform services the account code needs (linux/: key file, POSIX
// files, GLib). All functions may be called from any thread at once and
// never throw except std::bad_alloc.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace krel {

// The current user's 32-byte secret that account.bin is encrypted under.
// Created on first use. linux/: in the desktop's keyring over the Secret
// Service when one runs on the session bus (and no key file exists yet);
// otherwise 32 random bytes in "krel-play/user.key" in the user's config
// folder, $XDG_CONFIG_HOME or ~/.config, folder 0700, file 0600, created
// whole; concurrent first uses agree on one key. Nothing when it can neither
// be read nor made; a file of another owner or size, or one that group or
// others may access, is not used (and not replaced).
std::optional<std::array<uint8_t, 32>> userSecretKey();

// Writes `bytes` as the whole new content of `path`: into a fresh temporary
// file beside it (mode 0600, flushed to disk), then renamed over `path`, so
// readers see the old file or the new one, never a mix. False on failure,
// leaving `path` as it was.
bool writePrivateFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// The whole content of a regular file of at most `maxBytes` bytes.
std::optional<std::vector<uint8_t>> readSmallFile(const std::filesystem::path& path, size_t maxBytes);

// The machine's name as the user knows it (linux/: the host name), at most
// 15 characters.
std::string computerName();

// Unicode normalisation form KC of UTF-8 text; nothing when the text is not
// valid UTF-8 or the normalisation fails.
std::optional<std::string> normalizeNfkc(std::string_view utf8);

} // namespace krel
