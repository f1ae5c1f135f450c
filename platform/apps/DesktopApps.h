#pragma once

// The applications installed on this computer: the freedesktop desktop entries of the XDG data
// folders ($XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS), read through GIO. The
// desktop-file ID ("org.example.Editor.desktop") is an app's identity. Entries marked NoDisplay
// or Hidden run in the background only and are not listed.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"

namespace brindlet::platform {

struct DesktopApp {
  std::string id;    // desktop-file ID
  std::string name;  // the entry's Name, in the user's language
  std::string path;  // the desktop file

  bool operator==(const DesktopApp&) const = default;
};

// The listed applications, sorted by name (case and accents ignored), then by ID. An ID found
// in several folders is listed once, from the folder that comes first.
std::vector<DesktopApp> scanDesktopApps();

// The modification time (nanoseconds since the epoch) of each applications folder, in search
// order; none for a folder that does not exist. Adding or removing an entry changes it.
std::vector<std::optional<std::int64_t>> desktopAppFoldersSignature();

// The entry's icon drawn as a `size` × `size` PNG with transparency, the picture centred and
// scaled to fit. Found by name in the hicolor icon theme (PNG, SVG or XPM, the largest size
// first) and in the pixmaps folders, or taken from the absolute path the entry gives. Empty
// when the entry is unknown, has no icon or the icon cannot be drawn.
Bytes desktopAppIconPNG(const std::string& id, int size);

// Compares two names as the list orders them: case and accents ignored.
int compareAppNames(const std::string& a, const std::string& b);

}  // namespace brindlet::platform
