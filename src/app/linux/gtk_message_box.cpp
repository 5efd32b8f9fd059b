#include "app/message_box.h"

#include <gtk/gtk.h>

#include <cstdio>

namespace krel {

void showMessageBox(const std::string& text, MessageIcon icon) {
    std::fprintf(stderr, "%s\n", text.c_str());
    if (!gtk_init_check(nullptr, nullptr)) return;
    GtkWidget* dialog = gtk_message_dialog_new(
        nullptr, GTK_DIALOG_MODAL, icon == MessageIcon::Error ? GTK_MESSAGE_ERROR : GTK_MESSAGE_INFO,
        GTK_BUTTONS_OK, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), "KREL Play");
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    while (gtk_events_pending()) gtk_main_iteration();
}

} // namespace krel
