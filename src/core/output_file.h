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
// Flushes and closes the context (sets `io` to null). Throws HrError when
// data could not be written or the file not be closed; the context is
// released either way.
void closeOutputFile(AVIOContext*& io);
// Releases the context without reporting errors (for error paths).
void discardOutputFile(AVIOContext*& io) noexcept;

} // namespace krel
