#include "ui/main_loop.h"

#include "config/log.h"

#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <atomic>
#include <csignal>
#include <deque>
#include <mutex>
#include <exception>
#include <fmt/format.h>

namespace krel {
namespace {

using Task = std::function<void()>;

gboolean runTask(gpointer data) {
    try {
        (*static_cast<Task*>(data))();
    } catch (const std::exception& e) {
        logLine(fmt::format("Hauptschleife: {}", e.what()));
    }
    return G_SOURCE_REMOVE;
}

gboolean runTick(gpointer data) {
    try {
        (*static_cast<Task*>(data))();
    } catch (const std::exception& e) {
        logLine(fmt::format("Hauptschleife: {}", e.what()));
    }
    return G_SOURCE_CONTINUE;
}

void deleteTask(gpointer data) { delete static_cast<Task*>(data); }

Task* gOnDisplayLost = nullptr;
XIOErrorHandler gPreviousIoHandler = nullptr;
Display* gDisplay = nullptr;

// GTK's own handler ends the process with an error when the X server goes
// away; the program's connection instead ends through the orderly shutdown.
// Once the server is gone, every other connection of ours breaks as the
// shutdown closes it; those must not end the process before the recording
// is finished (each has its own exit handler, which marks it dead).
std::atomic<bool> gLost{false};

int onIoError(Display* d) {
    if (d == gDisplay && gOnDisplayLost && !gLost.exchange(true)) {
        logLine("X-Server nicht mehr erreichbar – beende");
        (*gOnDisplayLost)();
    }
    if (gLost.load()) return 0;
    return gPreviousIoHandler ? gPreviousIoHandler(d) : 0;
}

} // namespace

bool initMainLoop() {
    // The host draws with cairo only. Without this GTK probes OpenGL when it
    // opens the display, which loads the desktop's GL driver (tens of MiB
    // resident, a shader compiler among them) into a program that sits in
    // the tray all day. An explicit GDK_GL from the user wins.
    g_setenv("GDK_GL", "disable", FALSE);
    if (!gtk_init_check(nullptr, nullptr)) return false;
    GdkDisplay* display = gdk_display_get_default();
    if (GDK_IS_X11_DISPLAY(display)) gDisplay = gdk_x11_display_get_xdisplay(display);
    return true;
}

// Tasks from other threads wait in a queue of our own: its mutex is the
// hand-over a thread checker can see (GLib's own locking is invisible to
// it). Each task gets one idle source, which runs the oldest task, so the
// order of posting is kept.
std::mutex gTasksMutex;
std::deque<Task> gTasks;

gboolean runQueuedTask(gpointer) {
    Task task;
    {
        std::lock_guard lock(gTasksMutex);
        if (gTasks.empty()) return G_SOURCE_REMOVE;
        task = std::move(gTasks.front());
        gTasks.pop_front();
    }
    return runTask(&task);
}

void runOnMain(std::function<void()> task) {
    {
        std::lock_guard lock(gTasksMutex);
        gTasks.push_back(std::move(task));
    }
    g_idle_add_full(G_PRIORITY_DEFAULT, runQueuedTask, nullptr, nullptr);
}

TimerId startTimer(unsigned intervalMs, std::function<void()> tick) {
    return g_timeout_add_full(G_PRIORITY_DEFAULT, intervalMs, runTick, new Task(std::move(tick)), deleteTask);
}

void stopTimer(TimerId id) {
    if (id) g_source_remove(id);
}

void runMainLoop() { gtk_main(); }

void quitMainLoop() {
    if (gtk_main_level() > 0) gtk_main_quit();
}

void onTerminationSignals(std::function<void()> onSignal) {
    // One shared task; the sources stay for the life of the process, so a
    // second signal during the shutdown does not end it half-way.
    auto* task = new Task(std::move(onSignal));
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) g_unix_signal_add(sig, runTick, task);
}

void onDisplayLost(std::function<void()> onLost) {
    if (!gDisplay) return;
    gOnDisplayLost = new Task(std::move(onLost));
    gPreviousIoHandler = XSetIOErrorHandler(onIoError);
}

} // namespace krel
