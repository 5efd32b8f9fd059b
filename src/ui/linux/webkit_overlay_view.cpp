// The overlay's window with GTK 3 and its page in a WebKitGTK web view.
//
// One web context serves every open (its network process and the page's
// URL scheme stay); each open gets a new web view with its own web process,
// which ends when the view is destroyed on close.

#include "ui/overlay_view.h"

#include "config/linux/glib_ptr.h"
#include "ui/linux/webkit_page_scheme.h"
#include "ui/overlay_urls.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace krel {

void (*gOverlayViewCreatedHook)(void* nativeWebView) = nullptr;

namespace {

constexpr unsigned kDeactivationSettleMs = 60;

WebKitWebContext* sharedContext(const std::filesystem::path& dataFolder) {
    static WebKitWebContext* context = [&] {
        const std::string data = dataFolder.string();
        const std::string cache = (dataFolder / "cache").string();
        GObjectPtr<WebKitWebsiteDataManager> manager(webkit_website_data_manager_new(
            "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr));
        WebKitWebContext* created = webkit_web_context_new_with_website_data_manager(manager.get());
        // No cache of finished web processes: closing the overlay ends its
        // process and gives the memory back.
        webkit_web_context_set_cache_model(created, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
        registerPageScheme(created);
        return created;
    }();
    return context;
}

// Host-to-page texts travel as a JavaScript string literal: JSON's string
// form, with the two line separators escaped as well.
std::string receiveCall(const std::string& json) {
    std::string literal = nlohmann::json(json).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    for (const char* separator : {"\u2028", "\u2029"}) {
        const std::string escaped = separator[2] == '\xa8' ? "\\u2028" : "\\u2029";
        for (size_t at = literal.find(separator); at != std::string::npos; at = literal.find(separator, at))
            literal.replace(at, 3, escaped);
    }
    return "window.krelReceive && window.krelReceive(" + literal + ");";
}

const char* terminationText(WebKitWebProcessTerminationReason reason) {
    switch (reason) {
    case WEBKIT_WEB_PROCESS_CRASHED: return "abgestürzt";
    case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT: return "Speichergrenze überschritten";
    default: return "beendet";
    }
}

class GtkOverlayView final : public OverlayView {
public:
    GtkOverlayView(const MonitorArea& monitor, int32_t x, OverlayViewEvents events)
        : events_(std::move(events)) {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWindow* window = GTK_WINDOW(window_);
        gtk_window_set_title(window, "KREL Play");
        gtk_window_set_decorated(window, FALSE);
        gtk_window_set_skip_taskbar_hint(window, TRUE);
        gtk_window_set_skip_pager_hint(window, TRUE);
        gtk_window_set_keep_above(window, TRUE);
        gtk_window_set_focus_on_map(window, FALSE);
        gtk_window_set_resizable(window, FALSE);
        // Positions are the window's own top-left corner, off-screen ones
        // included: the panel starts left of the monitor.
        gtk_window_set_gravity(window, GDK_GRAVITY_STATIC);
        const int width = monitor.right - monitor.left;
        const int height = monitor.bottom - monitor.top;
        gtk_window_set_default_size(window, width, height);
        gtk_widget_set_size_request(window_, width, height);
        gtk_window_move(window, x, monitor.top);
        // Transparent where the page does not paint, when the screen has
        // an alpha visual (with a compositor running).
        GdkScreen* screen = gtk_widget_get_screen(window_);
        if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen)) gtk_widget_set_visual(window_, rgba);
        gtk_widget_set_app_paintable(window_, TRUE);
        g_signal_connect(window_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer) -> gboolean {
                             cairo_set_source_rgba(cr, 0, 0, 0, 0);
                             cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
                             cairo_paint(cr);
                             return FALSE;
                         }),
                         nullptr);
        // Deactivation: the window stops being the active one (focus moving
        // inside it, into the web view's own windows, does not count).
        g_signal_connect(window_, "notify::is-active", G_CALLBACK(onActiveChanged), this);
        // X has no way to keep a window out of screen captures, so
        // "KREL_PLAY_TEST_CAPTURABLE" changes nothing here: the overlay is
        // always visible in a monitor capture.
        (void)std::getenv("KREL_PLAY_TEST_CAPTURABLE");
        gtk_widget_realize(window_);
        zoom_ = monitor.dpi / 96.0;
    }

