// The clip server on libsoup: its own thread and main context, listening on
// 127.0.0.1 only, started on first use and kept for the life of the
// process. Reading files never touches the user interface's main loop.

#include "ui/clip_server.h"

#include "config/linux/posix_io.h"
#include "config/log.h"
#include "library/clip_library.h"
#include "ui/byte_range.h"

#include <fcntl.h>
#include <libsoup/soup.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <future>
#include <mutex>
#include <thread>

namespace krel {
namespace {

constexpr size_t kChunkBytes = 256 * 1024;

// One response body in flight: read chunk by chunk as the client takes it.
struct Transfer {
    UniqueFd file;
    int64_t next = 0;
    int64_t left = 0;
    bool complete = false;
};

void appendChunk(SoupServerMessage* message, Transfer* transfer) {
    SoupMessageBody* body = soup_server_message_get_response_body(message);
    if (transfer->complete) return;
    if (transfer->left <= 0) {
        transfer->complete = true;
        soup_message_body_complete(body);
        return;
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(transfer->left, kChunkBytes));
    auto* buffer = static_cast<char*>(g_malloc(want));
    ssize_t got;
    do got = ::pread(transfer->file.get(), buffer, want, transfer->next);
    while (got < 0 && errno == EINTR);
    if (got <= 0) {
        // The file shrank or broke under us: end the body short, which the
        // client sees as a failed transfer rather than wrong bytes.
        g_free(buffer);
        transfer->left = 0;
        transfer->complete = true;
        soup_message_body_complete(body);
        return;
    }
    transfer->next += got;
    transfer->left -= got;
    soup_message_body_append_take(body, reinterpret_cast<guchar*>(buffer), static_cast<gsize>(got));
}

class ClipServer {
public:
    static ClipServer* instance() {
        // Kept for the life of the process (never destroyed, so no thread
        // has to be joined while the program exits).
        static ClipServer* server = new ClipServer();
        return server;
    }

    std::string serve(const std::filesystem::path& folder) {
        std::lock_guard lock(mutex_);
        folder_ = folder;
        return base_;
    }

private:
    ClipServer() {
        unsigned char key[16];
        if (RAND_bytes(key, sizeof key) != 1) return;
        for (unsigned char byte : key) key_ += fmt::format("{:02x}", byte);
        std::promise<int> listening;
        auto port = listening.get_future();
        std::thread([this, &listening] { run(listening); }).detach();
        const int bound = port.get();
        if (bound > 0) base_ = fmt::format("http://127.0.0.1:{}/{}/", bound, key_);
        else logLine("Clips: Wiedergabe im Overlay nicht verfügbar");
    }

    void run(std::promise<int>& listening) {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        SoupServer* server = soup_server_new("server-header", "", nullptr);
        soup_server_add_handler(server, nullptr, handleRequest, this, nullptr);
        GError* error = nullptr;
        int port = -1;
        if (soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
            GSList* uris = soup_server_get_uris(server);
            if (uris) port = g_uri_get_port(static_cast<GUri*>(uris->data));
            g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
        } else {
            g_error_free(error);
        }
        host_ = fmt::format("127.0.0.1:{}", port);
        listening.set_value(port);
        if (port <= 0) return;
        GMainLoop* loop = g_main_loop_new(context, FALSE);
        g_main_loop_run(loop);
    }

    std::filesystem::path folder() {
        std::lock_guard lock(mutex_);
        return folder_;
    }

    // `path` comes percent-decoded from libsoup.
    static void handleRequest(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                              gpointer self) {
        static_cast<ClipServer*>(self)->respond(message, path ? path : "");
    }

    // The file name in "/<key>/<name>" (decoded): it passes the library's
    // name rules (so holds no "/") and ends in ".mp4".
    std::string clipName(std::string_view path) const {
        const std::string prefix = "/" + key_ + "/";
        if (!path.starts_with(prefix)) return {};
        const std::string name(path.substr(prefix.size()));
        if (!isValidClipName(name) || name.size() < 4 ||
            g_ascii_strcasecmp(name.c_str() + name.size() - 4, ".mp4") != 0)
            return {};
        return name;
    }

    // A regular file directly in the folder, opened without following a
    // link (the folder itself may be one: the user chose it).
    UniqueFd openClip(const std::string& name) {
        const UniqueFd dir(::open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir) return {};
        // O_NONBLOCK: a FIFO put there must not hang the open.
        UniqueFd file(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
        return file;
    }

    void respond(SoupServerMessage* message, std::string_view path) {
        const char* method = soup_server_message_get_method(message);
        const bool head = g_strcmp0(method, "HEAD") == 0;
        if (!head && g_strcmp0(method, "GET") != 0) {
            soup_server_message_set_status(message, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
            return;
        }
        SoupMessageHeaders* asked = soup_server_message_get_request_headers(message);
        // Addressed by another name (a rebinding web page): not for us.
        const char* host = soup_message_headers_get_one(asked, "Host");
        const std::string name = clipName(path);
        UniqueFd file = (host && host == host_ && !name.empty()) ? openClip(name) : UniqueFd();
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0) {
            soup_server_message_set_status(message, SOUP_STATUS_NOT_FOUND, nullptr);
            return;
        }
        const int64_t size = info.st_size;
        const char* rangeHeader = soup_message_headers_get_one(asked, "Range");
        const ByteRange range = rangeHeader ? parseByteRange(rangeHeader, size) : ByteRange{};

        SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
        soup_message_headers_replace(headers, "Accept-Ranges", "bytes");
        soup_message_headers_replace(headers, "Cache-Control", "no-store");
        if (range.kind == ByteRange::Unsatisfiable) {
            soup_message_headers_replace(headers, "Content-Range", fmt::format("bytes */{}", size).c_str());
            soup_server_message_set_status(message, SOUP_STATUS_REQUESTED_RANGE_NOT_SATISFIABLE, nullptr);
            return;
        }
        auto* transfer = new Transfer{std::move(file), 0, size, false};
        unsigned status = SOUP_STATUS_OK;
        if (range.kind == ByteRange::Partial) {
            transfer->next = range.first;
            transfer->left = range.length;
            status = SOUP_STATUS_PARTIAL_CONTENT;
            soup_message_headers_replace(
                headers, "Content-Range",
                fmt::format("bytes {}-{}/{}", range.first, range.first + range.length - 1, size).c_str());
        }
        soup_message_headers_set_content_type(headers, "video/mp4", nullptr);
        soup_message_headers_set_content_length(headers, transfer->left);
        soup_server_message_set_status(message, status, nullptr);
        if (head) {
            delete transfer;
            return;
        }
        SoupMessageBody* body = soup_server_message_get_response_body(message);
        soup_message_body_set_accumulate(body, FALSE);
        g_signal_connect(message, "wrote-chunk", G_CALLBACK(+[](SoupServerMessage* m, guint, gpointer t) {
                             appendChunk(m, static_cast<Transfer*>(t));
                         }),
                         transfer);
        g_signal_connect(message, "finished", G_CALLBACK(+[](SoupServerMessage* m, gpointer t) {
                             g_signal_handlers_disconnect_by_data(m, t);
                             delete static_cast<Transfer*>(t);
                         }),
                         transfer);
        appendChunk(message, transfer);
    }

    std::string key_;
    std::string host_;
    std::string base_;
    std::mutex mutex_;
    std::filesystem::path folder_;
};

} // namespace

std::string serveClipFolder(const std::filesystem::path& folder) { return ClipServer::instance()->serve(folder); }

} // namespace krel
