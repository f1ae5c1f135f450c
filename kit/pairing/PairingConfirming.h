#pragma once

#include <string>

#include <asio/awaitable.hpp>

namespace brindlet {

// Asks the host's user to accept a pairing by compared code. The gate races confirm()
// against its own timer and cancels it when the timer wins or the pairing ends; a cancelled
// confirm should end promptly (its answer is ignored then).
class PairingConfirming {
 public:
  virtual ~PairingConfirming() = default;
  // True when the user accepts the device `deviceName` showing the six-digit `code`.
  virtual asio::awaitable<bool> confirm(std::string deviceName, std::string code) = 0;
};

}  // namespace brindlet
