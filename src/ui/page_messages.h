#pragma once
// The messages the host pushes to the overlay page on its own: "state" (the
// engine's status, every 500 ms while the overlay is open), "toast",
// "update", and the update-check reply. Each is one JSON object; the
// builders serialise nothing, callers dump() what they post.

#include "app/update.h"
#include "core/engine.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace krel {

// The "state" message of one status snapshot, members in the page's order.
nlohmann::ordered_json buildStateMessage(const EngineStatus& status);
// {"type":"update","version":…,"checked":…} from the known release.
nlohmann::ordered_json buildUpdateMessage();
// {"type":"toast","text":…}
nlohmann::ordered_json buildToastMessage(const std::string& text);
// The reply to the page's update check; empty for request id 0.
std::string buildUpdateCheckReply(bool newer, const UpdateInfo& info, const std::string& error, int64_t requestId);

} // namespace krel
