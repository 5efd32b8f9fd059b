#include "cloud/upload.h"

#include "cloud/account.h"
#include "cloud/api_replies.h"
#include "cloud/test_hooks.h"
#include "config/log.h"
#include "config/utf8_path.h"
#include "core/mp4_writer.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <vector>

namespace krel {
namespace {

constexpr int kRetryWaitMs[kChunkAttempts - 1] = {800, 1600};

void withdraw(const std::string& id) {
    (void)apiCall("DELETE", "/api/play/v1/clips/" + id, "");
}

void waitBeforeRetry(int failedAttempts) {
    networkSleep(std::chrono::milliseconds(kRetryWaitMs[failedAttempts - 1]));
}

std::string announcementBody(const std::filesystem::path& path, const std::string& game, uint64_t size) {
    ClipProbe probe;
    try {
        probe = probeClip(path);
    } catch (...) {
        probe = {}; // unknown metadata; the service decides
    }
    const nlohmann::json j = {{"name", utf8FromPath(path.stem())},
                              {"game", game},
                              {"size", size},
                              {"durationMs", probe.durationHns > 0 ? probe.durationHns / 10000 : 0},
                              {"width", probe.width},
                              {"height", probe.height}};
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

ApiResult uploadClip(const std::filesystem::path& path, const std::string& game,
                     const ProgressCallback& progress) {
    ApiResult result;
    std::error_code ec;
    const uint64_t size =
        std::filesystem::is_regular_file(path, ec) ? std::filesystem::file_size(path, ec) : 0;
    if (ec || size < kMinUploadSize) {
        result.error = "Clip-Datei nicht lesbar";
        return result;
    }

    result = apiCall("POST", "/api/play/v1/clips", announcementBody(path, game, size));
    if (!result.error.empty()) return result;

    const AnnouncementReading reading = parseAnnouncementReply(result.body, kDefaultChunkSize);
    if (!reading.announcement) {
        // An id that arrived with an unusable chunk size (none of 64 KiB to
        // 64 MiB) is withdrawn all the same, so that no incomplete clip
        // remains.
        if (!reading.knownId.empty()) withdraw(reading.knownId);
        result.error = "Antwort der Cloud unlesbar";
        return result;
    }
    const std::string& id = reading.announcement->id;
    const uint64_t chunkSize = reading.announcement->chunkSize;
    const uint64_t chunks = size / chunkSize + (size % chunkSize ? 1 : 0);

    auto fail = [&](int32_t status, std::string body, std::string error) {
        withdraw(id);
        ApiResult r;
        r.status = status;
        r.body = std::move(body);
        r.error = std::move(error);
        return r;
    };

    // Unbuffered, so that every chunk is read from the file when it is sent
    // and a file that shrinks meanwhile shows as a short read.
    std::ifstream in;
    in.rdbuf()->pubsetbuf(nullptr, 0);
    in.open(path, std::ios::binary);
    std::vector<char> buffer(static_cast<size_t>(std::min(chunkSize, size))); // at most 64 MiB
    const std::string token = accountToken();
    const std::string chunkBase = apiBaseUrl() + "/api/play/v1/clips/" + id + "/chunks/";

    for (uint64_t i = 0; i < chunks; ++i) {
        const uint64_t n = std::min(chunkSize, size - i * chunkSize);
        in.read(buffer.data(), static_cast<std::streamsize>(n));
        if (!in || static_cast<uint64_t>(in.gcount()) != n)
            return fail(0, "", "Clip-Datei konnte nicht gelesen werden");

        const std::string_view bytes(buffer.data(), static_cast<size_t>(n));
        const std::string url = chunkBase + std::to_string(i);
        std::string reply;
        int32_t status = 0;
        for (int attempt = 1; attempt <= kChunkAttempts; ++attempt) {
            status = httpRequest("PUT", url, bytes, "application/octet-stream", token, reply);
            if (status >= 200 && status <= 299) break;
            if (status >= 400 && status <= 499) break; // the service refused: retrying changes nothing
            if (attempt < kChunkAttempts) waitBeforeRetry(attempt);
        }
        if (status < 200 || status > 299) {
            std::string text = cloudErrorText(status, reply);
            return fail(status, std::move(reply), std::move(text));
        }
        if (progress) progress(static_cast<double>(i + 1) / static_cast<double>(chunks));
    }

    ApiResult completed = apiCall("POST", "/api/play/v1/clips/" + id + "/complete", "{}");
    if (!completed.error.empty()) withdraw(id); // no incomplete clip stays behind
    return completed;
}

void runUploadCommand(const std::filesystem::path& path, const std::string& game, const std::string& file,
                      const UploadEvents& events) {
    logLine("Cloud: Upload beginnt");
    int lastPercent = -1;
    const ProgressCallback progress = [&](double fraction) {
        const int percent = static_cast<int>(fraction * 100.0);
        if (percent == lastPercent) return;
        lastPercent = percent;
        if (events.progress) events.progress(file, percent);
    };
    ApiResult result;
    try {
        result = uploadClip(path, game, progress);
    } catch (const std::exception& e) {
        result = {};
        result.error = "Clip-Datei konnte nicht gelesen werden";
        logLine(fmt::format("Cloud: {}", e.what()));
    }
    if (result.error.empty()) {
        logLine("Cloud: Upload fertig");
        if (events.notice) events.notice("In die Cloud hochgeladen", true);
    } else {
        logLine(fmt::format("Cloud: Upload fehlgeschlagen ({})", result.status));
        if (events.notice) events.notice("Cloud-Upload fehlgeschlagen", false);
    }
    if (events.done) events.done(result);
}

} // namespace krel
