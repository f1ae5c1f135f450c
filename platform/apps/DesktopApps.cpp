#include "platform/apps/DesktopApps.h"

#include "platform/apps/RunningDesktopApps.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <set>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace brindlet::platform {

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
template <class T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GString_ = std::unique_ptr<char, GFree>;

// The name with its accents removed and its case folded.
std::string foldName(const std::string& name) {
  GString_ decomposed(g_utf8_normalize(name.c_str(), -1, G_NORMALIZE_NFKD));
  if (!decomposed) return name;
  std::string bare;
  for (const char* p = decomposed.get(); *p; p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    if (g_unichar_ismark(c)) continue;
    char buffer[6];
    bare.append(buffer, size_t(g_unichar_to_utf8(c, buffer)));
  }
  GString_ folded(g_utf8_casefold(bare.c_str(), -1));
  return folded ? std::string(folded.get()) : bare;
}

// The data folders in search order: the user's own first.
std::vector<std::string> dataFolders() {
  std::vector<std::string> folders{g_get_user_data_dir()};
  for (const char* const* dir = g_get_system_data_dirs(); *dir; ++dir) folders.emplace_back(*dir);
  return folders;
}

bool isFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A themed icon's file: hicolor's apps pictures, largest first, then the pixmaps folders.
std::string findThemedIcon(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return {};
  static constexpr std::array sizes{"scalable", "512x512", "256x256", "192x192", "128x128", "96x96", "72x72",
                                    "64x64",    "48x48",   "36x36",   "32x32",   "24x24",   "22x22", "16x16"};
  static constexpr std::array extensions{".png", ".svg", ".xpm"};
  const auto folders = dataFolders();
  for (const char* size : sizes) {
    for (const auto& folder : folders) {
      for (const char* extension : extensions) {
        std::string path = folder + "/icons/hicolor/" + size + "/apps/" + name + extension;
        if (isFile(path)) return path;
      }
    }
  }
  for (const auto& folder : folders) {
    for (const char* extension : extensions) {
      std::string path = folder + "/pixmaps/" + name + extension;
      if (isFile(path)) return path;
    }
  }
  return {};
}

std::string iconFile(GIcon* icon) {
  if (!icon) return {};
  if (G_IS_FILE_ICON(icon)) {
    GString_ path(g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon))));
    return path && isFile(path.get()) ? std::string(path.get()) : std::string();
  }
  if (G_IS_THEMED_ICON(icon)) {
    for (const char* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon)); name && *name; ++name) {
      if (auto path = findThemedIcon(*name); !path.empty()) return path;
    }
  }
  return {};
}

Bytes drawPNG(const std::string& file, int size) {
  GError* error = nullptr;
  GRef<GdkPixbuf> picture(gdk_pixbuf_new_from_file_at_scale(file.c_str(), size, size, TRUE, &error));
  if (error) g_error_free(error);
  if (!picture) return {};
  GRef<GdkPixbuf> canvas(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size));
  if (!canvas) return {};
  gdk_pixbuf_fill(canvas.get(), 0);
  const int width = std::min(size, gdk_pixbuf_get_width(picture.get()));
  const int height = std::min(size, gdk_pixbuf_get_height(picture.get()));
  const int x = (size - width) / 2, y = (size - height) / 2;
  gdk_pixbuf_composite(picture.get(), canvas.get(), x, y, width, height, x, y, 1, 1, GDK_INTERP_BILINEAR, 255);
  gchar* buffer = nullptr;
  gsize length = 0;
  if (!gdk_pixbuf_save_to_buffer(canvas.get(), &buffer, &length, "png", &error, nullptr)) {
    if (error) g_error_free(error);
    return {};
  }
  Bytes png(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return png;
}

// Calls `visit` for every listed entry: g_app_info_get_all gives each ID once, from the first
// folder that has it, and leaves out Hidden entries and those whose TryExec names a missing
// program; NoDisplay entries are left out here.
void forEachListedEntry(const std::function<void(GAppInfo*, GDesktopAppInfo*)>& visit) {
  GList* all = g_app_info_get_all();
  for (GList* item = all; item; item = item->next) {
    auto* info = G_APP_INFO(item->data);
    if (!G_IS_DESKTOP_APP_INFO(info)) continue;
    auto* desktop = G_DESKTOP_APP_INFO(info);
    if (g_desktop_app_info_get_nodisplay(desktop) || g_desktop_app_info_get_is_hidden(desktop)) continue;
    visit(info, desktop);
  }
  g_list_free_full(all, g_object_unref);
}

std::string baseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<DesktopAppKeys> desktopAppKeys() {
  std::vector<DesktopAppKeys> keys;
  forEachListedEntry([&](GAppInfo* info, GDesktopAppInfo* desktop) {
    const char* id = g_app_info_get_id(info);
    if (!id) return;
    const char* name = g_app_info_get_name(info);
    const char* wmClass = g_desktop_app_info_get_startup_wm_class(desktop);
    const char* executable = g_app_info_get_executable(info);
    keys.push_back(
        DesktopAppKeys{id, name ? name : id, wmClass ? wmClass : "", executable ? baseName(executable) : ""});
  });
  return keys;
}

int compareAppNames(const std::string& a, const std::string& b) { return foldName(a).compare(foldName(b)); }

std::vector<DesktopApp> scanDesktopApps() {
  struct Keyed {
    std::string key;
    DesktopApp app;
  };
  std::vector<Keyed> found;
  std::set<std::string> seen;
  forEachListedEntry([&](GAppInfo* info, GDesktopAppInfo* desktop) {
    const char* id = g_app_info_get_id(info);
    const char* name = g_app_info_get_name(info);
    const char* path = g_desktop_app_info_get_filename(desktop);
    if (!id || !*id || !name || !seen.insert(id).second) return;
    found.push_back({foldName(name), DesktopApp{id, name, path ? path : ""}});
  });
  std::sort(found.begin(), found.end(), [](const Keyed& a, const Keyed& b) {
    if (a.key != b.key) return a.key < b.key;
    return a.app.id < b.app.id;
  });
  std::vector<DesktopApp> apps;
  apps.reserve(found.size());
  for (auto& entry : found) apps.push_back(std::move(entry.app));
  return apps;
}

std::vector<std::optional<std::int64_t>> desktopAppFoldersSignature() {
  std::vector<std::optional<std::int64_t>> signature;
  for (const auto& folder : dataFolders()) {
    struct stat info {};
    if (::stat((folder + "/applications").c_str(), &info) != 0) {
      signature.emplace_back();
      continue;
    }
    signature.emplace_back(std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec);
  }
  return signature;
}

Bytes desktopAppIconPNG(const std::string& id, int size) {
  if (id.empty() || size <= 0) return {};
  GRef<GDesktopAppInfo> info(g_desktop_app_info_new(id.c_str()));
  if (!info) return {};
  std::string file = iconFile(g_app_info_get_icon(G_APP_INFO(info.get())));
  return file.empty() ? Bytes{} : drawPNG(file, size);
}

}  // namespace brindlet::platform
