// Size, place and marker colour of the toast; the same on every platform.
#include "ui/toast_window.h"

#include <algorithm>
#include <cmath>

namespace krel {

namespace {

// Measures at 96 DPI, in pixels.
constexpr int kHeight = 44;
constexpr int kPadding = 56; // marker, gaps and the right inset around the text
constexpr int kMinWidth = 200;
constexpr int kMaxWidth = 420;
constexpr int kMargin = 20; // from the monitor's top and right edges

int scaled(int value, double scale) {
    return static_cast<int>(std::lround(value * scale));
}

} // namespace

ToastRect toastGeometry(int monitorX, int monitorY, int monitorWidth, int textWidth, double scale) {
    if (!(scale > 0.0)) scale = 1.0;
    const int margin = scaled(kMargin, scale);
    ToastRect r;
    r.height = scaled(kHeight, scale);
    r.width = std::clamp(scaled(kPadding, scale) + std::max(textWidth, 0), scaled(kMinWidth, scale),
                         scaled(kMaxWidth, scale));
    r.x = monitorX + monitorWidth - margin - r.width;
    r.y = monitorY + margin;
    return r;
}

uint32_t toastMarkerColor(ToastKind kind) {
    switch (kind) {
    case ToastKind::Warning:
    case ToastKind::Recording:
        return 0xC98A8A;
    case ToastKind::Info:
    case ToastKind::Done:
        return 0xD6D6D6;
    }
    return kToastNoDataMarker;
}

} // namespace krel
