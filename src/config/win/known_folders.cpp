// The shell's known folders of the current user.
#include "config/known_folders.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

namespace krel {
namespace {

std::filesystem::path knownFolder(REFKNOWNFOLDERID id) {
    PWSTR folder = nullptr;
    std::filesystem::path out;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &folder)) && folder) out = folder;
    CoTaskMemFree(folder); // also after a failure, as the call's contract asks
    return out;
}

} // namespace

std::filesystem::path userDataBaseFolder() { return knownFolder(FOLDERID_LocalAppData); }

std::filesystem::path userVideosFolder() { return knownFolder(FOLDERID_Videos); }

const char* dataFolderName() { return "KREL Play"; }

} // namespace krel
