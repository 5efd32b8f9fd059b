// Fetching the manifest, the start-up check and the background check and
// installation with their process-wide state.
#include "app/update.h"

#include "app/module_path.h"
#include "app/version.h"
#include "cloud/http_client.h"
#include "config/log.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace krel {
namespace {

std::mutex& updateLock() {
    static std::mutex m;
    return m;
}
UpdateInfo availableUpdate; // guarded by updateLock
bool updateChecked = false; // guarded by updateLock

std::mutex& eventsLock() {
    static std::mutex m;
    return m;
}
UpdateEvents& eventsStore() {
    static UpdateEvents events;
    return events;
}
UpdateEvents currentEvents() {
    std::lock_guard lock(eventsLock());
    return eventsStore();
}

std::atomic<bool> installing{false};

std::mutex& exeOverrideLock() {
    static std::mutex m;
    return m;
}
std::filesystem::path& exeOverride() {
    static std::filesystem::path p;
    return p;
}
std::filesystem::path installTarget() {
    std::lock_guard lock(exeOverrideLock());
    return exeOverride().empty() ? moduleFilePath() : exeOverride();
}

bool isNewer(const UpdateInfo& info) {
    return !info.version.empty() && isNewerVersion(info.version, kAppVersion);
}

void checkThread(int64_t requestId, const UpdateEvents& events) {
    std::string error;
    UpdateInfo info;
    try {
        info = fetchUpdateInfo(error);
    } catch (...) {
        info = {};
    }
    const bool newer = isNewer(info);
    if (events.checkReply) events.checkReply(newer, info, error, requestId);
    {
        std::lock_guard lock(updateLock());
        if (newer) availableUpdate = info;
        updateChecked = true;
    }
    // Outside the lock, so that a handler may read updateState() at once;
    // every notice reads the current state, so their order does not matter.
    if (events.updateChanged) events.updateChanged();
}

void installThread(const UpdateInfo& info, const UpdateEvents& events, const std::filesystem::path& exePath) {
    std::string error;
    bool ok = false;
    try {
        std::vector<uint8_t> bytes;
        ok = httpGet(info.url, bytes, {}, &error) && applyUpdate(bytes, info.sha256, error, exePath);
    } catch (...) {
        ok = false;
    }
    // After a swap the flag stays set: the new executable is in place and a
    // second installation would only replace it with itself.
    if (!ok) installing = false;
    if (ok) {
        if (events.restart) events.restart();
    } else if (events.installFailed) {
        events.installFailed("Update fehlgeschlagen: " + error);
    }
}

} // namespace

UpdateInfo fetchUpdateInfo(std::string& error) {
    const std::string base = updateBaseUrl();
    std::vector<uint8_t> body;
    // A manifest is small: reading stops just past the limit, which
    // parseManifest then refuses, and the whole exchange has one deadline.
    const HttpGetLimits limits{.maxBytes = kManifestMaxBytes, .deadlineMs = kManifestDeadlineMs,
                               .minBytesPerSecond = 0};
    if (!httpGet(base + "latest.json", body, {}, &error, limits)) return {};
    return parseManifest(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), base,
                         error);
}

bool startupUpdateCheck(const std::vector<std::string>& args, bool autoUpdate,
                        const std::filesystem::path& exePath) {
    if (std::find(args.begin(), args.end(), "--updated") != args.end() ||
        std::find(args.begin(), args.end(), "--first-run") != args.end())
        return false;
    if (!autoUpdate) return false;
    std::string error;
    const UpdateInfo info = fetchUpdateInfo(error);
    if (!isNewer(info)) {
        if (!error.empty()) logLine(fmt::format("Update-Prüfung beim Start: {}", error));
        return false;
    }
    logLine(fmt::format("Neue Version {} beim Start gefunden – wird installiert", info.version));
    std::vector<uint8_t> bytes;
    if (!httpGet(info.url, bytes, {}, &error) || !applyUpdate(bytes, info.sha256, error, exePath)) {
        logLine(fmt::format("Update beim Start fehlgeschlagen: {}", error));
        return false;
    }
    return true;
}

nlohmann::json updateCheckResult(bool newer, const UpdateInfo& info, const std::string& error) {
    nlohmann::json result = {{"version", newer ? info.version : std::string()}};
    if (!error.empty() && info.version.empty()) result["error"] = error;
    return result;
}

void setUpdateEvents(UpdateEvents events) {
    std::lock_guard lock(eventsLock());
    eventsStore() = std::move(events);
}

void setUpdateExecutableForTesting(const std::filesystem::path& exePath) {
    std::lock_guard lock(exeOverrideLock());
    exeOverride() = exePath;
}

UpdateState updateState() {
    std::lock_guard lock(updateLock());
    return {availableUpdate, updateChecked, installing.load()};
}

void checkForUpdate(int64_t requestId) {
    try {
        std::thread(checkThread, requestId, currentEvents()).detach();
    } catch (const std::exception& e) {
        logLine(fmt::format("Update-Prüfung nicht gestartet: {}", e.what()));
    }
}

void installUpdate() {
    UpdateInfo info;
    {
        std::lock_guard lock(updateLock());
        info = availableUpdate;
    }
    if (info.version.empty()) return;
    bool expected = false;
    if (!installing.compare_exchange_strong(expected, true)) return; // one swap at a time
    try {
        std::thread(installThread, std::move(info), currentEvents(), installTarget()).detach();
    } catch (...) {
        installing = false;
    }
}

} // namespace krel
