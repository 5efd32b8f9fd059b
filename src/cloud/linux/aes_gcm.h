#pragma once
// AES-256-GCM over OpenSSL, for the Linux account file (Windows protects
// that file with DPAPI instead). Stateless, callable from any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace krel {

inline constexpr size_t kGcmKeySize = 32;
inline constexpr size_t kGcmNonceSize = 12;
inline constexpr size_t kGcmTagSize = 16;

// AES-256-GCM. seal returns ciphertext followed by the 16-byte tag; open
// returns the plaintext only when the tag verifies under key, nonce and aad.
std::optional<std::vector<uint8_t>> aesGcmSeal(std::span<const uint8_t> key, std::span<const uint8_t> nonce,
                                               std::span<const uint8_t> aad, std::span<const uint8_t> plain);
std::optional<std::vector<uint8_t>> aesGcmOpen(std::span<const uint8_t> key, std::span<const uint8_t> nonce,
                                               std::span<const uint8_t> aad, std::span<const uint8_t> sealed);

} // namespace krel
