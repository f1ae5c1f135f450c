#include "host/control/HostInbox.h"

#include "platform/storage/StorageDirectories.h"

namespace brindlet::host {

std::filesystem::path HostInbox::defaultRoot() {
  return platform::StorageDirectories::cachesDirectory() / "io.tavix.nolu.host" / "Inbox";
}

}  // namespace brindlet::host
