// The page's commands on the clip folder. Every name comes from the page
// and is checked before it touches the file system; nothing outside the
// clip folder is read, moved or opened because of a request.

#include "library/clip_library.h"
#include "ui/clip_server.h"
#include "ui/desktop_shell.h"
#include "ui/dispatcher/dispatcher.h"
#include "ui/dispatcher/request.h"


namespace krel::dispatch {
namespace {

Result list(const Request& r) {
    nlohmann::json clips = nlohmann::json::array();
    for (const ClipEntry& c : listClips(r.clipFolder))
        clips.push_back({{"file", c.file},
                         {"game", c.game},
                         {"size", static_cast<double>(c.size)},
                         {"modified", static_cast<double>(c.modified)},
                         {"favorite", c.favorite}});
    return nlohmann::json{
        {"clips", std::move(clips)}, {"bytes", static_cast<double>(folderBytes(r.clipFolder))}, {"base", serveClipFolder(r.clipFolder)}};
}

Result rename(const Request& r) {
    std::string message;
    if (renameClip(r.clipFolder, r.text("file"), r.text("name"), &message)) return ok();
    return errorResult(message);
}

} // namespace

const CommandTable& clipCommands() {
    static const CommandTable table{
        {"listClips", list},
        {"deleteClip",
         [](const Request& r) -> Result {
             deleteClip(r.clipFolder, r.text("file"));
             return ok();
         }},
        {"favorite",
         [](const Request& r) -> Result {
             setFavorite(r.clipFolder, r.text("file"), r.flag("on"));
             return ok();
         }},
        {"renameClip", rename},
        {"openFolder",
         [](const Request& r) -> Result {
             openPath(r.clipFolder);
             return ok();
         }},
        {"showInExplorer",
         [](const Request& r) -> Result {
             const std::string file = r.text("file");
             if (isValidClipName(file) && plainFileName(file)) showInFileManager(r.clipFolder / file);
             return ok();
         }},
    };
    return table;
}

} // namespace krel::dispatch
