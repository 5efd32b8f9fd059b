// Fuzz target: the texts the program reads from the network. The first byte
// picks the reader, the rest is the reply body: the update manifest, the
// sign-in reply, the upload announcement, the share and link replies and the
// error code of any failed call. Each reader must accept any bytes and keep
// its rules.

#include "app/update.h"
#include "cloud/api_replies.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

const std::string kBase = "https://updates.example.de/downloads/play/";

void manifest(std::string_view body) {
    std::string error;
    const krel::UpdateInfo info = krel::parseManifest(body, kBase, error);
    check(info.notes.size() <= krel::kNotesMaxBytes);
    if (!info.version.empty()) {
        // An offered release always has a digest of the right length and
        // is always taken from the update folder itself.
        check(error.empty());
        check(info.sha256.size() == 64);
        check(info.url.size() > kBase.size() && info.url.compare(0, kBase.size(), kBase) == 0);
        const std::string file = info.url.substr(kBase.size());
        check(file.find_first_of("/\\:") == std::string::npos && file != "." && file != "..");
    }
    if (info.url.empty()) check(info.version.empty());
    // Version comparison is a strict order on whatever the manifest says.
    const bool newer = krel::isNewerVersion(info.version, "0.1.7");
    const bool older = krel::isNewerVersion("0.1.7", info.version);
    check(!(newer && older));
    check(krel::parseVersion(body).size() >= 3);
    check(!krel::isNewerVersion(body, body));
}

void replies(std::string_view body) {
    if (const auto r = krel::parseSignInReply(body)) {
        check(!r->token.empty());
        for (char c : r->token)
            check(c > 0x20 && c < 0x7F);
    }
    const auto a = krel::parseAnnouncementReply(body, 4194304);
    if (a.announcement) {
        check(a.announcement->chunkSize > 0);
        check(!a.announcement->id.empty() && a.announcement->id == a.knownId);
    }
    for (int32_t status : {0, 401, 403, 404, 429, 500})
        check(!krel::cloudErrorTextFor(status, body, "h").empty());
    (void)krel::shareUrlOf(body);
    if (const auto link = krel::linkReplyBody(body, "https://h"))
        check(link->find("https://h") != std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        manifest(body);
    else
        replies(body);
    return 0;
}
