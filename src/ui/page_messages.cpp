#include "ui/page_messages.h"

namespace krel {

nlohmann::ordered_json buildStateMessage(const EngineStatus& s) {
    nlohmann::ordered_json m;
    m["type"] = "state";
    m["replayActive"] = s.replayActive;
    m["recording"] = s.recording;
    m["paused"] = s.paused;
    m["recordHns"] = s.recordHns;
    m["micMuted"] = s.micMuted;
    m["source"] = s.source;
    m["mode"] = s.mode;
    m["srcW"] = s.srcW;
    m["srcH"] = s.srcH;
    m["outW"] = s.outW;
    m["outH"] = s.outH;
    m["fps"] = s.fps;
    m["encoder"] = s.encoder;
    m["lastClip"] = s.lastClip;
    m["freeBytes"] = s.freeBytes;
    m["replaySeconds"] = s.replaySeconds;
    m["dropped"] = s.dropped;
    m["gamePeak"] = static_cast<double>(s.gamePeak);
    m["micPeak"] = static_cast<double>(s.micPeak);
    m["error"] = s.error;
    return m;
}

nlohmann::ordered_json buildUpdateMessage() {
    const UpdateState state = updateState();
    nlohmann::ordered_json m;
    m["type"] = "update";
    m["version"] = state.available.version;
    m["checked"] = state.checked;
    return m;
}

nlohmann::ordered_json buildToastMessage(const std::string& text) {
    nlohmann::ordered_json m;
    m["type"] = "toast";
    m["text"] = text;
    return m;
}

std::string buildUpdateCheckReply(bool newer, const UpdateInfo& info, const std::string& error, int64_t requestId) {
    if (requestId == 0) return {};
    nlohmann::ordered_json reply;
    reply["id"] = requestId;
    reply["result"] = updateCheckResult(newer, info, error);
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace krel
