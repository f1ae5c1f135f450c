#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet::host {

// The folder where files received from devices are kept, one subfolder per transfer.
struct HostInbox {
  std::filesystem::path root;

  // The user's cache folder, then "io.tavix.nolu.host", then "Inbox".
  static std::filesystem::path defaultRoot();

  // Removes every transfer folder last modified more than `maxAgeSeconds` before `now`, except
  // those named after a kept transfer ID. Plain files are left alone; nothing is reported (a
  // missing inbox or a folder that cannot be read or removed is skipped).
  void prune(double maxAgeSeconds, std::chrono::system_clock::time_point now,
             const std::set<std::uint64_t>& keeping) const;
};

// A name a device offered, made safe to use as one file in a transfer folder: separators become
// "_", control characters go, blanks around it and leading dots are trimmed, an empty result is
// "file", and it is shortened to 200 UTF-8 bytes. Always valid UTF-8.
std::string sanitizedFileName(std::string_view name);

// `name` within `maxBytes` UTF-8 bytes: whole characters are taken off the end of the stem, so
// an extension shorter than 21 bytes survives ("file" stands for a stem cut away entirely).
std::string limitFileNameLength(std::string_view name, std::size_t maxBytes);

// One safe name per offered name, in order, none equal to another when compared in lower
// case: a repeat gets " 2", " 3" ... before its extension.
std::vector<std::string> uniqueFileNames(const std::vector<std::string>& names);

}  // namespace brindlet::host