    ~GtkOverlayView() override {
        stopFrames();
        if (deactivateCheck_) g_source_remove(deactivateCheck_);
        if (view_) {
            g_signal_handlers_disconnect_by_data(view_, this);
            g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(view_), this);
        }
        g_signal_handlers_disconnect_by_data(window_, this);
        // Out of sight now; destroyed (with the web view and its process)
        // once the main loop is back, since this may run inside one of the
        // view's own signals.
        gtk_widget_hide(window_);
        g_idle_add(
            +[](gpointer window) -> gboolean {
                gtk_widget_destroy(GTK_WIDGET(window));
                return G_SOURCE_REMOVE;
            },
            window_);
    }

    uintptr_t handle() const override {
        GdkWindow* gdkWindow = gtk_widget_get_window(window_);
        return gdkWindow && GDK_IS_X11_WINDOW(gdkWindow) ? GDK_WINDOW_XID(gdkWindow) : 0;
    }

    void load(const OverlayPlaces& places) override {
        setPageFolder(places.pageFolder);
        GObjectPtr<WebKitUserContentManager> content(webkit_user_content_manager_new());
        g_signal_connect(content.get(), "script-message-received::krel", G_CALLBACK(onScriptMessage), this);
        webkit_user_content_manager_register_script_message_handler(content.get(), "krel");

        GObjectPtr<WebKitSettings> settings(webkit_settings_new());
        webkit_settings_set_enable_developer_extras(settings.get(), FALSE);
        webkit_settings_set_javascript_can_open_windows_automatically(settings.get(), FALSE);
        webkit_settings_set_enable_back_forward_navigation_gestures(settings.get(), FALSE);
        webkit_settings_set_allow_file_access_from_file_urls(settings.get(), FALSE);
        webkit_settings_set_enable_media(settings.get(), TRUE);
        webkit_settings_set_media_playback_requires_user_gesture(settings.get(), FALSE);
        // The host runs GTK without OpenGL (see the main loop); the web view
        // then draws in software, said here so that it does not try first.
        const char* gl = std::getenv("GDK_GL");
        if (gl && std::strstr(gl, "disable"))
            webkit_settings_set_hardware_acceleration_policy(settings.get(), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

        view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", sharedContext(places.dataFolder),
                                             "user-content-manager", content.get(), "settings", settings.get(),
                                             nullptr));
        const GdkRGBA clear{0, 0, 0, 0};
        webkit_web_view_set_background_color(view_, &clear);
        webkit_web_view_set_zoom_level(view_, zoom_);
        g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
        g_signal_connect(view_, "create", G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction*, gpointer)
                                                         -> GtkWidget* { return nullptr; }),
                         nullptr);
        g_signal_connect(view_, "context-menu", G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                                               WebKitHitTestResult*, gpointer) -> gboolean {
                             return TRUE; // no menu
                         }),
                         nullptr);
        g_signal_connect(view_, "web-process-terminated", G_CALLBACK(onProcessEnded), this);
        g_signal_connect(view_, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                             if (event == WEBKIT_LOAD_FINISHED) static_cast<GtkOverlayView*>(self)->loaded_ = true;
                         }),
                         this);
        g_signal_connect(view_, "load-failed", G_CALLBACK(onLoadFailed), this);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        gtk_widget_show_all(window_);
        if (gOverlayViewCreatedHook) gOverlayViewCreatedHook(view_);
        webkit_web_view_load_uri(view_, std::string(kPageUrl).c_str());
        gtk_widget_grab_focus(GTK_WIDGET(view_));
    }

    void moveTo(int32_t x, int32_t y) override { gtk_window_move(GTK_WINDOW(window_), x, y); }

    void focus() override {

        GdkWindow* gdkWindow = gtk_widget_get_window(window_);
        // A real time stamp: window managers refuse focus requests that
        // carry none.
        const guint32 time = gdkWindow && GDK_IS_X11_WINDOW(gdkWindow) ? gdk_x11_get_server_time(gdkWindow)
                                                                       : GDK_CURRENT_TIME;
        gtk_window_present_with_time(GTK_WINDOW(window_), time);
        if (view_) gtk_widget_grab_focus(GTK_WIDGET(view_));
    }

    void startFrames() override {
        if (tick_) return;
        tick_ = gtk_widget_add_tick_callback(window_, onTick, this, nullptr);
    }

    void stopFrames() override {
        if (!tick_) return;
        gtk_widget_remove_tick_callback(window_, tick_);
        tick_ = 0;
    }

    void postToPage(const std::string& json) override {
        if (!view_) return;
        const std::string script = receiveCall(json);
        webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                            nullptr, nullptr, nullptr, nullptr);
    }

