#pragma once
// The on-screen toast: a small click-through pill at the top right of the
// monitor under the pointer that shows one line with a coloured marker for
// 2000 ms. At most one exists; a new notice replaces the old one at once.
// showToast runs on the main thread only; other threads post (postToast).
//
// The geometry and colours are portable (toastGeometry, toastMarkerColor);
// the window itself is the platform's (linux/gtk_toast_window.cpp).

#include "ui/toast_kind.h"

#include <cstdint>
#include <string>

namespace krel {

inline constexpr int kToastLifetimeMs = 2000;
inline constexpr uint8_t kToastAlpha = 242;
inline constexpr uint32_t kToastBackground = 0x1E1E1E;
inline constexpr uint32_t kToastTextColor = 0xE6E6E6;
inline constexpr uint32_t kToastNoDataMarker = 0xB0B0B0;

struct ToastRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ToastRect&) const = default;
};

// Where the toast goes on a monitor (left, top, width, height in desktop
// pixels) for a text `textWidth` pixels wide measured with the scaled font;
// `scale` is the monitor's scale factor (1.0 at 96 DPI).
ToastRect toastGeometry(int monitorX, int monitorY, int monitorWidth, int textWidth, double scale);
// 0xRRGGBB of the marker circle for the kind.
uint32_t toastMarkerColor(ToastKind kind);

// Shows the notice (main thread). A window that cannot be created loses the
// notice and nothing else.
void showToast(const std::string& text, ToastKind kind);
// Destroys the current toast, if any (at shutdown).
void dismissToast();

} // namespace krel
