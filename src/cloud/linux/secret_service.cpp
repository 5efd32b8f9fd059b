// The user key in the Secret Service keyring (libsecret, GDBus).
#include "cloud/linux/secret_service.h"
#include "config/linux/glib_ptr.h"

#include "cloud/crypto.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace krel {
namespace {

struct SecretPasswordFree {
    void operator()(gchar* p) const { secret_password_free(p); }
};
using ConnectionPtr = GObjectPtr<GDBusConnection>;
using ErrorPtr = GErrorPtr;
using VariantPtr = GVariantPtr;
using PasswordPtr = std::unique_ptr<gchar, SecretPasswordFree>;

constexpr const char* kSecretsName = "org.freedesktop.secrets";
constexpr int kBusCallMs = 2000;

const SecretSchema* keySchema() {
    static const SecretSchema schema = {
        "de.krel.Play.UserKey",
        SECRET_SCHEMA_NONE,
        {{"purpose", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}
constexpr const char* kPurpose = "account";

// A session bus that GDBus would find without starting one itself (it
// falls back to launching a bus daemon on the X display otherwise).
bool sessionBusConfigured() {
    if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS"); a && *a) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    return runtime && *runtime && std::filesystem::is_socket(std::filesystem::path(runtime) / "bus", ec);
}

std::optional<UserKey> decodeKey(const char* text) {
    // 32 bytes as 64 lower-case hexadecimal digits.
    UserKey key{};
    std::string_view hex(text);
    if (hex.size() != 64) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < key.size(); ++i) {
        const int hi = nibble(hex[2 * i]);
        const int lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        key[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return key;
}

} // namespace

bool secretServiceRunning() {
    if (!sessionBusConfigured()) return false;
    GError* raw = nullptr;
    ConnectionPtr bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    ErrorPtr error(raw);
    if (!bus) return false;
    raw = nullptr;
    VariantPtr reply(g_dbus_connection_call_sync(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "NameHasOwner",
                                                 g_variant_new("(s)", kSecretsName), G_VARIANT_TYPE("(b)"),
                                                 G_DBUS_CALL_FLAGS_NONE, kBusCallMs, nullptr, &raw));
    error.reset(raw);
    if (!reply) return false;
    gboolean owned = FALSE;
    g_variant_get(reply.get(), "(b)", &owned);
    return owned;
}

SecretLookup lookupSecretKey(UserKey& key) {
    GError* raw = nullptr;
    PasswordPtr text(secret_password_lookup_sync(keySchema(), nullptr, &raw, "purpose", kPurpose, nullptr));
    ErrorPtr error(raw);
    if (error) return SecretLookup::Unavailable;
    if (!text) return SecretLookup::Missing;
    auto decoded = decodeKey(text.get());
    if (!decoded) return SecretLookup::Unavailable; // not ours to overwrite
    key = *decoded;
    secureZero(decoded->data(), decoded->size());
    return SecretLookup::Found;
}

bool storeSecretKey(const UserKey& key) {
    std::string hex = hexLower(key);
    GError* raw = nullptr;
    const gboolean stored = secret_password_store_sync(keySchema(), SECRET_COLLECTION_DEFAULT, "KREL Play",
                                                       hex.c_str(), nullptr, &raw, "purpose", kPurpose, nullptr);
    ErrorPtr error(raw);
    secureZero(hex.data(), hex.size());
    return stored && !error;
}

} // namespace krel
