#pragma once

#include <filesystem>

namespace brindlet::host {

// The folder where files received from devices are kept, one subfolder per transfer.
struct HostInbox {
  std::filesystem::path root;

  // The user's cache folder, then "io.tavix.nolu.host", then "Inbox".
  static std::filesystem::path defaultRoot();
};

}  // namespace brindlet::host
