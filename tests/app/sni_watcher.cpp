#include "sni_watcher.h"

#include <stdexcept>

namespace krel::test {

namespace {

constexpr const char* kIntrospection = R"(<node>
  <interface name='org.kde.StatusNotifierWatcher'>
    <method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>
    <method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>
    <property name='RegisteredStatusNotifierItems' type='as' access='read'/>
    <property name='IsStatusNotifierHostRegistered' type='b' access='read'/>
    <property name='ProtocolVersion' type='i' access='read'/>
    <signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>
    <signal name='StatusNotifierHostRegistered'/>
  </interface>
</node>)";

void collect(GVariant* node, std::vector<MenuItem>& out) {
    gint32 id = 0;
    GVariant* props = nullptr;
    GVariant* children = nullptr;
    g_variant_get(node, "(i@a{sv}@av)", &id, &props, &children);
    MenuItem item;
    item.dbusId = id;
    const gchar* text = nullptr;
    if (g_variant_lookup(props, "label", "&s", &text)) item.label = text;
    gboolean enabled = TRUE;
    if (g_variant_lookup(props, "enabled", "b", &enabled)) item.enabled = enabled;
    gint32 toggle = -1;
    if (g_variant_lookup(props, "toggle-state", "i", &toggle)) item.toggleState = toggle;
    if (id != 0) out.push_back(item);
    GVariantIter iter;
    g_variant_iter_init(&iter, children);
    while (GVariant* child = g_variant_iter_next_value(&iter)) {
        GVariant* inner = g_variant_get_variant(child);
        collect(inner, out);
        g_variant_unref(inner);
        g_variant_unref(child);
    }
    g_variant_unref(props);
    g_variant_unref(children);
}

} // namespace

SniWatcher::SniWatcher() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!address) throw std::runtime_error("no session bus");
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    g_main_context_push_thread_default(context_);
    bus_ = g_dbus_connection_new_for_address_sync(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    if (!bus_) throw std::runtime_error("cannot connect to the session bus");
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    static const GDBusInterfaceVTable vtable{&SniWatcher::onCall, &SniWatcher::onGetProperty, nullptr, {}};
    g_dbus_connection_register_object(bus_, "/StatusNotifierWatcher", info->interfaces[0], &vtable, this, nullptr,
                                      nullptr);
    g_dbus_node_info_unref(info);
    g_main_context_pop_thread_default(context_);
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
    GVariant* reply =
        call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
             g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u /* do not queue */));
    if (reply) g_variant_unref(reply);
}

SniWatcher::~SniWatcher() {
    g_main_loop_quit(loop_);
    thread_.join();
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void SniWatcher::onCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                        GVariant* params, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<SniWatcher*>(data);
    const gchar* service = nullptr;
    g_variant_get(params, "(&s)", &service);
    if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
        // Items name either their object path (on the caller's connection)
        // or a bus name with the default path.
        std::lock_guard lock(self->lock_);
        const bool isPath = service[0] == '/';
        self->itemBus_ = isPath ? sender : service;
        self->itemPath_ = isPath ? service : "/StatusNotifierItem";
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* SniWatcher::onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                    GError**, gpointer data) {
    auto* self = static_cast<SniWatcher*>(data);
    if (g_strcmp0(name, "IsStatusNotifierHostRegistered") == 0) return g_variant_new_boolean(TRUE);
    if (g_strcmp0(name, "ProtocolVersion") == 0) return g_variant_new_int32(0);
    std::lock_guard lock(self->lock_);
    const gchar* items[] = {self->itemBus_.c_str(), nullptr};
    return g_variant_new_strv(items, self->itemBus_.empty() ? 0 : 1);
}

GVariant* SniWatcher::call(const std::string& dest, const std::string& path, const char* iface, const char* method,
                           GVariant* params) {
    return g_dbus_connection_call_sync(bus_, dest.c_str(), path.c_str(), iface, method, params, nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
}

bool SniWatcher::hasItem() {
    std::lock_guard lock(lock_);
    return !itemBus_.empty();
}

std::string SniWatcher::itemProperty(const char* name) {
    std::string bus, path;
    {
        std::lock_guard lock(lock_);
        bus = itemBus_;
        path = itemPath_;
    }
    GVariant* reply = call(bus, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.kde.StatusNotifierItem", name));
    if (!reply) return {};
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::string text;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH))
        text = g_variant_get_string(value, nullptr);
    g_variant_unref(value);
    g_variant_unref(reply);
    return text;
}

std::vector<MenuItem> SniWatcher::menu() {
    std::vector<MenuItem> items;
    const std::string menuPath = itemProperty("Menu");
    std::string bus;
    {
        std::lock_guard lock(lock_);
        bus = itemBus_;
    }
    if (menuPath.empty()) return items;
    GVariant* reply = call(bus, menuPath, "com.canonical.dbusmenu", "GetLayout",
                           g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
    if (!reply) return items;
    guint32 revision = 0;
    GVariant* layout = nullptr;
    g_variant_get(reply, "(u@(ia{sv}av))", &revision, &layout);
    collect(layout, items);
    g_variant_unref(layout);
    g_variant_unref(reply);
    return items;
}

void SniWatcher::click(int dbusId) {
    std::string bus;
    {
        std::lock_guard lock(lock_);
        bus = itemBus_;
    }
    GVariant* reply = call(bus, itemProperty("Menu"), "com.canonical.dbusmenu", "Event",
                           g_variant_new("(isvu)", dbusId, "clicked", g_variant_new_int32(0), 0u));
    if (reply) g_variant_unref(reply);
}

} // namespace krel::test
