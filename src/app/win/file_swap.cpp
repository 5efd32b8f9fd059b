// The executable swap on Windows. A running executable cannot be deleted or
// overwritten, but it can be renamed: it moves aside to the old file, the
// new one takes its name, and the old file is deleted at the next start.
#include "app/file_swap.h"
#include "config/win/unique_handle.h"
#include "config/win/wide_text.h"

#include <atomic>

namespace krel {
namespace {

std::atomic<void (*)(SwapStep)> swapStepHook{nullptr};

void reachedStep(SwapStep step) {
    if (auto hook = swapStepHook.load()) hook(step);
}

} // namespace

bool writeExecutableFile(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         const std::filesystem::path& /*modeFrom: Windows has no execute bit*/) {
    const std::wstring name = win32Path(path);
    // A leftover (or a link someone placed there) is removed, and the file
    // is made anew: CREATE_NEW fails rather than write through anything
    // that appears at the name meanwhile.
    if (!DeleteFileW(name.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    UniqueHandle file(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const bool ok = writeAllTo(file.get(), bytes.data(), bytes.size()) && FlushFileBuffers(file.get());
    return file.close() && ok;
}

SwapResult swapInExecutable(const std::filesystem::path& newFile, const std::filesystem::path& exePath,
                            const std::filesystem::path& oldFile) {
    const std::wstring exe = win32Path(exePath);
    const std::wstring old = win32Path(oldFile);
    // An earlier old file is replaced; it fails only while that file is
    // still the image of a running process.
    if (!MoveFileExW(exe.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return SwapResult::NotLinked;
    reachedStep(SwapStep::Linked);
    if (!MoveFileExW(win32Path(newFile).c_str(), exe.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        // The running executable goes back to its name, so that the path
        // never stays empty.
        MoveFileExW(old.c_str(), exe.c_str(), MOVEFILE_WRITE_THROUGH);
        return SwapResult::NotSwapped;
    }
    reachedStep(SwapStep::Swapped);
    return SwapResult::Done;
}

void setSwapStepHookForTesting(void (*hook)(SwapStep)) {
    swapStepHook = hook;
}

void removeFileQuietly(const std::filesystem::path& path) {
    DeleteFileW(win32Path(path).c_str());
}

} // namespace krel
