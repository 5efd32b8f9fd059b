#pragma once
// Self-update: the manifest "latest.json" in the update folder names the
// newest version, its executable and that file's SHA-256 digest. A newer
// executable is downloaded, verified, written beside the running one as
// "<exe>.new" and swapped in so that the program's path names a complete
// executable at every moment ("<exe>.old" keeps the running image until the
// process ends, the next start removes it). Nothing here throws; failures
// come back as a German text.
//
// Threads: checkForUpdate and installUpdate return at once and work on a
// detached thread each; the start-up check runs on the main thread before any
// of them exists. `updateLock` (inside) guards the known release and the
// checked flag. The reporting hooks are called on the worker threads without
// any lock held; they should only post to the main loop.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace krel {

struct UpdateInfo {
    std::string version; // empty: no release to install
    std::string url;     // the update folder followed by the manifest's "file"
    std::string sha256;  // as given in the manifest
    std::string notes;   // at most 4000 bytes
};

inline constexpr size_t kNotesMaxBytes = 4000;
inline constexpr size_t kMinUpdateSize = 100000;
inline constexpr size_t kManifestMaxBytes = 64 * 1024;
inline constexpr size_t kVersionMaxChars = 64;
// The whole manifest download, however the server paces it.
inline constexpr int kManifestDeadlineMs = 30000;

// "KREL_PLAY_UPDATE_URL" when set and non-empty (at most 511 bytes), else the
// built-in update folder; used as a prefix, so it ends with "/".
std::string updateBaseUrl();

// The manifest rules applied to a manifest body of at most 64 KiB: "file"
// only of the characters A-Z a-z 0-9 blank . _ - (and not "." or ".."),
// "version" at most 64 printable ASCII characters. On a refused manifest the
// result has an empty version and `error` says why.
UpdateInfo parseManifest(std::string_view body, const std::string& baseUrl, std::string& error);
// Downloads and parses the manifest of updateBaseUrl().
UpdateInfo fetchUpdateInfo(std::string& error);

std::vector<int32_t> parseVersion(std::string_view text);
bool isNewerVersion(std::string_view candidate, std::string_view current);
std::string sha256Hex(std::span<const uint8_t> bytes);

// Verifies `bytes` against the expected digest and swaps them in for the
// executable at `exePath`. A digest mismatch, a short file or a failed write
// or rename leaves the executable in place and says why in `error`.
bool applyUpdate(std::span<const uint8_t> bytes, std::string_view expectedSha256, std::string& error,
                 const std::filesystem::path& exePath);
bool applyUpdate(std::span<const uint8_t> bytes, std::string_view expectedSha256, std::string& error);
// Removes "<exe>.old" and "<exe>.new"; results ignored.
void cleanupUpdateFiles(const std::filesystem::path& exePath);
void cleanupUpdateFiles();

// The start-up check (main thread, before any window): true when a newer
// release was installed and the caller must restart into it. Does nothing
// with "--updated" or "--first-run" among the arguments or with autoUpdate
// off in the settings file.
bool startupUpdateCheck(const std::vector<std::string>& args);
// The same with the settings flag and the executable given.
bool startupUpdateCheck(const std::vector<std::string>& args, bool autoUpdate,
                        const std::filesystem::path& exePath);

// The `result` of the page's update-check reply: "version" (the release when
// it is newer, else "") and "error" (only when the check failed before a
// version was read).
nlohmann::json updateCheckResult(bool newer, const UpdateInfo& info, const std::string& error);

// How the background work reports; supplied once by the user-interface host
// at start-up (setUpdateEvents). Members may be empty.
struct UpdateEvents {
    // After every check: whether the release is newer, the release, the
    // fetch error and the page's request id (0: nobody asked).
    std::function<void(bool newer, const UpdateInfo& info, const std::string& error, int64_t requestId)>
        checkReply;
    // After every check, once the known release is recorded.
    std::function<void()> updateChanged;
    // The new executable is in place: restart into it.
    std::function<void()> restart;
    // The installation failed: the page's toast text
    // "Update fehlgeschlagen: " + reason.
    std::function<void(const std::string& toastText)> installFailed;
};
void setUpdateEvents(UpdateEvents events);

struct UpdateState {
    UpdateInfo available;    // the newest release found newer than this version
    bool checked = false;    // a background check has finished
    bool installing = false; // an installation runs or has swapped in the release
};
UpdateState updateState();

// Test hook: the executable that installUpdate swaps (default: the running
// one, moduleFilePath). An empty path restores the default.
void setUpdateExecutableForTesting(const std::filesystem::path& exePath);

// Starts a background check; the release found newer is recorded. When no
// thread can be started, the check is skipped (the next one may succeed).
void checkForUpdate(int64_t requestId);
// Starts downloading and installing the recorded release; does nothing
// without one, while an installation is running, or once one has swapped in
// the new executable (the process is about to restart into it).
void installUpdate();

} // namespace krel
