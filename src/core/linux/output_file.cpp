#include "core/output_file.h"

#include "core/hr_error.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krel {
namespace {

constexpr int kBufferBytes = 1 << 20;

struct FileState {
    int fd = -1;
};

int writeAll(void* opaque, uint8_t* data, int size) {
    const int fd = static_cast<FileState*>(opaque)->fd;
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
    }
    return size;
}

int64_t seekTo(void* opaque, int64_t offset, int whence) {
    const int fd = static_cast<FileState*>(opaque)->fd;
    if (whence & AVSEEK_SIZE) {
        struct stat st{};
        return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t r = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return r < 0 ? AVERROR(errno) : static_cast<int64_t>(r);
}

// Frees the context and its buffer and closes the file; returns the close
// error as an AVERROR, or 0.
int release(AVIOContext*& io) {
    if (!io) return 0;
    auto* state = static_cast<FileState*>(io->opaque);
    av_freep(&io->buffer);
    avio_context_free(&io);
    int r = 0;
    if (state->fd >= 0 && ::close(state->fd) != 0) r = AVERROR(errno);
    delete state;
    return r;
}

} // namespace

AVIOContext* openOutputFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw HrError("open(path, O_WRONLY | O_CREAT | O_TRUNC)", AVERROR(errno));
    auto* state = new FileState{fd};
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, kBufferBytes, 1, state, nullptr, writeAll, seekTo) : nullptr;
    if (!io) {
        av_free(buffer);
        ::close(fd);
        delete state;
        throw HrError("avio_alloc_context(buffer, kBufferBytes, 1, state, nullptr, writeAll, seekTo)", AVERROR(ENOMEM));
    }
    return io;
}

void closeOutputFile(AVIOContext*& io) {
    if (!io) return;
    avio_flush(io);
    const int writeError = io->error;
    const int closeError = release(io);
    if (writeError < 0) throw HrError("avio_flush(w_->pb)", writeError);
    if (closeError < 0) throw HrError("close(fd)", closeError);
}

void discardOutputFile(AVIOContext*& io) noexcept { release(io); }

} // namespace krel
