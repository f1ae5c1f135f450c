#pragma once

// Running processes as desktop apps: which desktop entry a window's process belongs to, and
// starting an entry's program through GIO with the child's process ID.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brindlet::platform {

// What a running program is recognised by: the entry's StartupWMClass, its ID and the file
// name of the program its Exec line starts.
struct DesktopAppKeys {
  std::string id;
  std::string name;
  std::string wmClass;
  std::string executable;
};

// The keys of every listed desktop entry (not NoDisplay, not Hidden).
std::vector<DesktopAppKeys> desktopAppKeys();

// The entry a window belongs to, given its WM_CLASS class and its process's program file
// name: the entry whose StartupWMClass is the class; else the one whose ID without
// ".desktop" (or its last dotted part) is the class, case ignored; else the first whose
// program is the process's. Nothing when none fits.
std::optional<std::size_t> matchDesktopApp(const std::vector<DesktopAppKeys>& entries, const std::string& wmClass,
                                           const std::string& executable);

// The file name of the process's program (/proc/PID/exe, else /proc/PID/comm); empty when the
// process is not there.
std::string processExecutable(std::int32_t pid);
// Whether the process still exists (a zombie counts as gone).
bool processAlive(std::int32_t pid);

struct DesktopLaunch {
  enum class Error { notFound, failed };
  std::int32_t pid = 0;  // the child; 0 when it could not be told
  std::optional<Error> error;
  std::string message;  // what went wrong, for the log
};

// Starts the entry's program without arguments, detached from this process.
DesktopLaunch launchDesktopApp(const std::string& id);

}  // namespace brindlet::platform
