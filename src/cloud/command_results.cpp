#include "cloud/command_results.h"

namespace krel {

nlohmann::json resultFromApi(const ApiResult& result) {
    if (!result.error.empty()) return {{"error", result.error}};
    if (result.body.empty()) return nlohmann::json::object();
    nlohmann::json value = nlohmann::json::parse(result.body, nullptr, false);
    return value.is_discarded() ? nlohmann::json::object() : value;
}

nlohmann::json signInResult(bool ok, const std::string& error) {
    if (ok) return {{"ok", true}};
    return {{"error", error}};
}

} // namespace krel
