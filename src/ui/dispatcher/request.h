#pragma once
// One decoded request and the shared pieces of the command families.

#include "config/settings.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace krel::dispatch {

// An argument of the wrong JSON type.
struct BadRequest : std::runtime_error {
    BadRequest() : std::runtime_error("Ungültige Anfrage") {}
};

struct Request {
    int64_t id = 0;
    std::string cmd;
    const nlohmann::json& args;
    std::filesystem::path clipFolder; // the effective clip folder, once per request

    // A missing argument is "" / false; another type is a BadRequest.
    std::string text(const char* name) const;
    bool flag(const char* name) const;
    const nlohmann::json* object(const char* name) const;
};

// The result of a command: a value, or nothing now (a worker replies).
using Result = std::optional<nlohmann::json>;
using Command = std::function<Result(const Request&)>;

nlohmann::json ok();
// A file name that stays inside the clip folder: no \ / : at all.
bool plainFileName(std::string_view name);

// The command families, each a table from command name to handler.
using CommandTable = std::map<std::string, Command, std::less<>>;
const CommandTable& appCommands();
const CommandTable& clipCommands();
const CommandTable& cloudCommands();

} // namespace krel::dispatch
