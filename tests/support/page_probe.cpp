// Linked only into the tests' build of the program: reads the overlay's page
// through the web view's JavaScript. The socket named by
// "KREL_PLAY_TEST_PROBE" takes one line, the body of an async JavaScript
// function; the answer is its result as JSON on one line ("null" when no
// overlay is open, {"error": …} when the script threw).

#include "ui/overlay_view.h"

#include <gio/gio.h>
#include <gio/gunixsocketaddress.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <string>

namespace {

WebKitWebView* gView = nullptr;

void answer(GSocketConnection* connection, const std::string& text) {
    const std::string line = text + "\n";
    GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(connection));
    g_output_stream_write_all(out, line.data(), line.size(), nullptr, nullptr, nullptr);
    g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
    g_object_unref(connection);
}

void evaluated(GObject* view, GAsyncResult* result, gpointer data) {
    auto* connection = static_cast<GSocketConnection*>(data);
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(view), result, &error);
    if (!value) {
        gchar* quoted = g_strescape(error ? error->message : "?", nullptr);
        answer(connection, std::string("{\"error\":\"") + quoted + "\"}");
        g_free(quoted);
        if (error) g_error_free(error);
        return;
    }
    gchar* json = jsc_value_is_undefined(value) ? nullptr : jsc_value_to_json(value, 0);
    answer(connection, json ? json : "null");
    g_free(json);
    g_object_unref(value);
}

gboolean incoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer) {
    g_object_ref(connection);
    GDataInputStream* in = g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(connection)));
    gchar* body = g_data_input_stream_read_line_utf8(in, nullptr, nullptr, nullptr);
    g_object_unref(in);
    if (!body || !gView) {
        answer(connection, "null");
    } else {
        webkit_web_view_call_async_javascript_function(gView, body, -1, nullptr, nullptr, nullptr, nullptr, evaluated,
                                                       connection);
    }
    g_free(body);
    return TRUE;
}

void listen(const char* path) {
    static GSocketService* service = nullptr;
    if (service) return;
    service = g_socket_service_new();
    GSocketAddress* address = g_unix_socket_address_new(path);
    GError* error = nullptr;
    if (!g_socket_listener_add_address(G_SOCKET_LISTENER(service), address, G_SOCKET_TYPE_STREAM,
                                       G_SOCKET_PROTOCOL_DEFAULT, nullptr, nullptr, &error)) {
        g_printerr("page probe: %s\n", error->message);
        g_error_free(error);
    }
    g_object_unref(address);
    g_signal_connect(service, "incoming", G_CALLBACK(incoming), nullptr);
    g_socket_service_start(service);
}

const bool gInstalled = [] {
    krel::gOverlayViewCreatedHook = +[](void* view) {
        const char* path = std::getenv("KREL_PLAY_TEST_PROBE");
        if (!path) return;
        listen(path);
        if (gView) g_object_remove_weak_pointer(G_OBJECT(gView), reinterpret_cast<gpointer*>(&gView));
        gView = WEBKIT_WEB_VIEW(view);
        g_object_add_weak_pointer(G_OBJECT(gView), reinterpret_cast<gpointer*>(&gView));
    };
    return true;
}();

} // namespace
