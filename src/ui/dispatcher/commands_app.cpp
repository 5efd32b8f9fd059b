// The page's commands about the program itself: start-up data, settings,
// the user actions, capabilities, hotkeys, update and uninstall.

#include "app/install.h"
#include "app/update.h"
#include "app/version.h"
#include "config/data_directory.h"
#include "config/utf8_path.h"
#include "media/gpu_device.h"
#include "media/microphone_list.h"
#include "ui/desktop_shell.h"
#include "ui/dispatcher/dispatcher.h"
#include "ui/dispatcher/request.h"
#include "ui/main_loop.h"
#include "ui/main_window.h"
#include "ui/page_messages.h"

#include <fmt/format.h>

#include <cstdlib>

namespace krel::dispatch {
namespace {

constexpr size_t kTestPageMax = 31;

MainWindow& window() { return *mainWindow(); }

Result init(const Request&) {
    nlohmann::json result;
    result["settings"] = nlohmann::json::parse(settingsToJson(window().settings()));
    if (!updateState().available.version.empty()) result["update"] = buildUpdateMessage();
    if (const char* page = std::getenv("KREL_PLAY_TEST_PAGE")) result["page"] = std::string(page).substr(0, kTestPageMax);
    // The page links to the web site ("Kostenlos registrieren"), which the
    // API address decides.
    result["website"] = websiteBaseUrl();
    // The state follows the reply: posted now, it arrives after it.
    if (Engine* engine = window().engine())
        postToPage(buildStateMessage(engine->status()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    return result;
}

Result setSettings(const Request& r) {
    const nlohmann::json* changes = r.object("settings");
    if (!changes) throw BadRequest();
    Settings copy = window().settings();
    parseSettings(copy, changes->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    window().applySettings(copy);
    return nlohmann::json{{"conflicts", window().hotkeyConflicts()}};
}

Result saveClip(const Request&) {
    if (!window().settings().replayEnabled) return errorResult("Videobeweis ist aus");
    window().actClip();
    return ok();
}

std::string monitorLabel(const MonitorInfo& m) {
    return fmt::format("{}×{}{}", m.width, m.height, m.primary ? " (Hauptmonitor)" : "");
}

Result caps(const Request& r) {
    nlohmann::json result;
    std::vector<GpuInfo> gpus = listGpus();
    // Without a hardware encoder the software encoder is what records.
    if (gpus.empty())
        if (auto software = softwareEncoderInfo()) gpus.push_back(*software);
    const GpuInfo none;
    const GpuInfo& gpu = gpus.empty() ? none : gpus.front();
    result["h264"] = gpu.h264;
    result["hevc"] = gpu.hevc;
    result["av1"] = gpu.av1;
    result["encoder"] = gpu.vendorId == 0 ? gpu.encoderName : gpu.encoderName + " · " + gpu.name;
    result["clipFolder"] = utf8FromPath(r.clipFolder);
    nlohmann::json monitors = nlohmann::json::array();
    if (Engine* engine = window().engine())
        for (const MonitorInfo& m : engine->windows().monitors()) monitors.push_back(monitorLabel(m));
    result["monitors"] = monitors;
    nlohmann::json mics = nlohmann::json::array();
    for (const MicInfo& m : listMicrophones())
        mics.push_back({{"id", m.id}, {"name", m.name}, {"isDefault", m.isDefault}});
    result["mics"] = mics;
    result["windows"] = pickableWindowTitles();
    return result;
}

Result pickFolder(const Request&) {
    const uintptr_t owner = window().overlay() ? window().overlay()->windowHandle() : 0;
    if (auto folder = chooseFolder("Ordner für Clips und Aufnahmen", owner))
        return nlohmann::json{{"folder", folder->string()}};
    return nlohmann::json::object();
}

Result hotkeyNames(const Request&) {
    const Settings& s = window().settings();
    return nlohmann::json{{"hkClip", hotkeyName(s.hkClip)},     {"hkRecord", hotkeyName(s.hkRecord)},
                          {"hkMic", hotkeyName(s.hkMic)},       {"hkReplay", hotkeyName(s.hkReplay)},
                          {"hkPause", hotkeyName(s.hkPause)},   {"hkOverlay", hotkeyName(s.hkOverlay)},
                          {"conflicts", window().hotkeyConflicts()}};
}

Result uninstall(const Request&) {
    uninstallSelf();
    // Ends the program once this request has been answered.
    runOnMain([] {
        if (MainWindow* w = mainWindow()) w->destroy();
    });
    return std::nullopt;
}

Result action(void (MainWindow::*act)()) {
    (window().*act)();
    return ok();
}

} // namespace

const CommandTable& appCommands() {
    static const CommandTable table{
        {"init", init},
        {"setSettings", setSettings},
        {"toggleReplay", [](const Request&) { return action(&MainWindow::toggleReplay); }},
        {"toggleRecord", [](const Request&) { return action(&MainWindow::toggleRecord); }},
        {"togglePause", [](const Request&) { return action(&MainWindow::togglePause); }},
        {"toggleMic", [](const Request&) { return action(&MainWindow::toggleMic); }},
        {"close",
         [](const Request&) -> Result {
             if (window().overlay()) window().overlay()->hide();
             return std::nullopt;
         }},
        {"saveClip", saveClip},
        {"caps", caps},
        {"chooseFolder", pickFolder},
        {"hotkeyNames", hotkeyNames},
        {"appInfo", [](const Request&) -> Result { return nlohmann::json{{"version", kAppVersion}}; }},
        {"checkUpdate",
         [](const Request& r) -> Result {
             checkForUpdate(r.id);
             return std::nullopt;
         }},
        {"installUpdate",
         [](const Request&) -> Result {
             installUpdate();
             return ok();
         }},
        {"openLog",
         [](const Request&) -> Result {
             openPath(dataDirectory() / "krel-play.log");
             return ok();
         }},
        {"uninstall", uninstall},
    };
    return table;
}

} // namespace krel::dispatch
