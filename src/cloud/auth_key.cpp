// The authKey derivation: PBKDF2-HMAC-SHA256 over the NFKC password with the
// address as salt, then HKDF-SHA256 (empty salt, a fixed label as info).
#include "cloud/account.h"

#include "cloud/account_platform.h"
#include "cloud/crypto.h"

#include <array>
#include <string>

namespace krel {
namespace {

constexpr std::string_view kSaltPrefix = "mova-entry-r4|";
constexpr size_t kKeyLength = 32;

// The 12-character purpose label of the derived key, shared with the
// service. It is assembled at run time so that it does not stand in the
// binary as one string.
std::string authKeyLabel() {
    std::string label;
    for (const char* part : {"krel", "-", "auth", "key"})
        label += part;
    return label;
}

} // namespace

std::string normalizeEmail(std::string_view email) {
    constexpr std::string_view kBlank = " \t\r\n";
    const size_t first = email.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return {};
    const size_t last = email.find_last_not_of(kBlank);
    std::string out(email.substr(first, last - first + 1));
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string deriveAuthKey(std::string_view email, std::string_view password, uint32_t iterations) {
    std::string pw = normalizeNfkc(password).value_or(std::string(password));
    std::string salt(kSaltPrefix);
    salt += normalizeEmail(email);
    auto k = pbkdf2Sha256(asBytes(pw), asBytes(salt), iterations, kKeyLength);
    secureZero(pw.data(), pw.size());
    if (!k) return {};

    const std::array<uint8_t, 32> zeroSalt{};
    Digest32 prk = hmacSha256(zeroSalt, *k);
    secureZero(k->data(), k->size());

    std::string info = authKeyLabel();
    info.push_back('\x01');
    Digest32 t = hmacSha256(prk, asBytes(info));
    secureZero(prk.data(), prk.size());
    std::string out = base64Encode(t);
    secureZero(t.data(), t.size());
    return out;
}

} // namespace krel
