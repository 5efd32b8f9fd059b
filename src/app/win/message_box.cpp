#include "app/message_box.h"
#include "config/win/wide_text.h"

#include <windows.h>

#include <cstdio>

namespace krel {

void showMessageBox(const std::string& text, MessageIcon icon) {
    std::fprintf(stderr, "%s\n", text.c_str());
    MessageBoxW(nullptr, wideFromUtf8(text).c_str(), L"KREL Play",
                MB_OK | MB_SETFOREGROUND | (icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONINFORMATION));
}

} // namespace krel
