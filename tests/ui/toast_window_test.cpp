// The toast on a real X display (scripts/services.sh: one 1920x1080 monitor,
// no window manager, no compositor): its place and size, its pixels, its
// replacement and expiry, and that clicks and the focus stay with the window
// beneath it.
#include "ui/toast_window.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

// Xlib last: its macros (None, Bool, Status) clash with the headers above.
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>
#include <gdk/gdkx.h>

namespace krel {
namespace {

struct ObjectUnref {
    void operator()(gpointer o) const { g_object_unref(o); }
};
struct WidgetDestroy {
    void operator()(GtkWidget* w) const { gtk_widget_destroy(w); }
};
struct XFreeDeleter {
    void operator()(void* p) const { XFree(p); }
};

bool gtkReady() {
    static const bool ready = gtk_init_check(nullptr, nullptr);
    return ready;
}

// Runs the main loop until `done` holds; false when it still does not after
// a generous while.
bool runUntil(const std::function<bool()>& done) {
    const gint64 end = g_get_monotonic_time() + 15 * G_USEC_PER_SEC;
    while (!done()) {
        if (g_get_monotonic_time() > end) return false;
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(5000);
    }
    return true;
}

std::vector<GtkWidget*> visibleToasts() {
    std::vector<GtkWidget*> toasts;
    GList* all = gtk_window_list_toplevels();
    for (GList* it = all; it; it = it->next) {
        GtkWindow* w = GTK_WINDOW(it->data);
        if (gtk_window_get_window_type(w) == GTK_WINDOW_POPUP && gtk_widget_get_visible(GTK_WIDGET(w)))
            toasts.push_back(GTK_WIDGET(w));
    }
    g_list_free(all);
    return toasts;
}

ToastRect onScreen(GtkWidget* toast) {
    ToastRect r;
    GdkWindow* w = gtk_widget_get_window(toast);
    gdk_window_get_origin(w, &r.x, &r.y);
    r.width = gdk_window_get_width(w);
    r.height = gdk_window_get_height(w);
    return r;
}

// 0xRRGGBB of one screen pixel as the X server holds it.
uint32_t screenPixel(int x, int y) {
    std::unique_ptr<GdkPixbuf, ObjectUnref> shot(
        gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, 1, 1));
    const guchar* p = gdk_pixbuf_read_pixels(shot.get());
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

// Shows a toast and waits until its marker is on screen; its rectangle.
ToastRect showAndPaint(const std::string& text, ToastKind kind) {
    showToast(text, kind);
    ToastRect r;
    const bool painted = runUntil([&] {
        auto toasts = visibleToasts();
        if (toasts.size() != 1 || !gtk_widget_get_mapped(toasts[0])) return false;
        r = onScreen(toasts[0]);
        return screenPixel(r.x + 21, r.y + r.height / 2) == toastMarkerColor(kind);
    });
    EXPECT_TRUE(painted) << text;
    return r;
}

TEST(ToastLayout, PlacesTopRightWithinTheWidthRangeAndScales) {
    EXPECT_EQ(toastGeometry(0, 0, 1920, 40, 1.0), (ToastRect{1700, 20, 200, 44}));
    EXPECT_EQ(toastGeometry(0, 0, 1920, 200, 1.0), (ToastRect{1644, 20, 256, 44}));
    EXPECT_EQ(toastGeometry(0, 0, 1920, 5000, 1.0), (ToastRect{1480, 20, 420, 44}));
    // At 150 %: height 66, margin 30, width 84 + text within 300..630.
    EXPECT_EQ(toastGeometry(1920, -200, 2560, 100, 1.5), (ToastRect{4150, -170, 300, 66}));
    EXPECT_EQ(toastGeometry(1920, 0, 2560, 300, 1.5), (ToastRect{4066, 30, 384, 66}));
    EXPECT_EQ(toastGeometry(1920, 0, 2560, 5000, 1.5), (ToastRect{3820, 30, 630, 66}));

    EXPECT_EQ(toastMarkerColor(ToastKind::Warning), 0xC98A8Au);
    EXPECT_EQ(toastMarkerColor(ToastKind::Recording), 0xC98A8Au);
    EXPECT_EQ(toastMarkerColor(ToastKind::Info), 0xD6D6D6u);
    EXPECT_EQ(toastMarkerColor(ToastKind::Done), 0xD6D6D6u);
}

TEST(ToastWindow, ShowsReplacesAndExpires) {
    if (!gtkReady()) GTEST_SKIP() << "no X display";
    const ToastRect warning = showAndPaint("Mikrofon stumm", ToastKind::Warning);
    EXPECT_EQ(warning, (ToastRect{1700, 20, 200, 44}));
    EXPECT_EQ(screenPixel(warning.x + 2, warning.y + 2), kToastBackground);

    // The next notice replaces the first at once.
    const ToastRect done = showAndPaint("Clip gespeichert · 30 s", ToastKind::Done);
    EXPECT_EQ(visibleToasts().size(), 1u);
    EXPECT_EQ(done.y, 20);
    EXPECT_EQ(done.x + done.width, 1900);
    EXPECT_GE(done.width, 200);
    if (const char* path = std::getenv("KREL_TOAST_SNAPSHOT")) {
        std::unique_ptr<GdkPixbuf, ObjectUnref> shot(gdk_pixbuf_get_from_window(
            gdk_get_default_root_window(), done.x - 10, done.y - 10, done.width + 20, done.height + 20));
        gdk_pixbuf_save(shot.get(), path, "png", nullptr, nullptr);
    }

    const std::string longText(200, 'W');
    EXPECT_EQ(showAndPaint(longText, ToastKind::Info), (ToastRect{1480, 20, 420, 44}));
    EXPECT_TRUE(runUntil([] { return visibleToasts().empty(); })) << "the toast outlived its lifetime";

    showAndPaint("Aufnahme gestartet", ToastKind::Recording);
    dismissToast();
    EXPECT_TRUE(visibleToasts().empty());
}

TEST(ToastWindow, ClicksAndFocusStayWithTheWindowBeneath) {
    if (!gtkReady()) GTEST_SKIP() << "no X display";
    std::unique_ptr<GtkWidget, WidgetDestroy> game(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_move(GTK_WINDOW(game.get()), 1400, 0);
    gtk_window_set_default_size(GTK_WINDOW(game.get()), 520, 200);
    gtk_widget_add_events(game.get(), GDK_BUTTON_PRESS_MASK);
    int clicks = 0;
    g_signal_connect(game.get(), "button-press-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer n) {
                         ++*static_cast<int*>(n);
                         return TRUE;
                     }),
                     &clicks);
    gtk_widget_show(game.get());
    ASSERT_TRUE(runUntil([&] { return gtk_widget_get_mapped(game.get()); }));

