// account.bin on Linux: "KRA1", a 12-byte nonce and the AES-256-GCM
// ciphertext with its tag, under the user's secret key; the program's name
// is bound in as associated data.
#include "cloud/account_platform.h"
#include "cloud/linux/user_key.h"

#include "cloud/crypto.h"
#include "cloud/linux/aes_gcm.h"

#include <algorithm>

namespace krel {
namespace {

constexpr std::string_view kMagic = "KRA1";
constexpr std::string_view kDescription = "KREL Play";

} // namespace

std::optional<std::vector<uint8_t>> protectForUser(std::string_view plain) {
    auto key = userSecretKey();
    if (!key) return std::nullopt;
    std::array<uint8_t, kGcmNonceSize> nonce{};
    std::optional<std::vector<uint8_t>> sealed;
    if (randomBytes(nonce)) sealed = aesGcmSeal(*key, nonce, asBytes(kDescription), asBytes(plain));
    secureZero(key->data(), key->size());
    if (!sealed) return std::nullopt;
    std::vector<uint8_t> file(kMagic.size() + nonce.size() + sealed->size());
    const auto magic = asBytes(kMagic);
    auto out = std::copy(magic.begin(), magic.end(), file.begin());
    out = std::copy(nonce.begin(), nonce.end(), out);
    std::copy(sealed->begin(), sealed->end(), out);
    return file;
}

std::optional<std::string> unprotectForUser(std::span<const uint8_t> bytes) {
    const size_t head = kMagic.size() + kGcmNonceSize;
    if (bytes.size() < head + kGcmTagSize || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin()))
        return std::nullopt;
    auto key = userSecretKey();
    if (!key) return std::nullopt;
    auto plain = aesGcmOpen(*key, bytes.subspan(kMagic.size(), kGcmNonceSize), asBytes(kDescription),
                            bytes.subspan(head));
    secureZero(key->data(), key->size());
    if (!plain) return std::nullopt;
    std::string text(plain->begin(), plain->end());
    secureZero(plain->data(), plain->size());
    return text;
}

} // namespace krel
