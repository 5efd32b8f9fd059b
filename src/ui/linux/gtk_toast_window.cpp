// The toast as a GTK 3 pop-up: an override-redirect window that the window
// manager never sees, that never takes the focus and lets every click through
// (empty input shape), painted with cairo and Pango. It sits above ordinary
// windows without the window manager's help.
//
// Sizes: GTK works in logical pixels, which the monitor's integer scale factor
// (GDK_SCALE) turns into device pixels on its own, painting included. The
// font resolution (Xft.dpi) adds a fractional scale on top; it is applied to
// the font and to every measure here, so the text always fits its window.
#include "ui/toast_window.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace krel {

namespace {

// Painting measures at 96 DPI, in pixels.
constexpr double kMarkerLeft = 16.0;
constexpr double kMarkerRight = 27.0;
constexpr double kMarkerTopFromMiddle = 5.0;
constexpr double kMarkerBottomFromMiddle = 6.0;
constexpr double kTextLeft = 38.0;
constexpr double kTextRightInset = 14.0;
constexpr double kFontLineHeight = 15.0; // ascent + descent of one line
constexpr int kFontWeight = 600;
constexpr double kCornerRadius = 8.0;
constexpr char kDataKey[] = "krel-toast";

struct WidgetDestroy {
    void operator()(GtkWidget* w) const { gtk_widget_destroy(w); }
};
using ToastWidget = std::unique_ptr<GtkWidget, WidgetDestroy>;
struct ObjectUnref {
    void operator()(gpointer o) const { g_object_unref(o); }
};
using PangoContextPtr = std::unique_ptr<PangoContext, ObjectUnref>;
using PangoLayoutPtr = std::unique_ptr<PangoLayout, ObjectUnref>;
struct FontDescriptionFree {
    void operator()(PangoFontDescription* d) const { pango_font_description_free(d); }
};
using FontDescriptionPtr = std::unique_ptr<PangoFontDescription, FontDescriptionFree>;
struct FontMetricsUnref {
    void operator()(PangoFontMetrics* m) const { pango_font_metrics_unref(m); }
};
using FontMetricsPtr = std::unique_ptr<PangoFontMetrics, FontMetricsUnref>;
struct RegionDestroy {
    void operator()(cairo_region_t* r) const { cairo_region_destroy(r); }
};
using RegionPtr = std::unique_ptr<cairo_region_t, RegionDestroy>;
struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

// What one toast window shows; owned by the window, freed when it goes.
struct ToastData {
    std::string text;
    ToastKind kind = ToastKind::Info;
    FontDescriptionPtr font;
    double scale = 1.0; // font resolution / 96
    bool rounded = false;
    guint timer = 0;
};

// The one toast on screen, if any.
ToastWidget currentToast;

ToastData* toastData(GtkWidget* widget) {
    return static_cast<ToastData*>(g_object_get_data(G_OBJECT(widget), kDataKey));
}

// The desktop's interface font family (GtkSettings "gtk-font-name", else
// "Sans") at weight 600, sized so that one line is 15 pixels (scaled) high.
FontDescriptionPtr toastFont(PangoContext* context, double scale) {
    FontDescriptionPtr font(pango_font_description_new());
    pango_font_description_set_family(font.get(), "Sans");
    if (GtkSettings* settings = gtk_settings_get_default()) {
        gchar* raw = nullptr;
        g_object_get(settings, "gtk-font-name", &raw, nullptr);
        GCharPtr name(raw);
        if (name) {
            FontDescriptionPtr desktop(pango_font_description_from_string(name.get()));
            if (const char* family = pango_font_description_get_family(desktop.get()); family && *family)
                pango_font_description_set_family(font.get(), family);
        }
    }
    pango_font_description_set_weight(font.get(), static_cast<PangoWeight>(kFontWeight));
    const double lineHeight = kFontLineHeight * scale * PANGO_SCALE;
    pango_font_description_set_absolute_size(font.get(), lineHeight);
    FontMetricsPtr metrics(pango_context_get_metrics(context, font.get(), nullptr));
    const int line =
        metrics ? pango_font_metrics_get_ascent(metrics.get()) + pango_font_metrics_get_descent(metrics.get())
                : 0;
    if (line > 0) pango_font_description_set_absolute_size(font.get(), lineHeight * lineHeight / line);
    return font;
}

PangoLayoutPtr toastLayout(PangoLayoutPtr layout, const ToastData& data) {
    pango_layout_set_font_description(layout.get(), data.font.get());
    pango_layout_set_single_paragraph_mode(layout.get(), TRUE);
    return layout;
}

// The monitor under the pointer; the primary (or first) one when the pointer
// is on none.
GdkMonitor* monitorUnderPointer(GdkDisplay* display) {
    if (GdkSeat* seat = gdk_display_get_default_seat(display)) {
        if (GdkDevice* pointer = gdk_seat_get_pointer(seat)) {
            int x = 0, y = 0;
            gdk_device_get_position(pointer, nullptr, &x, &y);
            GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, x, y);
            GdkRectangle area{};
            if (monitor) gdk_monitor_get_geometry(monitor, &area);
            if (monitor && x >= area.x && x < area.x + area.width && y >= area.y && y < area.y + area.height)
                return monitor;
        }
    }
    if (GdkMonitor* primary = gdk_display_get_primary_monitor(display)) return primary;
    return gdk_display_get_monitor(display, 0);
}

