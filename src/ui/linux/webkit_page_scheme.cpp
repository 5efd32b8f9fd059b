#include "ui/linux/webkit_page_scheme.h"

#include "config/linux/glib_ptr.h"
#include "ui/overlay_urls.h"

#include <gio/gio.h>
#include <webkit2/webkit2.h>

namespace krel {
namespace {

std::filesystem::path gPageFolder;

void servePage(WebKitURISchemeRequest* request, gpointer) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    gchar* text = nullptr;
    gsize size = 0;
    if (!uri || !isPageUrl(uri) ||
        !g_file_get_contents((gPageFolder / "overlay.html").c_str(), &text, &size, nullptr)) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "Nicht gefunden");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    GObjectPtr<GInputStream> stream(g_memory_input_stream_new_from_data(text, static_cast<gssize>(size), g_free));
    webkit_uri_scheme_request_finish(request, stream.get(), static_cast<gint64>(size), "text/html; charset=utf-8");
}

} // namespace

void registerPageScheme(WebKitWebContext* context) {
    webkit_web_context_register_uri_scheme(context, kPageScheme, servePage, nullptr, nullptr);
    webkit_security_manager_register_uri_scheme_as_secure(webkit_web_context_get_security_manager(context),
                                                          kPageScheme);
}

void setPageFolder(const std::filesystem::path& folder) { gPageFolder = folder; }

} // namespace krel
