#pragma once
// Whether the X server has put its monitors to sleep (DPMS standby, suspend or off).
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "base/Clock.h"

namespace brindlet::platform {

// One connection to the server, opened once and shared by every caller (any thread): a
// question is one round trip.
class MonitorPower {
 public:
  // `displayName` empty: DISPLAY.
  explicit MonitorPower(const std::string& displayName = {});
  ~MonitorPower();
  MonitorPower(const MonitorPower&) = delete;
  MonitorPower& operator=(const MonitorPower&) = delete;

  // True when DPMS is enabled and the monitors are not on; false when they are on; nothing
  // when the server cannot be reached or has no DPMS (Xvfb, for one).
  std::optional<bool> asleep();

 private:
  struct Server;  // the Xlib connection
  std::mutex mutex_;
  std::unique_ptr<Server> server_;
  bool capable_ = false;
};

// The monitors' sleep state as last read, for readers that must not wait for the server (a
// relative pointer move asks on each event). Built once and handed to every reader; follow()
// keeps it fresh, on the strand of its owner's choosing: X tells no client when the monitors
// change power, so it asks again every second of its clock.
//
//   auto sleep = DisplaySleep::open();
//   Task refresh = Task::spawn(strand, DisplaySleep::follow(sleep, clock));
//   ... sleep->asleep() ...   // any thread, no round trip
class DisplaySleep {
 public:
  // One question to the server (MonitorPower::asleep); asked by follow() only.
  using Probe = std::function<std::optional<bool>()>;

  static constexpr std::chrono::seconds refreshInterval{1};

  explicit DisplaySleep(Probe probe) : probe_(std::move(probe)) {}
  // Asks a MonitorPower of the server named `displayName` (empty: DISPLAY).
  static std::shared_ptr<DisplaySleep> open(const std::string& displayName = {});

  // The probe's answer at the last refresh; nothing before the first one. Any thread.
  std::optional<bool> asleep() const;

  // Refreshes the state at once and then every refreshInterval until it is cancelled.
  static asio::awaitable<void> follow(std::shared_ptr<DisplaySleep> sleep, std::shared_ptr<Clock> clock);

 private:
  enum State : int { unknown, awake, sleeping };
  Probe probe_;
  std::atomic<State> state_{unknown};
};

}  // namespace brindlet::platform
