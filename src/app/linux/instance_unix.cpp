// Single instance on Linux: an flock'ed lock file and a Unix stream socket
// in the user's runtime folder. The kernel drops the flock with the process,
// so a crashed instance never blocks the next start; its socket file is
// stale then and is replaced by the next instance, which holds the lock.

#include "app/instance.h"

#include "config/log.h"

#include <glib-unix.h>
#include <glib.h>

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

namespace krel {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxLine = 64;

fs::path lockPath(const std::string& suffix) {
    const fs::path dir = instanceRuntimeDirectory();
    return dir.empty() ? fs::path{} : dir / ("krel-play" + suffix + ".lock");
}

fs::path socketPath(const std::string& suffix) {
    const fs::path dir = instanceRuntimeDirectory();
    return dir.empty() ? fs::path{} : dir / ("krel-play" + suffix + ".sock");
}

// A folder of our own: a real directory (not a link) owned by this user.
bool ownPrivateFolder(const fs::path& dir) {
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return st.st_uid == ::getuid();
}

bool fillAddress(const fs::path& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.native().size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
    return true;
}

int connectTo(const std::string& suffix) {
    sockaddr_un addr;
    if (!fillAddress(socketPath(suffix), addr)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

class UnixListener final : public InstanceListener {
public:
    UnixListener(int fd, fs::path path, std::function<void()> onOpen, std::function<void(Reply)> onClose)
        : fd_(fd), path_(std::move(path)), onOpen_(std::move(onOpen)), onClose_(std::move(onClose)) {
        source_ = g_unix_fd_add(fd_, G_IO_IN, &UnixListener::onAccept, this);
    }

    ~UnixListener() override {
        for (auto& [fd, conn] : conns_) {
            g_source_remove(conn.source);
            ::close(fd);
        }
        g_source_remove(source_);
        ::close(fd_);
        ::unlink(path_.c_str());
    }

private:
    struct Conn {
        guint source = 0;
        std::string buffer;
    };

    static gboolean onAccept(gint, GIOCondition, gpointer data) {
        auto* self = static_cast<UnixListener*>(data);
        const int conn = ::accept4(self->fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn < 0) return G_SOURCE_CONTINUE;
        ucred peer{};
        socklen_t len = sizeof peer;
        if (::getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != ::getuid()) {
            logLine(fmt::format("Instanz: Verbindung eines fremden Benutzers abgewiesen (uid {})", peer.uid));
            ::close(conn);
            return G_SOURCE_CONTINUE;
        }
        self->conns_[conn].source = g_unix_fd_add(conn, G_IO_IN, &UnixListener::onReadable, self);
        return G_SOURCE_CONTINUE;
    }

    static gboolean onReadable(gint fd, GIOCondition, gpointer data) {
        auto* self = static_cast<UnixListener*>(data);
        Conn& conn = self->conns_.at(fd);
        char chunk[kMaxLine];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return G_SOURCE_CONTINUE;
        if (n > 0) conn.buffer.append(chunk, static_cast<size_t>(n));
        const size_t end = conn.buffer.find('\n');
        if (end == std::string::npos && n > 0 && conn.buffer.size() <= kMaxLine) return G_SOURCE_CONTINUE;

        const std::string command = end == std::string::npos ? std::string{} : conn.buffer.substr(0, end);
        self->conns_.erase(fd); // the source goes with G_SOURCE_REMOVE
        if (command == "open-overlay") {
            ::close(fd);
            self->onOpen_();
        } else if (command == "close") {
            // Answered once the instance has ended; the descriptor travels
            // with the reply, which may run after this listener is gone.
            self->onClose_([fd] {
                sendLine(fd, "ok");
                ::close(fd);
            });
        } else {
            ::close(fd);
        }
        return G_SOURCE_REMOVE;
    }

    int fd_;
    fs::path path_;
    std::function<void()> onOpen_;
    std::function<void(Reply)> onClose_;
    guint source_ = 0;
    std::map<int, Conn> conns_;
};

} // namespace

fs::path instanceRuntimeDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && ownPrivateFolder(runtime)) return runtime;

    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec) tmp = "/tmp";
    const fs::path dir = tmp / fmt::format("krel-play-{}", ::getuid());
    ::mkdir(dir.c_str(), 0700);
    if (!ownPrivateFolder(dir)) {
        logLine(fmt::format("Instanz: Ordner {} gehört einem anderen Benutzer – nicht verwendet", dir.string()));
        return {};
    }
    ::chmod(dir.c_str(), 0700);
    return dir;
}

InstanceLock::InstanceLock(const std::string& suffix) {
    const fs::path path = lockPath(suffix);
    if (!path.empty()) fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

InstanceLock::~InstanceLock() {
    release();
    if (fd_ >= 0) ::close(fd_);
}

bool InstanceLock::tryLock() {
    // Without a usable folder there is nothing to coordinate with: run.
    if (fd_ < 0) return true;
    if (!held_) held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    return held_;
}

bool InstanceLock::waitLock(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!tryLock()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void InstanceLock::release() {
    if (fd_ >= 0 && held_) ::flock(fd_, LOCK_UN);
    held_ = false;
}

std::unique_ptr<InstanceListener> InstanceListener::start(const std::string& suffix,
                                                          std::function<void()> onOpenOverlay,
                                                          std::function<void(Reply)> onClose) {
    const fs::path path = socketPath(suffix);
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    ::unlink(path.c_str()); // a crashed instance's leftover; we hold the lock
    const mode_t old = ::umask(077);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(old);
    if (!bound || ::listen(fd, 8) != 0) {
        logLine(fmt::format("Instanz: Socket {} nicht verfügbar ({})", path.string(), std::strerror(errno)));
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<UnixListener>(fd, path, std::move(onOpenOverlay), std::move(onClose));
}

bool askRunningToOpenOverlay(const std::string& suffix) {
    const int fd = connectTo(suffix);
    if (fd < 0) return false;
    const bool sent = sendLine(fd, "open-overlay");
    ::close(fd);
    return sent;
}

void closeRunningInstance(const std::string& suffix, std::chrono::milliseconds timeout) {
    const int fd = connectTo(suffix);
    if (fd < 0) return;
    if (sendLine(fd, "close")) {
        // The answer, or the end of the connection when the process is
        // gone, ends the wait.
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0) {
            char reply[8];
            [[maybe_unused]] const ssize_t n = ::read(fd, reply, sizeof reply);
        }
    }
    ::close(fd);
}

} // namespace krel
