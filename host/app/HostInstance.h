#pragma once

// The name under which one host runs per user and data folder on the session bus, and what a
// later start hands to the running host.
//
//   std::string name = hostInstanceName(StorageDirectories::applicationSupportDirectory(), accountHome());
//   auto claim = platform::SingleInstance::claim(name, hostLinks(argc, argv), handlers);

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brindlet::host {

// The application's own name for the user's usual data folder (`accountHome`/.local/share);
// for any other folder (a second identity, a test's), that name with a suffix made from the
// folder, so that each identity has one host and only one.
std::string hostInstanceName(const std::filesystem::path& dataFolder, const std::filesystem::path& accountHome);

// The account's home folder from the user database (not $HOME); empty when it has none.
std::filesystem::path accountHome();

// The links among the program's arguments (anything with a scheme, as the desktop entry's %u
// gives); other arguments are left out.
std::vector<std::string> hostLinks(int argc, char** argv);

// Starts a new copy of this program for "Relaunch": it waits until this host has given up its
// name, then runs in its place. The process ID of the new copy; nothing (with the reason in
// `error`) when it could not be started, and then this host must go on running.
std::optional<int> startRelaunchedHost(std::string* error);
// The variable that marks a relaunched copy; read (and cleared) by the new copy at its start.
inline constexpr const char* relaunchVariable = "BRINDLET_RELAUNCHED";

}  // namespace brindlet::host
