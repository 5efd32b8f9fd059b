#pragma once
// The overlay page's URL scheme on a WebKitGTK web context: it serves the
// page file and nothing else, and counts as secure, so the page is a secure
// context.

#include <filesystem>

typedef struct _WebKitWebContext WebKitWebContext;

namespace krel {

// Registers the scheme once per context; the folder is read on every
// request, so one context serves every open of the overlay.
void registerPageScheme(WebKitWebContext* context);
void setPageFolder(const std::filesystem::path& folder);

} // namespace krel
