#pragma once
// The file a muxer writes into: a libavformat I/O context over a platform
// file with a large write buffer, so that writing a clip of hundreds of
// megabytes costs a few hundred system calls rather than thousands.

#include <filesystem>

struct AVIOContext;

namespace krel {

// Creates or truncates `path` and returns an I/O context for writing and
// seeking in it. Throws HrError naming the failing call.
AVIOContext* openOutputFile(const std::filesystem::path& path);
// Flushes the context, forces the file's data to the medium (fsync) and
// closes it (sets `io` to null). Throws HrError when data could not be
// written, synced or the file not be closed; the context is released either
// way.
void closeOutputFile(AVIOContext*& io);
// Forces the folder holding `path` to the medium, so that a rename or a new
// name inside it survives a power cut. Throws HrError.
void syncFolderOf(const std::filesystem::path& path);
// Releases the context without reporting errors (for error paths).
void discardOutputFile(AVIOContext*& io) noexcept;

} // namespace krel
