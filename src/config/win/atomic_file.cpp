#include "config/atomic_file.h"
#include "config/win/replace_file.h"
#include "config/win/unique_handle.h"
#include "config/win/wide_text.h"

#include <string>

namespace krel {
namespace {

// How long a replace or a read waits out another process's hold on the
// file (a reader without delete sharing, a virus scanner): 50 rounds of
// about a millisecond.
constexpr int kBusyRounds = 50;

bool busy(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

void pause(int round) {
    if (round < 4) SwitchToThread();
    else Sleep(1);
}

bool replaceWhenFree(const std::wstring& from, const std::wstring& to) {
    for (int round = 0;; ++round) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        if (!busy(GetLastError()) || round == kBusyRounds) return false;
        pause(round);
    }
}

} // namespace

bool writeAndReplace(const std::filesystem::path& target, const std::filesystem::path& tmp, const void* data,
                     size_t size) {
    const std::wstring tmpName = win32Path(tmp);
    // A stale temporary file (or a link put there) goes first; CREATE_NEW
    // then makes a new file rather than write through whatever appears at
    // the name meanwhile.
    DeleteFileW(tmpName.c_str());
    UniqueHandle file(CreateFileW(tmpName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    // On the disk before it may replace the target, so that a power loss
    // never leaves an empty or partial file under the target's name.
    const bool written = writeAllTo(file.get(), data, size) && FlushFileBuffers(file.get());
    if (!file.close() || !written || !replaceWhenFree(tmpName, win32Path(target))) {
        DeleteFileW(tmpName.c_str());
        return false;
    }
    return true;
}

bool replaceFileAtomically(const std::filesystem::path& target, std::string_view content) noexcept {
    try {
        std::filesystem::path tmp = target;
        tmp += ".tmp";
        return writeAndReplace(target, tmp, content.data(), content.size());
    } catch (...) {
        return false; // only allocation can throw here
    }
}

std::optional<std::string> readReplaceableFile(const std::filesystem::path& file) {
    const std::wstring name = win32Path(file);
    UniqueHandle handle;
    // While a replace renames over the name, an open can briefly fail as
    // busy or even as missing; only a name that stays missing is missing.
    for (int round = 0; !handle; ++round) {
        handle = UniqueHandle(CreateFileW(name.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (handle) break;
        const DWORD error = GetLastError();
        const bool transient = busy(error) || error == ERROR_FILE_NOT_FOUND;
        if (!transient || round == (error == ERROR_FILE_NOT_FOUND ? 4 : kBusyRounds)) return std::nullopt;
        pause(round);
    }
    std::string text;
    char chunk[16384];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(handle.get(), chunk, sizeof chunk, &n, nullptr)) return std::nullopt; // a folder, an I/O error
        if (n == 0) return text;
        text.append(chunk, n);
    }
}

} // namespace krel
