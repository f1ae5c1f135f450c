// Installed apps from desktop entries in this test's own XDG folders: which entries are listed
// and in what order, and their icons drawn to PNGs that decode back to the fixture's pictures.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "platform/apps/DesktopApps.h"

namespace brindlet::platform {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

std::string entry(const std::string& name, const std::string& more = "") {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=/bin/true\n" + more;
}

// The folders, made before the first use of GLib reads the XDG variables.
struct Folders {
  fs::path root, home, system;
  Folders() {
    std::string pattern = (fs::temp_directory_path() / "desktop-apps-XXXXXX").string();
    root = mkdtemp(pattern.data());
    home = root / "home";
    system = root / "system";
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    setenv("XDG_DATA_DIRS", system.c_str(), 1);
    fs::create_directories(system);
    // A picture's format is told by the shared MIME database of the data folders.
    if (fs::exists("/usr/share/mime")) fs::create_directory_symlink("/usr/share/mime", system / "mime");
    write(home / "applications/org.example.Editor.desktop", entry("Editor", "Icon=org.example.editor\n"));
    write(home / "applications/org.example.Copy.desktop", entry("Home Copy"));
    write(home / "applications/kde/org.example.Nested.desktop", entry("nested"));
    write(system / "applications/org.example.Copy.desktop", entry("System Copy"));
    write(system / "applications/org.example.Background.desktop", entry("Background", "NoDisplay=true\n"));
    write(system / "applications/org.example.Removed.desktop", entry("Removed", "Hidden=true\n"));
    write(system / "applications/org.example.Eclair.desktop", entry("\xC3\x89"
                                                                    "clair"));
    write(system / "applications/org.example.Alpha.desktop", entry("eclair"));
    write(system / "applications/org.example.Paint.desktop",
          entry("Paint", "Icon=" + (root / "paint.png").string() + "\n"));
    write(system / "applications/org.example.Mail.desktop", entry("Mail", "Icon=org.example.no-such-icon\n"));
    write(system / "icons/hicolor/scalable/apps/org.example.editor.svg",
          "<svg xmlns='http://www.w3.org/2000/svg' width='48' height='48'>"
          "<rect width='48' height='48' fill='#ff0000'/></svg>");
    // A 64 × 32 green picture: not square, so it is centred.
    GdkPixbuf* paint = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 64, 32);
    gdk_pixbuf_fill(paint, 0x00ff00ff);
    gdk_pixbuf_save(paint, (root / "paint.png").c_str(), "png", nullptr, nullptr);
    g_object_unref(paint);
  }
  ~Folders() { fs::remove_all(root); }
};

const Folders& folders() {
  static Folders instance;
  return instance;
}

struct Decoded {
  std::shared_ptr<GdkPixbuf> picture;
  int width() const { return gdk_pixbuf_get_width(picture.get()); }
  int height() const { return gdk_pixbuf_get_height(picture.get()); }
  // RGBA at (x, y).
  std::uint32_t pixel(int x, int y) const {
    const guchar* p = gdk_pixbuf_get_pixels(picture.get()) + y * gdk_pixbuf_get_rowstride(picture.get()) +
                      x * gdk_pixbuf_get_n_channels(picture.get());
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           (gdk_pixbuf_get_has_alpha(picture.get()) ? p[3] : 0xff);
  }
};

Decoded decodePNG(const Bytes& png) {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  EXPECT_TRUE(gdk_pixbuf_loader_write(loader, png.data(), png.size(), nullptr));
  EXPECT_TRUE(gdk_pixbuf_loader_close(loader, nullptr));
  GdkPixbuf* picture = gdk_pixbuf_loader_get_pixbuf(loader);
  if (picture) g_object_ref(picture);
  g_object_unref(loader);
  return {std::shared_ptr<GdkPixbuf>(picture, [](GdkPixbuf* p) {
    if (p) g_object_unref(p);
  })};
}

TEST(DesktopApps, ListsShownEntriesOnceByFoldedNameThenID) {
  folders();
  std::vector<std::pair<std::string, std::string>> listed;
  for (const auto& app : scanDesktopApps()) listed.emplace_back(app.id, app.name);
  EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::string>>{
                        {"org.example.Alpha.desktop", "eclair"},
                        {"org.example.Eclair.desktop",
                         "\xC3\x89"
                         "clair"},
                        {"org.example.Editor.desktop", "Editor"},
                        {"org.example.Copy.desktop", "Home Copy"},  // the user's own entry wins
                        {"org.example.Mail.desktop", "Mail"},
                        {"kde-org.example.Nested.desktop", "nested"},
                        {"org.example.Paint.desktop", "Paint"},
                    }));
}

TEST(DesktopApps, IconsAreSquarePNGsOfTheThemedOrNamedPicture) {
  folders();
  auto editor = decodePNG(desktopAppIconPNG("org.example.Editor.desktop", 128));
  ASSERT_TRUE(editor.picture);
  EXPECT_EQ(editor.width(), 128);
  EXPECT_EQ(editor.height(), 128);
  EXPECT_EQ(editor.pixel(0, 0), 0xff0000ffu);
  EXPECT_EQ(editor.pixel(127, 127), 0xff0000ffu);

  auto paint = decodePNG(desktopAppIconPNG("org.example.Paint.desktop", 128));
  ASSERT_TRUE(paint.picture);
  EXPECT_EQ(paint.width(), 128);
  EXPECT_EQ(paint.height(), 128);
  EXPECT_EQ(paint.pixel(64, 64), 0x00ff00ffu);
  EXPECT_EQ(paint.pixel(64, 10) & 0xff, 0u);  // above the picture: transparent

  EXPECT_TRUE(desktopAppIconPNG("org.example.Mail.desktop", 128).empty());     // no such icon
  EXPECT_TRUE(desktopAppIconPNG("org.example.Copy.desktop", 128).empty());     // no icon named
  EXPECT_TRUE(desktopAppIconPNG("org.example.Unknown.desktop", 128).empty());  // no such entry
}

TEST(DesktopApps, TheSignatureChangesWhenAnEntryIsAdded) {
  const auto& f = folders();
  auto before = desktopAppFoldersSignature();
  ASSERT_EQ(before.size(), 2u);
  EXPECT_TRUE(before[0].has_value());
  EXPECT_TRUE(before[1].has_value());
  write(f.system / "applications/org.example.New.desktop", entry("New"));
  auto after = desktopAppFoldersSignature();
  EXPECT_EQ(after[0], before[0]);
  EXPECT_NE(after[1], before[1]);
  fs::remove(f.system / "applications/org.example.New.desktop");
}

}  // namespace
}  // namespace brindlet::platform
