#include "config/log_file.h"
#include "config/win/unique_handle.h"
#include "config/win/wide_text.h"

namespace krel {
namespace {

// How often a writer starts over because another process rotated the file
// under it; each round means that process made progress.
constexpr int kOpenRounds = 16;

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

bool identityOf(HANDLE file, FileIdentity& id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return false;
    id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// Whether `name` still leads to the file with identity `locked`.
bool nameLeadsTo(const std::wstring& name, const FileIdentity& locked) {
    UniqueHandle probe(CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FileIdentity named;
    return probe && identityOf(probe.get(), named) && named == locked;
}

} // namespace

// Other processes (a hand-over, the restart after an update) log into the
// same file, so the size check, the rename and the append happen under an
// exclusive lock on the whole file. Every opener shares delete access, so
// that the log can be renamed while it is open; after waiting for the lock,
// the writer therefore checks that the name still leads to the file it
// locked, else another process has rotated it and the writer starts over.
void appendLogLine(const std::filesystem::path& file, std::string_view line, std::uintmax_t rotateBytes) {
    std::filesystem::path older = file;
    older += ".1";
    const std::wstring name = win32Path(file);
    const std::wstring olderName = win32Path(older);
    for (int round = 0; round < kOpenRounds; ++round) {
        UniqueHandle log(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!log) return; // the line is lost
        OVERLAPPED whole{};
        if (!LockFileEx(log.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) return;
        FileIdentity locked;
        if (!identityOf(log.get(), locked)) return;
        if (!nameLeadsTo(name, locked)) continue; // rotated by someone else: open the new file
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(log.get(), &size)) return;
        if (static_cast<std::uintmax_t>(size.QuadPart) > rotateBytes) {
            (void)MoveFileExW(name.c_str(), olderName.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
            continue; // the next round creates the new file
        }
        const LARGE_INTEGER zero{};
        if (!SetFilePointerEx(log.get(), zero, nullptr, FILE_END)) return;
        (void)writeAllTo(log.get(), line.data(), line.size());
        return; // closing the handle releases the lock
    }
}

std::tm localCalendarTime(std::time_t t) noexcept {
    std::tm local{};
    localtime_s(&local, &t);
    return local;
}

} // namespace krel
