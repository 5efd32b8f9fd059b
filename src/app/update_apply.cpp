// Verifying a downloaded executable and swapping it in.
#include "app/update.h"

#include "app/file_swap.h"
#include "app/module_path.h"
#include "cloud/crypto.h"
#include "config/log.h"

#include <mutex>

namespace krel {
namespace {

// One swap at a time in the process: two would race on the same files.
std::mutex& swapMutex() {
    static std::mutex m;
    return m;
}

std::filesystem::path withSuffix(const std::filesystem::path& p, const char* suffix) {
    std::filesystem::path out = p;
    out += suffix;
    return out;
}

} // namespace

std::string sha256Hex(std::span<const uint8_t> bytes) {
    return hexLower(sha256(bytes));
}

bool applyUpdate(std::span<const uint8_t> bytes, std::string_view expectedSha256, std::string& error,
                 const std::filesystem::path& exePath) {
    std::string expected(expectedSha256.substr(0, 64));
    for (char& c : expected)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (bytes.size() < kMinUpdateSize || sha256Hex(bytes) != expected) {
        error = "Prüfsumme stimmt nicht – Update verworfen";
        return false;
    }
    if (exePath.empty()) {
        error = "Laufende Version konnte nicht ersetzt werden";
        return false;
    }
    std::lock_guard lock(swapMutex());
    const auto newFile = withSuffix(exePath, ".new");
    const auto oldFile = withSuffix(exePath, ".old");
    if (!writeExecutableFile(newFile, bytes, exePath)) {
        error = "Neue Version konnte nicht gespeichert werden";
        return false;
    }
    switch (swapInExecutable(newFile, exePath, oldFile)) {
    case SwapResult::NotLinked:
        error = "Laufende Version konnte nicht ersetzt werden";
        removeFileQuietly(newFile);
        return false;
    case SwapResult::NotSwapped:
        // The executable never left its place; only the leftovers go.
        error = "Update konnte nicht eingespielt werden";
        removeFileQuietly(newFile);
        removeFileQuietly(oldFile);
        return false;
    case SwapResult::Done:
        break;
    }
    logLine("Update eingespielt – Neustart");
    return true;
}

bool applyUpdate(std::span<const uint8_t> bytes, std::string_view expectedSha256, std::string& error) {
    return applyUpdate(bytes, expectedSha256, error, moduleFilePath());
}

void cleanupUpdateFiles(const std::filesystem::path& exePath) {
    if (exePath.empty()) return;
    removeFileQuietly(withSuffix(exePath, ".old"));
    removeFileQuietly(withSuffix(exePath, ".new"));
}

void cleanupUpdateFiles() {
    cleanupUpdateFiles(moduleFilePath());
}

} // namespace krel
