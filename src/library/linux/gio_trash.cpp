// The freedesktop trash through GIO: g_file_trash renames the file into
// the trash of its volume ($XDG_DATA_HOME/Trash on the home volume,
// $topdir/.Trash-$uid elsewhere) and writes the ".trashinfo" record that
// file managers use to restore it.

#include "library/trash.h"
#include "config/linux/glib_ptr.h"

#include <gio/gio.h>

#include <memory>

namespace krel {
namespace {

using FilePtr = GObjectPtr<GFile>;
using ErrorPtr = GErrorPtr;

} // namespace

bool moveToTrash(const std::filesystem::path& path) noexcept {
    const FilePtr file(g_file_new_for_path(path.c_str()));
    GError* rawError = nullptr;
    const bool moved = g_file_trash(file.get(), nullptr, &rawError);
    const ErrorPtr error(rawError);
    return moved;
}

} // namespace krel
