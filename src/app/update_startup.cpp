// The start-up update check with the settings file's autoUpdate flag.
#include "app/module_path.h"
#include "app/update.h"
#include "config/settings.h"

namespace krel {

bool startupUpdateCheck(const std::vector<std::string>& args) {
    return startupUpdateCheck(args, loadSettings().autoUpdate, moduleFilePath());
}

} // namespace krel
