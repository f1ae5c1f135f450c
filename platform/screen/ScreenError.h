#pragma once

#include <stdexcept>

namespace brindlet::platform {

// A failure of the screen layer, carrying a readable description.
class ScreenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace brindlet::platform
