#pragma once
// A minimal StatusNotifierWatcher, the part of a desktop panel that tray
// icons register with, on the session bus; and a reader of the registered
// item's properties and dbusmenu, as a panel would draw them.

#include <gio/gio.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krel::test {

struct MenuItem {
    int dbusId = 0;
    std::string label;
    bool enabled = true;
    int toggleState = -1; // -1: no check mark
};

class SniWatcher {
public:
    SniWatcher();  // owns org.kde.StatusNotifierWatcher once it returns
    ~SniWatcher();

    bool hasItem();
    std::string itemProperty(const char* name); // string properties only
    std::vector<MenuItem> menu();
    // A panel's click on an entry.
    void click(int dbusId);

private:
    static void onCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                       GVariant* params, GDBusMethodInvocation* invocation, gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                   GError**, gpointer self);
    GVariant* call(const std::string& dest, const std::string& path, const char* iface, const char* method,
                   GVariant* params);

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* bus_ = nullptr;
    std::thread thread_;
    std::mutex lock_;
    std::string itemBus_, itemPath_;
};

} // namespace krel::test
