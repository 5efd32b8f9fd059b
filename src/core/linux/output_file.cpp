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
constexpr off_t kWritebackBytes = 8 << 20;

struct FileState {
    int fd = -1;
    off_t position = 0;    // the file offset the next write goes to
    off_t writtenBack = 0; // writeback was started for the bytes before this offset
};

int writeAll(void* opaque, uint8_t* data, int size) {
    auto* state = static_cast<FileState*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(state->fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
    }
    state->position += size;
    // Start writing the pages back every few megabytes, without waiting:
    // the disk works while the muxer goes on, and the fsync at the end finds
    // little left to do. A hint only; the fsync reports any failure.
    if (state->position - state->writtenBack >= kWritebackBytes) {
        ::sync_file_range(state->fd, state->writtenBack, state->position - state->writtenBack, SYNC_FILE_RANGE_WRITE);
        state->writtenBack = state->position;
    }
    return size;
}

int64_t seekTo(void* opaque, int64_t offset, int whence) {
    auto* state = static_cast<FileState*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st{};
        return ::fstat(state->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t r = ::lseek(state->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    if (r < 0) return AVERROR(errno);
    state->position = r;
    return static_cast<int64_t>(r);
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
    // On the medium before the file is closed and, for a clip, renamed: a
    // power cut must not leave a name that the caller reported as written
    // over data that never reached the disk.
    int syncError = 0;
    if (writeError >= 0 && ::fsync(static_cast<FileState*>(io->opaque)->fd) != 0) syncError = AVERROR(errno);
    const int closeError = release(io);
    if (writeError < 0) throw HrError("avio_flush(w_->pb)", writeError);
    if (syncError < 0) throw HrError("fsync(fd)", syncError);
    if (closeError < 0) throw HrError("close(fd)", closeError);
}

void syncFolderOf(const std::filesystem::path& path) {
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw HrError("open(folder, O_RDONLY | O_DIRECTORY)", AVERROR(errno));
    const int r = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    // A file system that cannot sync a folder has nothing to sync.
    if (r != 0 && error != EINVAL && error != ENOTSUP) throw HrError("fsync(folder)", AVERROR(error));
}

void discardOutputFile(AVIOContext*& io) noexcept { release(io); }

} // namespace krel
