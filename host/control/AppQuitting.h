#pragma once

#include <cstdint>

namespace brindlet::host {

// Asks running applications to quit.
class AppQuitting {
 public:
  virtual ~AppQuitting() = default;

  // Asks the application of `pid` to close its windows, as its user would, when it is an
  // application with windows of its own; panels, docks and other processes without a normal
  // window are left alone. Gives whether it was asked. Never kills a process.
  virtual bool quit(std::int32_t pid) = 0;
};

}  // namespace brindlet::host