    Display* x = gdk_x11_get_default_xdisplay();
    const Window gameWindow = gdk_x11_window_get_xid(gtk_widget_get_window(game.get()));
    XSetInputFocus(x, gameWindow, RevertToParent, CurrentTime);
    XSync(x, False);

    const ToastRect toast = showAndPaint("Videobeweis aus", ToastKind::Warning);
    auto toasts = visibleToasts();
    ASSERT_EQ(toasts.size(), 1u);
    int count = -1, ordering = 0;
    std::unique_ptr<XRectangle, XFreeDeleter> input(XShapeGetRectangles(
        x, gdk_x11_window_get_xid(gtk_widget_get_window(toasts[0])), ShapeInput, &count, &ordering));
    EXPECT_EQ(count, 0) << "the toast must not take any input";

    XTestFakeMotionEvent(x, -1, toast.x + toast.width / 2, toast.y + toast.height / 2, CurrentTime);
    XTestFakeButtonEvent(x, 1, True, CurrentTime);
    XTestFakeButtonEvent(x, 1, False, CurrentTime);
    XSync(x, False);
    EXPECT_TRUE(runUntil([&] { return clicks > 0; })) << "the click did not reach the window beneath";

    Window focus = 0;
    int revert = 0;
    XGetInputFocus(x, &focus, &revert);
    EXPECT_EQ(focus, gameWindow);
    dismissToast();
}

} // namespace
} // namespace krel
