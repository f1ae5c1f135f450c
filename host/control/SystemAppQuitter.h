#pragma once

#include <memory>

#include "host/control/AppQuitting.h"

namespace brindlet::platform {
class WindowManager;
}

namespace brindlet::host {

// Quits an application by asking the window manager to close each of its windows.
class SystemAppQuitter final : public AppQuitting {
 public:
  explicit SystemAppQuitter(std::shared_ptr<platform::WindowManager> windows) : windows_(std::move(windows)) {}

  bool quit(std::int32_t pid) override;

 private:
  std::shared_ptr<platform::WindowManager> windows_;
};

}  // namespace brindlet::host
