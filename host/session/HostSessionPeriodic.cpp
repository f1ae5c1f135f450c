// The session's long-running work after hello: following display changes and reporting the
// stream's statistics. Cursor, clipboard and text-focus reporting are not built on this host
// yet.

#include "host/capture/DisplayManager.h"
#include "host/capture/VideoSink.h"
#include "host/HostLog.h"
#include "host/session/HostSession.h"

namespace brindlet::host {

namespace {

asio::awaitable<void> followDisplayChanges(std::weak_ptr<HostSession> weak, AsyncStream<Change> changes) {
  while (auto change = co_await changes.next()) {
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->displaysChanged();
  }
}

}  // namespace

void HostSession::startPeriodicTasks() {
  std::weak_ptr<HostSession> weak = weak_from_this();
  if (env_.displays) tasks_.push_back(spawn(followDisplayChanges(weak, env_.displays->changes())));
  tasks_.push_back(spawn([](std::weak_ptr<HostSession> weak, std::shared_ptr<Clock> clock,
                            Clock::Duration interval) -> asio::awaitable<void> {
    for (;;) {
      co_await clock->sleep(interval);
      auto self = weak.lock();
      if (!self) co_return;
      self->reportStats();
    }
  }(weak, env_.clock, Clock::seconds(env_.statsInterval))));
}

void HostSession::reportStats() {
  if (!sink_) return;
  const VideoSink::Stats stats = sink_->stats();
  const double now = uptime();
  if (lastStats_ && lastStats_->time < now) {
    const double elapsed = now - lastStats_->time;
    status_.fps = static_cast<double>(stats.framesSent - lastStats_->frames) / elapsed;
    status_.bitrateMbps = static_cast<double>(stats.bytesSent - lastStats_->bytes) * 8 / elapsed / 1'000'000;
  }
  lastStats_ = StatsMark{now, stats.framesSent, stats.bytesSent};
  if (status_.fps > 0) {
    sessionLog().info("sending %.1f fps %.1f Mbps dropped=%ld encodeLatency=%.1fms", status_.fps, status_.bitrateMbps,
                      static_cast<long>(stats.framesDropped), stats.lastLatencyMs.value_or(0));
  }
  status_.framesSent = stats.framesSent;
  status_.framesDropped = stats.framesDropped;
  status_.encodeLatencyMs = stats.lastLatencyMs;
  publishStatus();
}

void HostSession::startTextFocus() {}

void HostSession::sendCursorIfNeeded(double) {}

}  // namespace brindlet::host
