#include "host/control/SystemAppQuitter.h"

#include <algorithm>

#include "platform/windows/WindowManager.h"

namespace brindlet::host {

bool SystemAppQuitter::quit(std::int32_t pid) {
  if (pid < 1) return false;
  auto windows = windows_->windowsFrontToBack();
  std::erase_if(windows, [pid](const platform::ManagedWindow& window) { return window.pid != pid; });
  // An application of the user's own shows at least one normal window of its own.
  const bool regular = std::any_of(windows.begin(), windows.end(), [](const platform::ManagedWindow& window) {
    return window.type == platform::ManagedWindowType::normal && window.transientFor == 0;
  });
  if (!regular) return false;
  for (const auto& window : windows) windows_->close(window.id);
  return true;
}

}  // namespace brindlet::host
