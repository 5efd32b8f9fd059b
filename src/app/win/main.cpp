// "KREL Play.exe" as far as the Windows backend reaches so far: data
// folder, log, settings and the clean-up after an update run; recording,
// tray and overlay arrive with the media and user-interface backends.
#include "app/message_box.h"
#include "app/update.h"
#include "app/version.h"
#include "config/log.h"
#include "config/settings.h"

#include <fmt/format.h>

#include <cstdio>
#include <exception>
#include <string_view>

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::wstring_view(argv[i]) == L"--version") {
            std::printf("%s\n", krel::kAppVersion);
            return 0;
        }
    }
    try {
        krel::cleanupUpdateFiles();
        krel::logLine(fmt::format("KREL Play {} startet", krel::kAppVersion));
        (void)krel::loadSettings();
    } catch (const std::exception& e) {
        krel::showMessageBox(fmt::format("KREL Play kann nicht starten: {}", e.what()), krel::MessageIcon::Error);
        return 1;
    }
    krel::showMessageBox("Diese Windows-Ausgabe von KREL Play ist eine Vorschau: Einstellungen, Konto und Updates "
                         "laufen, Aufnahme, Overlay und Tray folgen.",
                         krel::MessageIcon::Information);
    krel::logLine("KREL Play beendet");
    return 0;
}
