#pragma once
// The `result` values the page receives for the account and cloud commands
// (the dispatcher wraps them with the request id): the success object
// {"ok": true}, the error object {"error": text}, or the reply body.

#include "cloud/cloud_api.h"

#include <nlohmann/json.hpp>

#include <string>

namespace krel {

// The error object when the call failed; otherwise the body parsed as JSON
// (an empty body, or one that does not parse, gives an empty object).
nlohmann::json resultFromApi(const ApiResult& result);
// {"ok": true}, or {"error": text} after a failed sign-in.
nlohmann::json signInResult(bool ok, const std::string& error);

} // namespace krel
