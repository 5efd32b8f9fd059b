// Account platform services on Windows: DPAPI for the current user, Win32
// files, the computer name and NormalizeString.
#include "cloud/account_platform.h"

#include "cloud/crypto.h"
#include "config/win/replace_file.h"
#include "config/win/unique_handle.h"
#include "config/win/wide_text.h"

#include <windows.h>
#include <dpapi.h>
#include <winnls.h>

#include <algorithm>
#include <climits>
#include <string>

namespace krel {
namespace {

constexpr const wchar_t* kDescription = L"KREL Play";

// A DATA_BLOB that DPAPI allocated, freed with LocalFree after its bytes
// are wiped.
struct LocalBlob {
    DATA_BLOB blob{};
    ~LocalBlob() {
        if (blob.pbData) {
            SecureZeroMemory(blob.pbData, blob.cbData);
            LocalFree(blob.pbData);
        }
    }
};

DATA_BLOB inputBlob(std::span<const uint8_t> bytes) {
    return {static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

} // namespace

std::optional<std::vector<uint8_t>> protectForUser(std::string_view plain) {
    if (plain.size() > ULONG_MAX) return std::nullopt;
    DATA_BLOB in = inputBlob(asBytes(plain));
    LocalBlob out;
    if (!CryptProtectData(&in, kDescription, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out.blob))
        return std::nullopt;
    return std::vector<uint8_t>(out.blob.pbData, out.blob.pbData + out.blob.cbData);
}

std::optional<std::string> unprotectForUser(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > ULONG_MAX) return std::nullopt;
    DATA_BLOB in = inputBlob(bytes);
    LocalBlob out;
    LPWSTR description = nullptr;
    const bool opened = CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                                           &out.blob);
    LocalFree(description);
    if (!opened) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(out.blob.pbData), out.blob.cbData);
}

bool writePrivateFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    // Under a temporary name of this thread's own. The file inherits the
    // data folder's access rights, which the profile limits to the user.
    std::filesystem::path tmp = path;
    tmp += ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetCurrentThreadId());
    return writeAndReplace(path, tmp, bytes.data(), bytes.size());
}

std::optional<std::vector<uint8_t>> readSmallFile(const std::filesystem::path& path, size_t maxBytes) {
    UniqueHandle file(CreateFileW(win32Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) > maxBytes)
        return std::nullopt;
    std::vector<uint8_t> out(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < out.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(out.size() - done, 1u << 20));
        if (!ReadFile(file.get(), out.data() + done, want, &n, nullptr) || n == 0) return std::nullopt;
        done += n;
    }
    return out;
}

std::string computerName() {
    wchar_t name[16] = {}; // MAX_COMPUTERNAME_LENGTH + 1
    DWORD size = 16;
    if (!GetComputerNameW(name, &size)) return {};
    return utf8FromWide(std::wstring_view(name, size));
}

std::optional<std::string> normalizeNfkc(std::string_view utf8) {
    if (utf8.empty()) return std::string();
    // Strict conversion: text that is not valid UTF-8 is refused, not
    // repaired.
    if (utf8.size() > INT_MAX) return std::nullopt;
    const int inSize = static_cast<int>(utf8.size());
    const int wideSize = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inSize, nullptr, 0);
    if (wideSize <= 0) return std::nullopt;
    std::wstring wide(static_cast<size_t>(wideSize), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inSize, wide.data(), wideSize);
    // NormalizeString's first answer is an estimate; it says when the
    // buffer was too small.
    int estimate = NormalizeString(NormalizationKC, wide.data(), wideSize, nullptr, 0);
    for (int attempt = 0; attempt < 4 && estimate > 0; ++attempt) {
        std::wstring out(static_cast<size_t>(estimate), L'\0');
        const int n = NormalizeString(NormalizationKC, wide.data(), wideSize, out.data(), estimate);
        if (n > 0) {
            out.resize(static_cast<size_t>(n));
            std::string result = utf8FromWide(out);
            SecureZeroMemory(out.data(), out.size() * sizeof(wchar_t));
            SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
            return result;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        estimate = -n;
    }
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
    return std::nullopt;
}

} // namespace krel
