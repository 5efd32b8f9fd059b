// Account platform services on Linux: the user key (Secret Service or a key
// file), POSIX file writes, the host name and GLib's Unicode normalisation.
#include "cloud/account_platform.h"
#include "cloud/linux/user_key.h"
#include "config/linux/posix_io.h"

#include "cloud/crypto.h"
#include "cloud/linux/secret_service.h"

#include <glib.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krel {
namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};

struct GFreeDeleter {
    void operator()(gchar* p) const { g_free(p); }
};

std::filesystem::path configFolder() {
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') return x;
    if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / ".config";
    return {};
}

std::optional<std::array<uint8_t, 32>> readKey(const std::filesystem::path& file) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd < 0) return std::nullopt;
    struct stat st {};
    // A key that group or others could read may be known to them: it is
    // not used (nor replaced, which would lose the account).
    if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size != 32 ||
        (st.st_mode & 077) != 0)
        return std::nullopt;
    std::array<uint8_t, 32> key{};
    size_t done = 0;
    while (done < key.size()) {
        const ssize_t n = ::read(fd.fd, key.data() + done, key.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<size_t>(n);
    }
    return key;
}

std::filesystem::path keyFilePath() {
    const std::filesystem::path base = configFolder();
    return base.empty() ? base : base / "krel-play" / "user.key";
}

// The key from the running keyring, made there on first use; nothing when
// no keyring answers, so that the key file serves instead. A key file made
// before the keyring ran stays in use, else its account would be lost.
std::optional<std::array<uint8_t, 32>> keyringKey() {
    if (!secretServiceRunning()) return std::nullopt;
    // In this process only one first use creates a key.
    static std::mutex creating;
    std::lock_guard lock(creating);
    std::array<uint8_t, 32> key{};
    switch (lookupSecretKey(key)) {
    case SecretLookup::Found:
        return key;
    case SecretLookup::Unavailable:
        return std::nullopt;
    case SecretLookup::Missing:
        break;
    }
    if (const auto file = keyFilePath(); !file.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(file, ec))) return std::nullopt;
    }
    const bool stored = randomBytes(key) && storeSecretKey(key);
    secureZero(key.data(), key.size());
    // Read back: what the keyring holds is the key, also when another
    // process stored one at the same moment.
    if (!stored || lookupSecretKey(key) != SecretLookup::Found) return std::nullopt;
    return key;
}

std::optional<std::array<uint8_t, 32>> keyFileKey() {
    const std::filesystem::path file = keyFilePath();
    if (file.empty()) return std::nullopt;
    const std::filesystem::path folder = file.parent_path();
    if (auto key = readKey(file)) return key;

    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    ::chmod(folder.c_str(), 0700);
    std::array<uint8_t, 32> key{};
    if (!randomBytes(key)) return std::nullopt;
    std::string tmpl = (folder / "user.key.XXXXXX").string();
    Fd fd(::mkstemp(tmpl.data()));
    if (fd.fd < 0) return std::nullopt;
    const bool written = ::fchmod(fd.fd, 0600) == 0 && writeAll(fd.fd, key) && ::fsync(fd.fd) == 0;
    ::close(fd.release());
    // link() never replaces: when another thread or process got there
    // first, its key wins and ours is dropped.
    const bool linked = written && ::link(tmpl.c_str(), file.c_str()) == 0;
    const int linkError = errno;
    ::unlink(tmpl.c_str());
    secureZero(key.data(), key.size());
    if (!linked && (!written || linkError != EEXIST)) return std::nullopt;
    return readKey(file);
}

} // namespace

std::optional<std::array<uint8_t, 32>> userSecretKey() {
    if (auto key = keyringKey()) return key;
    return keyFileKey();
}

bool writePrivateFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    std::string tmpl = path.string() + ".XXXXXX";
    Fd fd(::mkstemp(tmpl.data()));
    if (fd.fd < 0) return false;
    const bool ok = ::fchmod(fd.fd, 0600) == 0 && writeAll(fd.fd, bytes) && ::fsync(fd.fd) == 0;
    const bool closed = ::close(fd.release()) == 0;
    if (!ok || !closed || ::rename(tmpl.c_str(), path.c_str()) != 0) {
        ::unlink(tmpl.c_str());
        return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> readSmallFile(const std::filesystem::path& path, size_t maxBytes) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes)
        return std::nullopt;
    std::vector<uint8_t> out(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd.fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<size_t>(n);
    }
    return out;
}

std::string computerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    std::string out(name);
    if (out.size() > 15) out.resize(15); // the 16-character buffer of the original
    return out;
}

std::optional<std::string> normalizeNfkc(std::string_view utf8) {
    if (!g_utf8_validate(utf8.data(), static_cast<gssize>(utf8.size()), nullptr)) return std::nullopt;
    std::unique_ptr<gchar, GFreeDeleter> norm(
        g_utf8_normalize(utf8.data(), static_cast<gssize>(utf8.size()), G_NORMALIZE_NFKC));
    if (!norm) return std::nullopt;
    std::string out(norm.get());
    secureZero(norm.get(), out.size());
    return out;
}

} // namespace krel
