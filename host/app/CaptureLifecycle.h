#pragma once

// Turns sleep, display sleep and screen lock into the suspension and resumption of the
// current session's capture and into the host state the device is shown, and follows up a
// device's request to wake a sleeping display with one retry.
//
//   auto lifecycle = CaptureLifecycle::make(mainStrand, power, isDisplayAsleep, clock);
//   lifecycle->setCapture(model);          // both held weakly
//   lifecycle->setListener(supervisor);
//   co_await lifecycle->handle(HostPowerEvent::willSleep);   // one event at a time, in order
//   co_await lifecycle->wakeDisplay(displayWasAsleep);        // a device asked for the display
//
// It lives on the application's main strand: every operation runs there. While a call into
// the session is awaited, other main-strand work (a wake request, the retry) may run in
// between. A gone capture controller or listener turns the calls to it into nothing; the
// flags and the last published state still change, and a session made current later is
// told them by the application model.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/app/CaptureControlling.h"
#include "host/app/ListenerSupervisor.h"
#include "host/capture/HostPowerEvent.h"
#include "host/capture/PowerManaging.h"
#include "kit/protocol/MediaRecords.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class CaptureLifecycle final : public std::enable_shared_from_this<CaptureLifecycle> {
 public:
  static constexpr Clock::Duration defaultWakeRetryDelay = std::chrono::seconds(3);

  // `isDisplayAsleep` probes the main display (on the main strand); `clock` times the wake
  // retry, which waits `wakeRetryDelay` before checking a requested wake and again after
  // retrying it.
  static std::shared_ptr<CaptureLifecycle> make(Strand main, std::shared_ptr<PowerManaging> power,
                                                std::function<bool()> isDisplayAsleep, std::shared_ptr<Clock> clock,
                                                Clock::Duration wakeRetryDelay = defaultWakeRetryDelay);

  void setCapture(std::weak_ptr<CaptureControlling> capture) { capture_ = std::move(capture); }
  void setListener(std::weak_ptr<ListenerControlling> listener) { listener_ = std::move(listener); }

  // Applies one event, then publishes the state.
  asio::awaitable<void> handle(HostPowerEvent event);
  // A device asked for the display; `displayWasAsleep` is the session's own probe of it.
  asio::awaitable<void> wakeDisplay(bool displayWasAsleep);
  // Hands the current state to the capture controller when it differs from the last one.
  asio::awaitable<void> publishState();

  bool asleep() const { return asleep_; }
  bool displaysAsleep() const { return displaysAsleep_; }
  bool locked() const { return locked_; }
  bool captureSuspended() const { return captureSuspended_; }
  bool wakePending() const { return wakePending_; }
  const std::optional<HostState>& lastPublished() const { return lastPublished_; }

  // The state the four flags make (never captureBlocked or permissionMissing).
  HostState state() const;
  // The note that goes with such a state: none for ok and waking.
  static std::optional<std::string> noteFor(HostState state);

  CaptureLifecycle(Strand main, std::shared_ptr<PowerManaging> power, std::function<bool()> isDisplayAsleep,
                   std::shared_ptr<Clock> clock, Clock::Duration wakeRetryDelay);

 private:
  asio::awaitable<void> suspend(std::string note);
  asio::awaitable<void> resumeIfSuspended();
  asio::awaitable<void> resumeCapture();
  void cancelRetry();
  static asio::awaitable<void> retryWake(std::weak_ptr<CaptureLifecycle> weak, std::shared_ptr<Clock> clock,
                                         Clock::Duration delay, std::uint64_t generation);

  Strand main_;
  bool asleep_ = false;
  bool displaysAsleep_ = false;
  bool locked_ = false;
  bool captureSuspended_ = false;
  bool wakePending_ = false;
  std::optional<HostState> lastPublished_;
  Task retryTask_;
  // Which retry is the live one: a cancelled retry that still runs a step finds it stale.
  std::uint64_t retryGeneration_ = 0;
  std::weak_ptr<CaptureControlling> capture_;
  std::weak_ptr<ListenerControlling> listener_;
  std::shared_ptr<PowerManaging> power_;
  std::function<bool()> isDisplayAsleep_;
  std::shared_ptr<Clock> clock_;
  Clock::Duration wakeRetryDelay_;
};

}  // namespace brindlet::host
