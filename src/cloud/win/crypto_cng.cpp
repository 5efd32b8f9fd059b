// The crypto primitives over CNG (bcrypt.dll). Each call opens and closes
// its own algorithm handle, so calls share nothing.
#include "cloud/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

namespace krel {
namespace {

struct Algorithm {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Algorithm(const wchar_t* name, ULONG flags) {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, name, nullptr, flags))) handle = nullptr;
    }
    ~Algorithm() {
        if (handle) BCryptCloseAlgorithmProvider(handle, 0);
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
};

bool fitsUlong(size_t n) { return n <= ULONG_MAX; }

// BCrypt takes non-const buffers it does not change.
PUCHAR mutableBytes(std::span<const uint8_t> bytes) {
    static UCHAR empty = 0;
    return bytes.empty() ? &empty : const_cast<PUCHAR>(bytes.data());
}

// SHA-256 of `data`, keyed (HMAC) when `key` is given. The digest stays all
// zero when CNG fails, which no caller can mistake for a match.
Digest32 hash(const std::span<const uint8_t>* key, std::span<const uint8_t> data) {
    Digest32 out{};
    if ((key && !fitsUlong(key->size())) || !fitsUlong(data.size())) return out;
    Algorithm sha(BCRYPT_SHA256_ALGORITHM, key ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
    if (!sha.handle) return out;
    BCRYPT_HASH_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(sha.handle, &h, nullptr, 0, key ? mutableBytes(*key) : nullptr,
                                         key ? static_cast<ULONG>(key->size()) : 0, 0)))
        return out;
    if (!BCRYPT_SUCCESS(BCryptHashData(h, mutableBytes(data), static_cast<ULONG>(data.size()), 0)) ||
        !BCRYPT_SUCCESS(BCryptFinishHash(h, out.data(), static_cast<ULONG>(out.size()), 0)))
        out.fill(0);
    BCryptDestroyHash(h);
    return out;
}

} // namespace

Digest32 sha256(std::span<const uint8_t> data) {
    return hash(nullptr, data);
}

Digest32 hmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data) {
    return hash(&key, data);
}

std::optional<std::vector<uint8_t>> pbkdf2Sha256(std::span<const uint8_t> password,
                                                 std::span<const uint8_t> salt, uint32_t iterations,
                                                 size_t length) {
    if (!fitsUlong(password.size()) || !fitsUlong(salt.size()) || !fitsUlong(length) || iterations == 0 ||
        iterations > static_cast<uint32_t>(INT_MAX))
        return std::nullopt;
    Algorithm hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!hmac.handle) return std::nullopt;
    std::vector<uint8_t> out(length);
    if (!BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(hmac.handle, mutableBytes(password), static_cast<ULONG>(password.size()),
                                              mutableBytes(salt), static_cast<ULONG>(salt.size()), iterations,
                                              out.data(), static_cast<ULONG>(out.size()), 0)))
        return std::nullopt;
    return out;
}

bool randomBytes(std::span<uint8_t> out) {
    if (!fitsUlong(out.size())) return false;
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

void secureZero(void* data, size_t size) {
    SecureZeroMemory(data, size);
}

} // namespace krel
