// Fuzz target: the texts the program reads from the network. The first byte
// picks the reader, the rest is the reply body: the update manifest, the
// sign-in reply, the upload announcement, the share and link replies and the
// error code of any failed call. Each reader must accept any bytes and keep
// its rules: an offered release comes from the update folder under a plain
// file name and a short version, a clip id and a link never leave their
// endpoint, a token fits a header and a chunk size lies in its range.

#include "app/update.h"
#include "cloud/api_replies.h"

#include <nlohmann/json.hpp>

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
        check(file != "." && file != "..");
        for (char c : file)
            check((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
                  c == '.' || c == '_' || c == '-');
        check(info.version.size() <= krel::kVersionMaxChars);
        for (char c : info.version)
            check(c >= 0x20 && c <= 0x7E);
    }
    if (body.size() > krel::kManifestMaxBytes) check(info.version.empty());
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
        check(!r->token.empty() && r->token.size() <= krel::kMaxTokenBytes);
        for (char c : r->token)
            check(c > 0x20 && c < 0x7F);
    }
    const auto a = krel::parseAnnouncementReply(body, 4194304);
    if (a.announcement) {
        check(a.announcement->chunkSize >= krel::kMinChunkSize && a.announcement->chunkSize <= krel::kMaxChunkSize);
        check(a.announcement->id == a.knownId);
    }
    // Whatever id is known goes into request paths: never one that could
    // name another endpoint.
    if (!a.knownId.empty()) check(krel::isCloudClipId(a.knownId));
    for (int32_t status : {0, 401, 403, 404, 429, 500})
        check(!krel::cloudErrorTextFor(status, body, "h").empty());
    (void)krel::shareUrlOf(body);
    // A rewritten link stays on the service: its "url" is the base followed
    // by a path, never another host ("//x", "@x").
    const auto link = krel::readLinkReply(body, "https://h");
    if (link.kind == krel::LinkReplyReading::Kind::Rewritten) {
        const auto obj = nlohmann::json::parse(link.body, nullptr, false);
        check(obj.is_object() && obj["url"].is_string());
        const std::string url = obj["url"].get<std::string>();
        check(url.starts_with("https://h/") && !url.starts_with("https://h//"));
        for (char c : url)
            check(c > 0x20 && c < 0x7F && c != '\\');
    } else {
        check(link.body.empty());
    }
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