private:
    static gboolean onTick(GtkWidget*, GdkFrameClock*, gpointer self) {
        static_cast<GtkOverlayView*>(self)->events_.frame();
        return G_SOURCE_CONTINUE;
    }

    // X reports a focus hand-over inside our own window (from the pointer's
    // window to an explicit focus) as a short loss; only a loss that lasts
    // is a deactivation.
    static void onActiveChanged(GtkWindow* window, GParamSpec*, gpointer data) {
        auto* self = static_cast<GtkOverlayView*>(data);
        if (gtk_window_is_active(window) || self->deactivateCheck_) return;
        self->deactivateCheck_ = g_timeout_add(kDeactivationSettleMs, checkDeactivated, self);
    }

    static gboolean checkDeactivated(gpointer data) {
        auto* self = static_cast<GtkOverlayView*>(data);
        self->deactivateCheck_ = 0;
        if (gtk_window_is_active(GTK_WINDOW(self->window_))) return G_SOURCE_REMOVE;
        // A dialog of ours on top (the folder picker) is not another program.
        bool ownDialog = false;
        GList* toplevels = gtk_window_list_toplevels();
        for (GList* item = toplevels; item; item = item->next) {
            auto* other = GTK_WINDOW(item->data);
            ownDialog |= gtk_window_get_transient_for(other) == GTK_WINDOW(self->window_) &&
                         gtk_widget_get_visible(GTK_WIDGET(other));
        }
        g_list_free(toplevels);
        if (!ownDialog) self->events_.deactivated();
        return G_SOURCE_REMOVE;
    }

    // Only the page's own address may load, in any frame; pop-ups never.
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer) {
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
        if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
            WebKitNavigationAction* action =
                webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
            if (uri && isPageUrl(uri)) return FALSE;
        }
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }

    // Messages count only while the view shows the page: every other
    // navigation is refused above, so the page's frames are the only senders.
    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
        auto* self = static_cast<GtkOverlayView*>(data);
        const char* uri = self->view_ ? webkit_web_view_get_uri(self->view_) : nullptr;
        if (!uri || !isPageUrl(uri)) return;
        JSCValue* value = webkit_javascript_result_get_js_value(result);
        if (!jsc_value_is_string(value)) return;
        const GCharPtr text(jsc_value_to_string(value));
        if (text) self->events_.pageMessage(text.get());
    }

    // Before the page has loaded, a process that ends means the web view
    // cannot run here at all.
    static void onProcessEnded(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
        auto* self = static_cast<GtkOverlayView*>(data);
        self->events_.failed(self->loaded_, std::string("Web-Prozess ") + terminationText(reason));
    }

    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
        if (!uri || !isPageUrl(uri) || g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
            return FALSE;
        static_cast<GtkOverlayView*>(data)->events_.failed(false, error ? error->message : "unbekannter Fehler");
        return FALSE;
    }

    OverlayViewEvents events_;
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    guint tick_ = 0;
    guint deactivateCheck_ = 0;
    bool loaded_ = false;
    double zoom_ = 1.0;
};

int xftDpi() {
    gint dpi1024 = -1;
    if (GtkSettings* settings = gtk_settings_get_default()) g_object_get(settings, "gtk-xft-dpi", &dpi1024, nullptr);
    return dpi1024 > 0 ? static_cast<int>(std::lround(dpi1024 / 1024.0)) : 96;
}

} // namespace

MonitorArea monitorUnderPointer() {
    MonitorArea area;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return area;
    GdkMonitor* monitor = nullptr;
    if (GdkSeat* seat = gdk_display_get_default_seat(display)) {
        if (GdkDevice* pointer = gdk_seat_get_pointer(seat)) {
            int x = 0, y = 0;
            gdk_device_get_position(pointer, nullptr, &x, &y);
            monitor = gdk_display_get_monitor_at_point(display, x, y);
        }
    }
    if (!monitor) monitor = gdk_display_get_primary_monitor(display);
    if (!monitor) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return area;
    GdkRectangle geometry{};
    gdk_monitor_get_geometry(monitor, &geometry);
    area.left = geometry.x;
    area.top = geometry.y;
    area.right = geometry.x + geometry.width;
    area.bottom = geometry.y + geometry.height;
    area.dpi = xftDpi();
    return area;
}

std::unique_ptr<OverlayView> createOverlayView(const MonitorArea& monitor, int32_t x, OverlayViewEvents events) {
    if (!gdk_display_get_default() || monitor.right <= monitor.left) return nullptr;
    return std::make_unique<GtkOverlayView>(monitor, x, std::move(events));
}

} // namespace krel
