#include "host/app/CaptureLifecycle.h"

#include "host/HostLog.h"

namespace brindlet::host {

namespace {

constexpr const char* asleepNote = "Mac is asleep";
constexpr const char* displayAsleepNote = "Mac display is asleep";
constexpr const char* lockedNote = "Mac is locked";

}  // namespace

std::shared_ptr<CaptureLifecycle> CaptureLifecycle::make(Strand main, std::shared_ptr<PowerManaging> power,
                                                         std::function<bool()> isDisplayAsleep,
                                                         std::shared_ptr<Clock> clock, Clock::Duration wakeRetryDelay) {
  return std::make_shared<CaptureLifecycle>(std::move(main), std::move(power), std::move(isDisplayAsleep),
                                            std::move(clock), wakeRetryDelay);
}

CaptureLifecycle::CaptureLifecycle(Strand main, std::shared_ptr<PowerManaging> power,
                                   std::function<bool()> isDisplayAsleep, std::shared_ptr<Clock> clock,
                                   Clock::Duration wakeRetryDelay)
    : main_(std::move(main)),
      power_(std::move(power)),
      isDisplayAsleep_(std::move(isDisplayAsleep)),
      clock_(std::move(clock)),
      wakeRetryDelay_(wakeRetryDelay) {}

HostState CaptureLifecycle::state() const {
  if (asleep_) return HostState::asleep;
  if (displaysAsleep_) return wakePending_ ? HostState::waking : HostState::displayAsleep;
  if (locked_) return HostState::locked;
  return HostState::ok;
}

std::optional<std::string> CaptureLifecycle::noteFor(HostState state) {
  switch (state) {
    case HostState::displayAsleep:
      return displayAsleepNote;
    case HostState::asleep:
      return asleepNote;
    case HostState::locked:
      return lockedNote;
    default:
      return std::nullopt;
  }
}

asio::awaitable<void> CaptureLifecycle::handle(HostPowerEvent event) {
  auto self = shared_from_this();
  sessionLog().info("lifecycle event %s", hostPowerEventName(event));
  switch (event) {
    case HostPowerEvent::willSleep:
      asleep_ = true;
      co_await suspend(asleepNote);
      break;
    case HostPowerEvent::didWake:
      asleep_ = false;
      // A wake always restarts listening: the network may have changed under a sleep.
      if (auto listener = listener_.lock()) listener->start();
      co_await resumeIfSuspended();
      break;
    case HostPowerEvent::screensDidSleep:
      displaysAsleep_ = true;
      co_await suspend(asleep_ ? asleepNote : displayAsleepNote);
      break;
    case HostPowerEvent::screensDidWake:
      displaysAsleep_ = false;
      wakePending_ = false;
      cancelRetry();
      co_await resumeIfSuspended();
      break;
    case HostPowerEvent::screenLocked:
      locked_ = true;
      // Capture goes on: the device sees the lock screen.
      if (auto capture = capture_.lock()) {
        std::optional<std::string> note = lockedNote;
        co_await capture->hostNote(std::move(note));
      }
      break;
    case HostPowerEvent::screenUnlocked:
      locked_ = false;
      if (!asleep_ && !displaysAsleep_) {
        // Restarted whether or not it was held: the picture starts afresh after the lock.
        captureSuspended_ = false;
        co_await resumeCapture();
      }
      break;
  }
  co_await publishState();
}

asio::awaitable<void> CaptureLifecycle::suspend(std::string note) {
  captureSuspended_ = true;
  if (auto capture = capture_.lock()) co_await capture->suspendCapture(std::move(note));
}

asio::awaitable<void> CaptureLifecycle::resumeIfSuspended() {
  if (asleep_ || displaysAsleep_ || !captureSuspended_) co_return;
  captureSuspended_ = false;
  co_await resumeCapture();
}

asio::awaitable<void> CaptureLifecycle::resumeCapture() {
  if (auto capture = capture_.lock()) co_await capture->resumeCapture();
}

asio::awaitable<void> CaptureLifecycle::publishState() {
  auto self = shared_from_this();
  HostState current = state();
  if (lastPublished_ == current) co_return;
  lastPublished_ = current;
  std::optional<std::string> note = noteFor(current);
  if (auto capture = capture_.lock()) co_await capture->publish(current, std::move(note));
}

void CaptureLifecycle::cancelRetry() {
  ++retryGeneration_;
  retryTask_.cancel();
}

asio::awaitable<void> CaptureLifecycle::wakeDisplay(bool displayWasAsleep) {
  auto self = shared_from_this();
  if (!asleep_ && displayWasAsleep && isDisplayAsleep_ && isDisplayAsleep_()) {
    displaysAsleep_ = true;
    if (!captureSuspended_) co_await suspend(displayAsleepNote);
  }
  if (displaysAsleep_ && !asleep_) {
    wakePending_ = true;
    cancelRetry();
    retryTask_ = Task::spawn(main_, retryWake(weak_from_this(), clock_, wakeRetryDelay_, retryGeneration_));
  }
  co_await publishState();
}

asio::awaitable<void> CaptureLifecycle::retryWake(std::weak_ptr<CaptureLifecycle> weak, std::shared_ptr<Clock> clock,
                                                  Clock::Duration delay, std::uint64_t generation) {
  // A cancelled sleep throws, which ends the retry quietly.
  co_await clock->sleep(delay);
  {
    auto self = weak.lock();
    if (!self || self->retryGeneration_ != generation) co_return;
    if (!self->wakePending_ || !self->displaysAsleep_) co_return;
    sessionLog().error("display did not wake within the timeout; retrying once");
    if (self->power_) self->power_->wakeDisplay();
  }
  co_await clock->sleep(delay);
  auto self = weak.lock();
  if (!self || self->retryGeneration_ != generation || !self->wakePending_) co_return;
  sessionLog().error("display still asleep after retry");
  self->wakePending_ = false;
  co_await self->publishState();
}

}  // namespace brindlet::host
