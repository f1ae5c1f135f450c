#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>

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

}  // namespace brindlet::host
