#pragma once
// The one door from the overlay page into the program: `handle` takes one
// request (a JSON object with "id", "cmd" and the command's arguments) and
// returns the reply {"id": …, "result": …}, or an empty text when nothing is
// answered now (the commands that reply later from a worker through
// postToPage, and "close" and "uninstall"). Every byte comes from a web page:
// a request that is not a JSON object gets no reply, an argument of the
// wrong type the error object "Ungültige Anfrage", an unknown command
// "Unbekannter Befehl". Main thread only.

#include "cloud/cloud_api.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace krel {

std::string handle(const std::string& request);

std::string makeReply(int64_t id, const nlohmann::json& result);
nlohmann::json errorResult(const std::string& message);
std::string replyFromApi(int64_t id, const ApiResult& result);

// The web site's address, ending with "/".
std::string websiteBaseUrl();

} // namespace krel
