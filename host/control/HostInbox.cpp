#include "host/control/HostInbox.h"

#include <sys/stat.h>

#include <string>
#include <system_error>

#include "platform/storage/StorageDirectories.h"

namespace brindlet::host {

std::filesystem::path HostInbox::defaultRoot() {
  return platform::StorageDirectories::cachesDirectory() / "io.tavix.nolu.host" / "Inbox";
}

void HostInbox::prune(double maxAgeSeconds, std::chrono::system_clock::time_point now,
                      const std::set<std::uint64_t>& keeping) const {
  std::set<std::string> kept;
  for (std::uint64_t id : keeping) kept.insert(std::to_string(id));
  std::error_code error;
  std::filesystem::directory_iterator children(root, error);
  if (error) return;
  const double nowSeconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  for (const auto& child : children) {
    if (kept.count(child.path().filename().string())) continue;
    struct stat info {};
    // The folder itself, not what a link points to.
    if (::lstat(child.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    const double modified = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
    if (nowSeconds - modified > maxAgeSeconds) {
      std::filesystem::remove_all(child.path(), error);  // a failed removal is left for next time
    }
  }
}

}  // namespace brindlet::host
