#include "host/capture/CoreAudioTapCapture.h"

#include <chrono>
#include <cmath>

namespace brindlet::host {

// What the drain shares with the tap's thread and the capture.
struct CoreAudioTapCapture::Drain {
  std::shared_ptr<PCMRing> ring;
  Handler handler;
  // Held while a batch is handed over; stop clears `running` under it, so that no handler
  // runs once stop has returned.
  std::mutex mutex;
  bool running = true;
};

CoreAudioTapCapture::CoreAudioTapCapture(const Executor& executor, std::shared_ptr<Clock> clock,
                                         std::shared_ptr<platform::PulseRouting> routing, std::string server)
    : queue_(makeStrand(executor)), clock_(std::move(clock)), tap_(std::move(routing), std::move(server)) {}

CoreAudioTapCapture::~CoreAudioTapCapture() { stop(); }

AudioCapturing::Format CoreAudioTapCapture::start(bool muteLocal, Handler handler) {
  std::lock_guard lock(mutex_);
  tearDown();
  auto drain = std::make_shared<Drain>();
  drain->handler = std::move(handler);
  // The ring is made once the format is known; the tap writes nothing before start returns it.
  auto ring = std::make_shared<std::shared_ptr<PCMRing>>();
  platform::PulseMonitor::Format format;
  try {
    format = tap_.start(muteLocal, [ring](const float* samples, std::size_t frames, std::uint64_t timeNs) {
      if (auto r = std::atomic_load(ring.get())) r->write(samples, frames, r->channels(), timeNs);
    });
  } catch (const platform::PulseError& error) {
    if (error.refused()) throw AudioCaptureError(AudioCaptureError::Kind::permissionDenied, permissionText);
    throw AudioCaptureError::failed(error.what());
  }
  if (format.channels < 1 || !(format.sampleRate > 0)) {
    tap_.stop();
    throw AudioCaptureError::failed("Unsupported tap format");
  }
  drain->ring = std::make_shared<PCMRing>(format.channels, static_cast<int>(format.sampleRate));
  drain->ring->setSampleRate(format.sampleRate);
  std::atomic_store(ring.get(), drain->ring);
  drain_ = drain;
  timer_ = Task::spawn(queue_, drainLoop(drain, clock_));
  return {format.channels, format.sampleRate};
}

asio::awaitable<void> CoreAudioTapCapture::drainLoop(std::shared_ptr<Drain> drain, std::shared_ptr<Clock> clock) {
  for (;;) {
    co_await clock->sleep(std::chrono::milliseconds(10));
    std::lock_guard lock(drain->mutex);
    if (!drain->running) co_return;
    if (auto batch = drain->ring->drain()) drain->handler(batch->first, batch->second / 1000);
  }
}

void CoreAudioTapCapture::stop() {
  std::lock_guard lock(mutex_);
  tearDown();
}

void CoreAudioTapCapture::tearDown() {
  if (drain_) {
    {
      std::lock_guard drainLock(drain_->mutex);
      drain_->running = false;
    }
    timer_.cancel();
    drain_.reset();
  }
  tap_.stop();
}

}  // namespace brindlet::host
