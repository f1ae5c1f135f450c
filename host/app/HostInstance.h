#pragma once

// The name under which one host runs per user and data folder on the session bus, and what a
// later start hands to the running host.
//
//   std::string name = hostInstanceName(StorageDirectories::applicationSupportDirectory(), accountHome());
//   auto claim = platform::SingleInstance::claim(name, hostLinks(argc, argv), handlers);

#include <filesystem>
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

}  // namespace brindlet::host
