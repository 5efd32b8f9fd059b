#include "ui/dispatcher/dispatcher.h"

#include "cloud/command_results.h"
#include "cloud/http_client.h"
#include "config/data_directory.h"
#include "config/log.h"
#include "ui/dispatcher/request.h"
#include "ui/main_window.h"

#include <fmt/format.h>

namespace krel {

namespace dispatch {

std::string Request::text(const char* name) const {
    const auto it = args.find(name);
    if (it == args.end() || it->is_null()) return {};
    if (!it->is_string()) throw BadRequest();
    return it->get<std::string>();
}

bool Request::flag(const char* name) const {
    const auto it = args.find(name);
    if (it == args.end() || it->is_null()) return false;
    if (!it->is_boolean()) throw BadRequest();
    return it->get<bool>();
}

const nlohmann::json* Request::object(const char* name) const {
    const auto it = args.find(name);
    if (it == args.end() || !it->is_object()) return nullptr;
    return &*it;
}

nlohmann::json ok() { return {{"ok", true}}; }

bool plainFileName(std::string_view name) { return name.find_first_of("\\/:") == std::string_view::npos; }

} // namespace dispatch

namespace {

constexpr int64_t kMaxSafeId = int64_t{1} << 53; // what the page's numbers hold exactly

std::string dumpJson(const nlohmann::json& j) {
    // Text from files and the network may hold ill-formed UTF-8; it must
    // never make a reply fail.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

std::string makeReply(int64_t id, const nlohmann::json& result) {
    return dumpJson(nlohmann::json{{"id", id}, {"result", result}});
}

nlohmann::json errorResult(const std::string& message) { return {{"error", message}}; }

std::string replyFromApi(int64_t id, const ApiResult& result) { return makeReply(id, resultFromApi(result)); }


std::string websiteBaseUrl() { return apiBaseUrl() + "/"; }

std::string handle(const std::string& text) {
    const nlohmann::json request = nlohmann::json::parse(text, nullptr, false);
    if (request.is_discarded() || !request.is_object()) return {};

    // A missing or unusable id is 0, which the page ignores.
    int64_t id = 0;
    if (const auto it = request.find("id"); it != request.end() && it->is_number()) {
        const double v = it->get<double>();
        if (v >= -kMaxSafeId && v <= kMaxSafeId) id = static_cast<int64_t>(v);
    }
    std::string cmd;
    if (const auto it = request.find("cmd"); it != request.end() && it->is_string()) cmd = it->get<std::string>();

    MainWindow* window = mainWindow();
    if (!window) return {};
    dispatch::Request r{id, cmd, request, {}};
    dispatch::Result result;
    try {
        r.clipFolder = clipDirectory(window->settings());
        const dispatch::Command* command = nullptr;
        for (const auto* table : {&dispatch::appCommands(), &dispatch::clipCommands(), &dispatch::cloudCommands()})
            if (const auto it = table->find(cmd); it != table->end()) command = &it->second;
        result = command ? (*command)(r) : errorResult("Unbekannter Befehl");
    } catch (const dispatch::BadRequest& e) {
        result = errorResult(e.what());
    } catch (const std::exception& e) {
        logLine(fmt::format("Overlay-Befehl {}: {}", cmd.substr(0, 64), e.what()));
        result = errorResult("Befehl fehlgeschlagen");
    }
    return result ? makeReply(id, *result) : std::string();
}

} // namespace krel
