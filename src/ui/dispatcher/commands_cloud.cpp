// The page's account and cloud commands. The network work runs on a
// detached thread per command that owns copies of its arguments and answers
// through postToPage; the clipboard and the notices are posted to the main
// thread as well.

#include "cloud/account.h"
#include "cloud/command_results.h"
#include "cloud/upload.h"
#include "config/log.h"
#include "library/clip_library.h"
#include "ui/desktop_shell.h"
#include "ui/dispatcher/dispatcher.h"
#include "ui/dispatcher/request.h"
#include "ui/main_loop.h"
#include "ui/main_window.h"

#include <fmt/format.h>

#include <thread>

namespace krel::dispatch {
namespace {

// Starts `job` on a detached thread; a thread that cannot be created is
// answered at once.
Result later(const Request& r, std::function<void()> job) {
    try {
        std::thread(std::move(job)).detach();
        return std::nullopt;
    } catch (const std::system_error& e) {
        logLine(fmt::format("Overlay-Befehl {}: {}", r.cmd, e.what()));
        return errorResult("Befehl fehlgeschlagen");
    }
}

Result cloudCommand(const Request& r) {
    return later(r, [cmd = r.cmd, id = r.id, cid = r.text("cid"), on = r.flag("on")] {
        const ApiResult result = runCloudCommand(cmd, cid, on, [](const std::string& text) {
            runOnMain([text] { setClipboardText(text); });
        });
        postToPage(replyFromApi(id, result));
    });
}

Result upload(const Request& r) {
    const std::string file = r.text("file");
    if (file.empty() || !plainFileName(file) || !isValidClipName(file)) return errorResult("Ungültiger Clip");
    return later(r, [id = r.id, path = r.clipFolder / file, file, game = r.text("game")] {
        UploadEvents events;
        events.progress = [](const std::string& name, int percent) {
            postToPage(nlohmann::json{{"type", "upload"}, {"file", name}, {"pct", percent}}.dump(
                -1, ' ', false, nlohmann::json::error_handler_t::replace));
        };
        events.notice = [](const std::string& text, bool success) {
            postToast(text, success ? ToastKind::Done : ToastKind::Warning);
        };
        events.done = [id](const ApiResult& result) { postToPage(replyFromApi(id, result)); };
        runUploadCommand(path, game, file, events);
    });
}

Result signInCommand(const Request& r) {
    return later(r, [id = r.id, email = r.text("email"), password = r.text("password")]() mutable {
        runSignInCommand(email, std::move(password), [id](bool ok, const std::string& error) {
            postToPage(makeReply(id, signInResult(ok, error)));
        });
    });
}

} // namespace

const CommandTable& cloudCommands() {
    static const CommandTable table{
        {"cloudList", cloudCommand},
        {"cloudShare", cloudCommand},
        {"cloudDelete", cloudCommand},
        {"cloudLink", cloudCommand},
        {"cloudOpen",
         [](const Request&) -> Result {
             openUri(cloudPageUrl());
             return ok();
         }},
        {"cloudUpload", upload},
        {"account",
         [](const Request&) -> Result {
             const AccountStatus status = readAccountStatus();
             return nlohmann::json{{"signedIn", status.signedIn}, {"email", status.email}};
         }},
        {"signIn", signInCommand},
        {"signOut",
         [](const Request&) -> Result {
             signOut();
             return ok();
         }},
        {"openUrl",
         [](const Request& r) -> Result {
             const std::string url = r.text("url");
             // Only pages of the web site; anything else is ignored.
             if (url.rfind(websiteBaseUrl(), 0) == 0 && url.find_first_of(" \t\r\n\"\\") == std::string::npos)
                 openUri(url);
             return ok();
         }},
    };
    return table;
}

} // namespace krel::dispatch
