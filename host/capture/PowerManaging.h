#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brindlet::host {

// Power assertions of this computer: keeping the display awake while a device is connected,
// and waking it on demand.
class PowerManaging {
 public:
  using AssertionID = std::uint32_t;

  virtual ~PowerManaging() = default;

  // Keeps the display from sleeping for idleness under `name`; the held assertion's ID, or
  // nothing when it could not be taken.
  virtual std::optional<AssertionID> holdDisplayAwake(std::string_view name) = 0;
  // Releases the assertion when this manager still holds it; false (and nothing released)
  // when it was released before.
  virtual bool release(AssertionID id) = 0;
  // Releases every assertion still held (at termination).
  virtual void releaseAll() = 0;
  // Declares user activity so that a sleeping display lights up.
  virtual void wakeDisplay() = 0;
};

}  // namespace brindlet::host
