#pragma once
// The platform services the account code needs (linux/: key file, POSIX
// files, GLib; win/: DPAPI, Win32 files, NormalizeString). All functions
// may be called from any thread at once and never throw except
// std::bad_alloc.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace krel {

// account.bin's content: `plain` encrypted so that only the current user
// can read it (linux/: "KRA1", a nonce and AES-256-GCM under the user key
// of linux/user_key.h; win/: a DPAPI blob for the current user, described
// as "KREL Play"). Nothing when it cannot be protected.
std::optional<std::vector<uint8_t>> protectForUser(std::string_view plain);
// The plain text of protectForUser's output; nothing when the bytes were
// made for another user or key, or have been changed.
std::optional<std::string> unprotectForUser(std::span<const uint8_t> protectedBytes);

// Writes `bytes` as the whole new content of `path`: into a fresh temporary
// file beside it (linux/: mode 0600; flushed to disk), then renamed over `path`, so
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
