// The tray on Linux desktops. Where a StatusNotifierWatcher runs on the
// session bus (KDE, GNOME with the AppIndicator extension, Xfce, most panels)
// the icon is a StatusNotifierItem through libayatana-appindicator, whose
// menu the desktop draws from ours over D-Bus. Elsewhere, on an X11 desktop
// with a system tray, it is an XEmbed icon (GtkStatusIcon): left click opens
// the overlay, right click the menu.

#include "ui/tray_icon.h"
#include "config/linux/glib_ptr.h"

#include "config/data_directory.h"
#include "config/log.h"
#include "ui/app_icon_svg.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <fmt/format.h>

#include <fstream>
#include <map>
#include <system_error>

namespace krel {
namespace {

namespace fs = std::filesystem;

template <typename T>
using GPtr = GObjectPtr<T>;

bool hasStatusNotifierWatcher() {
    GError* error = nullptr;
    GPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000,
        nullptr, &error);
    if (!reply) {
        g_clear_error(&error);
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

bool hasXEmbedTray() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display || !GDK_IS_X11_DISPLAY(display)) return false;
    Display* x = gdk_x11_display_get_xdisplay(display);
    const std::string name = fmt::format("_NET_SYSTEM_TRAY_S{}", DefaultScreen(x));
    return XGetSelectionOwner(x, XInternAtom(x, name.c_str(), False)) != None;
}

// The icon as a file, for the desktop to load by name from our folder.
fs::path writeIcon() {
    std::error_code ec;
    const fs::path folder = dataDirectory() / "icons";
    fs::create_directories(folder, ec);
    const fs::path file = folder / "krel-play.svg";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << kAppIconSvg;
    return file;
}

class GtkTrayIcon final : public TrayIcon {
public:
    GtkTrayIcon(const TrayMenuState& state, TrayEvents events, bool statusNotifier)
        : events_(std::move(events)) {
        menu_ = GTK_WIDGET(g_object_ref_sink(gtk_menu_new()));
        for (const TrayMenuEntry& e : trayMenu(state)) addEntry(e);
        gtk_widget_show_all(menu_);
        state_ = state;

        const fs::path icon = writeIcon();
        if (statusNotifier) {
            indicator_.reset(app_indicator_new_with_path("krel-play", "krel-play",
                                                         APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
                                                         icon.parent_path().c_str()));
            app_indicator_set_title(indicator_.get(), "KREL Play");
            app_indicator_set_menu(indicator_.get(), GTK_MENU(menu_));
            // A middle click (or the host's own default action) opens the
            // overlay like the bold entry.
            app_indicator_set_secondary_activate_target(indicator_.get(), items_.at(kMenuOpen));
            app_indicator_set_status(indicator_.get(), APP_INDICATOR_STATUS_ACTIVE);
            logLine("Infobereich: StatusNotifierItem");
        } else {
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            status_.reset(gtk_status_icon_new_from_file(icon.c_str()));
            gtk_status_icon_set_title(status_.get(), "KREL Play");
            gtk_status_icon_set_tooltip_text(status_.get(), "KREL Play");
            g_signal_connect(status_.get(), "activate", G_CALLBACK(+[](GtkStatusIcon*, gpointer self) {
                                 static_cast<GtkTrayIcon*>(self)->events_.activate();
                             }),
                             this);
            g_signal_connect(status_.get(), "popup-menu",
                             G_CALLBACK(+[](GtkStatusIcon*, guint, guint, gpointer self) {
                                 auto* tray = static_cast<GtkTrayIcon*>(self);
                                 gtk_menu_popup_at_pointer(GTK_MENU(tray->menu_), nullptr);
                             }),
                             this);
            G_GNUC_END_IGNORE_DEPRECATIONS
            logLine("Infobereich: XEmbed-Symbol");
        }
    }

    ~GtkTrayIcon() override {
        if (indicator_) app_indicator_set_status(indicator_.get(), APP_INDICATOR_STATUS_PASSIVE);
        indicator_.reset();
        status_.reset();
        gtk_widget_destroy(menu_);
        g_object_unref(menu_);
    }

    void setTitle(const std::string& title) override {
        if (indicator_) app_indicator_set_title(indicator_.get(), title.c_str());
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        if (status_) {
            gtk_status_icon_set_title(status_.get(), title.c_str());
            gtk_status_icon_set_tooltip_text(status_.get(), title.c_str());
        }
        G_GNUC_END_IGNORE_DEPRECATIONS
    }

    void setMenuState(const TrayMenuState& state) override {
        if (state == state_) return;
        state_ = state;
        updating_ = true;
        for (const TrayMenuEntry& e : trayMenu(state)) {
            auto it = items_.find(e.id);
            if (it == items_.end()) continue;
            gtk_widget_set_sensitive(it->second, e.enabled);
            if (e.checkable) gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(it->second), e.checked);
        }
        updating_ = false;
    }

private:
    void addEntry(const TrayMenuEntry& e) {
        if (e.id == 0) {
            gtk_menu_shell_append(GTK_MENU_SHELL(menu_), gtk_separator_menu_item_new());
            return;
        }
        GtkWidget* item = e.checkable ? gtk_check_menu_item_new_with_label(e.text.c_str())
                                      : gtk_menu_item_new_with_label(e.text.c_str());
        if (e.checkable) gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), e.checked);
        gtk_widget_set_sensitive(item, e.enabled);
        if (e.isDefault) {
            // Bold in menus that GTK draws itself (the XEmbed icon's).
            GtkWidget* label = gtk_bin_get_child(GTK_BIN(item));
            gchar* markup = g_markup_printf_escaped("<b>%s</b>", e.text.c_str());
            gtk_label_set_markup(GTK_LABEL(label), markup);
            g_free(markup);
        }
        g_object_set_data(G_OBJECT(item), "krel-id", GINT_TO_POINTER(e.id));
        g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* item, gpointer self) {
                             auto* tray = static_cast<GtkTrayIcon*>(self);
                             if (tray->updating_) return;
                             const int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), "krel-id"));
                             // A check item flips itself on activation; the
                             // action's own state comes back through
                             // setMenuState, so undo the flip here.
                             if (GTK_IS_CHECK_MENU_ITEM(item)) tray->restoreChecks();
                             tray->events_.command(id);
                         }),
                         this);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
        items_[e.id] = item;
    }

    void restoreChecks() {
        updating_ = true;
        for (const TrayMenuEntry& e : trayMenu(state_))
            if (e.checkable) gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(items_.at(e.id)), e.checked);
        updating_ = false;
    }

    TrayEvents events_;
    GtkWidget* menu_ = nullptr;
    std::map<int, GtkWidget*> items_;
    TrayMenuState state_;
    bool updating_ = false;
    GPtr<AppIndicator> indicator_;
    GPtr<GtkStatusIcon> status_;
};

} // namespace

std::unique_ptr<TrayIcon> createTrayIcon(const TrayMenuState& state, TrayEvents events) {
    const bool sni = hasStatusNotifierWatcher();
    if (!sni && !hasXEmbedTray()) {
        logLine("Kein Infobereich gefunden");
        return nullptr;
    }
    return std::make_unique<GtkTrayIcon>(state, std::move(events), sni);
}

} // namespace krel
