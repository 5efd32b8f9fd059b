// The crypto primitives over OpenSSL libcrypto.
#include "cloud/crypto.h"
#include "cloud/linux/aes_gcm.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>
#include <memory>

namespace krel {
namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

bool fitsInt(size_t n) {
    return n <= static_cast<size_t>(INT_MAX);
}

} // namespace

Digest32 sha256(std::span<const uint8_t> data) {
    Digest32 out{};
    SHA256(data.data(), data.size(), out.data());
    return out;
}

Digest32 hmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data) {
    Digest32 out{};
    unsigned int len = 0;
    static const uint8_t kEmpty = 0;
    HMAC(EVP_sha256(), key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()),
         data.empty() ? &kEmpty : data.data(), data.size(), out.data(), &len);
    return out;
}

std::optional<std::vector<uint8_t>> pbkdf2Sha256(std::span<const uint8_t> password,
                                                 std::span<const uint8_t> salt, uint32_t iterations,
                                                 size_t length) {
    if (!fitsInt(password.size()) || !fitsInt(salt.size()) || !fitsInt(length) || iterations == 0 ||
        iterations > static_cast<uint32_t>(INT_MAX))
        return std::nullopt;
    std::vector<uint8_t> out(length);
    static const char kEmpty = 0;
    const char* pw = password.empty() ? &kEmpty : reinterpret_cast<const char*>(password.data());
    if (PKCS5_PBKDF2_HMAC(pw, static_cast<int>(password.size()), salt.data(), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), static_cast<int>(length),
                          out.data()) != 1)
        return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> aesGcmSeal(std::span<const uint8_t> key, std::span<const uint8_t> nonce,
                                               std::span<const uint8_t> aad, std::span<const uint8_t> plain) {
    if (key.size() != kGcmKeySize || nonce.size() != kGcmNonceSize || !fitsInt(plain.size()) ||
        !fitsInt(aad.size()))
        return std::nullopt;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    std::vector<uint8_t> out(plain.size() + kGcmTagSize);
    int len = 0;
    int total = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()) != 1)
        return std::nullopt;
    if (!aad.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        return std::nullopt;
    if (!plain.empty()) {
        if (EVP_EncryptUpdate(ctx.get(), out.data(), &len, plain.data(), static_cast<int>(plain.size())) != 1)
            return std::nullopt;
        total = len;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + total, &len) != 1) return std::nullopt;
    total += len;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kGcmTagSize, out.data() + total) != 1)
        return std::nullopt;
    out.resize(static_cast<size_t>(total) + kGcmTagSize);
    return out;
}

std::optional<std::vector<uint8_t>> aesGcmOpen(std::span<const uint8_t> key, std::span<const uint8_t> nonce,
                                               std::span<const uint8_t> aad,
                                               std::span<const uint8_t> sealed) {
    if (key.size() != kGcmKeySize || nonce.size() != kGcmNonceSize || sealed.size() < kGcmTagSize ||
        !fitsInt(sealed.size()) || !fitsInt(aad.size()))
        return std::nullopt;
    const size_t cipherLen = sealed.size() - kGcmTagSize;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    std::vector<uint8_t> out(cipherLen);
    int len = 0;
    int total = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()) != 1)
        return std::nullopt;
    if (!aad.empty() &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        return std::nullopt;
    if (cipherLen > 0) {
        if (EVP_DecryptUpdate(ctx.get(), out.data(), &len, sealed.data(), static_cast<int>(cipherLen)) != 1)
            return std::nullopt;
        total = len;
    }
    uint8_t tag[kGcmTagSize];
    std::copy(sealed.end() - kGcmTagSize, sealed.end(), tag);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kGcmTagSize, tag) != 1) return std::nullopt;
    if (EVP_DecryptFinal_ex(ctx.get(), out.data() + total, &len) != 1) {
        secureZero(out.data(), out.size());
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(total) + static_cast<size_t>(len));
    return out;
}

bool randomBytes(std::span<uint8_t> out) {
    return fitsInt(out.size()) && RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

void secureZero(void* data, size_t size) {
    if (data && size) OPENSSL_cleanse(data, size);
}

} // namespace krel
