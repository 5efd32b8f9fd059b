#pragma once
// Where the program keeps its files.
//
// dataDirectory(): "KREL_PLAY_DATA_DIR" verbatim, else the XDG data home
// followed by "krel-play"; created on first use (a failure to create it
// throws std::filesystem::filesystem_error) and cached for the process.
// clipDirectory(settings): "clipDir" when set, else "KREL_PLAY_DATA_DIR"/Clips
// when that variable is set, else the XDG videos folder followed by
// "KREL Play"; created if possible, evaluated on every call.
// portableSuffix(): "_Portable" when "KREL_PLAY_PORTABLE" is in the
// environment, decided once per process.

#include <filesystem>
#include <string>

namespace krel {

struct Settings;

std::filesystem::path dataDirectory();
std::filesystem::path clipDirectory(const Settings& settings);
const std::string& portableSuffix();

} // namespace krel
