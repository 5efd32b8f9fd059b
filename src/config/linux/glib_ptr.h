#pragma once
// Owners for the GLib objects the Linux backends hold: GObjects, errors,
// variants and plain g_malloc'ed memory, released the moment their owner
// goes. Header-only; the users link GLib themselves.

#include <glib-object.h>

#include <memory>

namespace krel {

struct GObjectUnref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
struct GErrorFree {
    void operator()(GError* e) const {
        if (e) g_error_free(e);
    }
};
struct GVariantUnref {
    void operator()(GVariant* v) const {
        if (v) g_variant_unref(v);
    }
};
struct GFreeDeleter {
    void operator()(gpointer p) const { g_free(p); }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

} // namespace krel
