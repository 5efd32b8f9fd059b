// Opening files and addresses through GIO's default handlers (the user's
// file manager, player and browser), "show in folder" through the file
// manager's D-Bus service, the folder picker (a portal dialog where one
// runs) and the clipboard through GTK.

#include "ui/desktop_shell.h"
#include "config/linux/glib_ptr.h"

#include "config/log.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <fmt/format.h>

#include <memory>

namespace krel {
namespace {

bool launch(const char* uri) {
    GError* error = nullptr;
    if (g_app_info_launch_default_for_uri(uri, nullptr, &error)) return true;
    logLine(fmt::format("Öffnen fehlgeschlagen: {}", error ? error->message : uri));
    g_clear_error(&error);
    return false;
}

GCharPtr fileUri(const std::filesystem::path& path) {
    return GCharPtr(g_filename_to_uri(path.c_str(), nullptr, nullptr));
}

GtkWindow* windowFor(uintptr_t xid) {
    if (xid == 0) return nullptr;
    GList* windows = gtk_window_list_toplevels();
    GtkWindow* found = nullptr;
    for (GList* l = windows; l && !found; l = l->next) {
        GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(l->data));
        if (gdk && GDK_IS_X11_WINDOW(gdk) && gdk_x11_window_get_xid(gdk) == xid) found = GTK_WINDOW(l->data);
    }
    g_list_free(windows);
    return found;
}

} // namespace

bool openPath(const std::filesystem::path& path) {
    const GCharPtr uri = fileUri(path);
    return uri && launch(uri.get());
}

bool openUri(const std::string& uri) { return launch(uri.c_str()); }

void showInFileManager(const std::filesystem::path& file) {
    const GCharPtr uri = fileUri(file);
    if (!uri) return;
    GError* error = nullptr;
    std::unique_ptr<GDBusConnection, GObjectUnref> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    if (bus) {
        const gchar* uris[] = {uri.get(), nullptr};
        GVariant* reply = g_dbus_connection_call_sync(
            bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
            "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, &error);
        if (reply) {
            g_variant_unref(reply);
            return;
        }
    }
    g_clear_error(&error);
    // No file manager on the bus: at least the folder.
    openPath(file.parent_path());
}

std::optional<std::filesystem::path> chooseFolder(const std::string& title, uintptr_t owner) {
    std::unique_ptr<GtkFileChooserNative, GObjectUnref> dialog(gtk_file_chooser_native_new(
        title.c_str(), windowFor(owner), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "Auswählen", "Abbrechen"));
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog.get()), TRUE);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog.get()), TRUE);
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(dialog.get())) != GTK_RESPONSE_ACCEPT) return std::nullopt;
    const GCharPtr chosen(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog.get())));
    if (!chosen) return std::nullopt;
    return std::filesystem::path(chosen.get());
}

void setClipboardText(const std::string& text) {
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), text.c_str(), static_cast<gint>(text.size()));
    gtk_clipboard_store(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
}

} // namespace krel
