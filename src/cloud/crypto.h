#pragma once
// Hashing, key derivation and random bytes (linux/: OpenSSL libcrypto;
// win/: CNG). Stateless functions, callable from any thread; none throws
// except std::bad_alloc. Failures of the library are reported through the
// return value.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace krel {

using Digest32 = std::array<uint8_t, 32>;

std::span<const uint8_t> asBytes(std::string_view text);

Digest32 sha256(std::span<const uint8_t> data);
Digest32 hmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data);
// PBKDF2 with HMAC-SHA256; nothing when the library fails.
std::optional<std::vector<uint8_t>> pbkdf2Sha256(std::span<const uint8_t> password,
                                                 std::span<const uint8_t> salt, uint32_t iterations,
                                                 size_t length);

// Bytes from the system's cryptographic random source; false on failure.
bool randomBytes(std::span<uint8_t> out);

// Overwrites memory in a way the compiler does not drop.
void secureZero(void* data, size_t size);

// Standard Base64 (RFC 4648) with "=" padding; portable.
std::string base64Encode(std::span<const uint8_t> data);

// Lower-case hexadecimal; portable.
std::string hexLower(std::span<const uint8_t> data);

} // namespace krel