void setColor(cairo_t* cr, uint32_t rgb) {
    cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

void roundedRectangle(cairo_t* cr, double width, double height, double radius) {
    radius = std::min({radius, width / 2, height / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, width - radius, radius, radius, -G_PI / 2, 0);
    cairo_arc(cr, width - radius, height - radius, radius, 0, G_PI / 2);
    cairo_arc(cr, radius, height - radius, radius, G_PI / 2, G_PI);
    cairo_arc(cr, radius, radius, radius, G_PI, 3 * G_PI / 2);
    cairo_close_path(cr);
}

gboolean drawToast(GtkWidget* widget, cairo_t* cr, gpointer) {
    const ToastData* data = toastData(widget);
    const double scale = data ? data->scale : 1.0;
    const double width = gtk_widget_get_allocated_width(widget);
    const double height = gtk_widget_get_allocated_height(widget);

    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    if (data && data->rounded) {
        cairo_set_source_rgba(cr, 0, 0, 0, 0);
        cairo_paint(cr);
        roundedRectangle(cr, width, height, kCornerRadius * scale);
    } else {
        cairo_rectangle(cr, 0, 0, width, height);
    }
    setColor(cr, kToastBackground);
    cairo_fill(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

    const double middle = height / 2;
    const double top = middle - kMarkerTopFromMiddle * scale;
    const double bottom = middle + kMarkerBottomFromMiddle * scale;
    const double radius = (kMarkerRight - kMarkerLeft) * scale / 2;
    cairo_arc(cr, (kMarkerLeft + kMarkerRight) * scale / 2, (top + bottom) / 2, radius, 0, 2 * G_PI);
    setColor(cr, data ? toastMarkerColor(data->kind) : kToastNoDataMarker);
    cairo_fill(cr);
    if (!data) return TRUE;

    PangoLayoutPtr layout =
        toastLayout(PangoLayoutPtr(gtk_widget_create_pango_layout(widget, data->text.c_str())), *data);
    const double left = kTextLeft * scale;
    const double room = std::max(0.0, width - left - kTextRightInset * scale);
    pango_layout_set_width(layout.get(), static_cast<int>(room * PANGO_SCALE));
    pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
    int textWidth = 0, textHeight = 0;
    pango_layout_get_pixel_size(layout.get(), &textWidth, &textHeight);
    setColor(cr, kToastTextColor);
    cairo_move_to(cr, left, std::round((height - textHeight) / 2));
    pango_cairo_show_layout(cr, layout.get());
    return TRUE;
}

gboolean expireToast(gpointer widget) {
    toastData(static_cast<GtkWidget*>(widget))->timer = 0;
    if (currentToast.get() == widget)
        currentToast.reset();
    else
        gtk_widget_destroy(static_cast<GtkWidget*>(widget));
    return G_SOURCE_REMOVE;
}

void forgetToast(GtkWidget* widget, gpointer) {
    if (ToastData* data = toastData(widget); data && data->timer != 0) {
        g_source_remove(data->timer);
        data->timer = 0;
    }
    if (currentToast.get() == widget) static_cast<void>(currentToast.release());
}

} // namespace

void showToast(const std::string& text, ToastKind kind) {
    currentToast.reset(); // a new notice replaces the old one at once
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? monitorUnderPointer(display) : nullptr;
    if (!monitor) return;
    GdkScreen* screen = gdk_display_get_default_screen(display);
    GdkRectangle area{};
    gdk_monitor_get_geometry(monitor, &area);
    const int factor = std::max(1, gdk_monitor_get_scale_factor(monitor));
    const double dpi = gdk_screen_get_resolution(screen);

    auto data = std::make_unique<ToastData>();
    data->text = text;
    data->kind = kind;
    data->scale = dpi > 0 ? dpi / 96.0 : 1.0;
    PangoContextPtr context(gdk_pango_context_get_for_screen(screen));
    data->font = toastFont(context.get(), data->scale);
    PangoLayoutPtr measure = toastLayout(PangoLayoutPtr(pango_layout_new(context.get())), *data);
    pango_layout_set_text(measure.get(), text.c_str(), -1);
    int textWidth = 0;
    pango_layout_get_pixel_size(measure.get(), &textWidth, nullptr);

    // Placed in device pixels, then handed to GTK in logical ones.
    const ToastRect r = toastGeometry(area.x * factor, area.y * factor, area.width * factor,
                                      textWidth * factor, factor * data->scale);
    const auto logical = [factor](int v) {
        return static_cast<int>(std::lround(static_cast<double>(v) / factor));
    };

    ToastWidget window(gtk_window_new(GTK_WINDOW_POPUP));
    if (!window) return;
    GtkWindow* w = GTK_WINDOW(window.get());
    // The notice as the window's name, for screen readers and for whoever
    // inspects the desktop's windows.
    gtk_window_set_title(w, text.c_str());
    GdkVisual* rgba = gdk_screen_get_rgba_visual(screen);
    data->rounded = rgba && gdk_screen_is_composited(screen);
    if (data->rounded) gtk_widget_set_visual(window.get(), rgba);
    gtk_widget_set_app_paintable(window.get(), TRUE);
    gtk_window_set_accept_focus(w, FALSE);
    gtk_window_set_focus_on_map(w, FALSE);
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_NOTIFICATION);
    gtk_window_set_skip_taskbar_hint(w, TRUE);
    gtk_window_set_skip_pager_hint(w, TRUE);
    gtk_window_set_keep_above(w, TRUE);
    gtk_window_move(w, logical(r.x), logical(r.y));
    gtk_widget_set_size_request(window.get(), logical(r.width), logical(r.height));
    gtk_widget_set_opacity(window.get(), kToastAlpha / 255.0);

    ToastData* owned = data.release();
    g_object_set_data_full(G_OBJECT(window.get()), kDataKey, owned,
                           [](gpointer p) { delete static_cast<ToastData*>(p); });
    g_signal_connect(window.get(), "draw", G_CALLBACK(drawToast), nullptr);
    g_signal_connect(window.get(), "destroy", G_CALLBACK(forgetToast), nullptr);

    // The input shape needs the X window: an empty one lets every click through.
    gtk_widget_realize(window.get());
    RegionPtr nothing(cairo_region_create());
    gtk_widget_input_shape_combine_region(window.get(), nothing.get());
    gtk_widget_show(window.get());
    owned->timer = g_timeout_add(kToastLifetimeMs, expireToast, window.get());
    currentToast = std::move(window);
}

void dismissToast() {
    currentToast.reset();
}

} // namespace krel
