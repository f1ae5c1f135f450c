#pragma once

// The system-audio capture: the sound server's recording of everything this computer plays
// (the platform's monitor tap) goes into a one-second PCMRing, and a 10 ms drain on the
// capture's own strand hands each batch to the handler with its time in microseconds.

#include <atomic>
#include <memory>
#include <mutex>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/capture/AudioCapturing.h"
#include "host/capture/PCMRing.h"
#include "kit/support/Task.h"
#include "platform/audio/PulseMonitor.h"

namespace brindlet::host {

class CoreAudioTapCapture final : public AudioCapturing {
 public:
  // What a refused recording says.
  static constexpr const char* permissionText = "System Audio Recording permission is not granted";

  // `routing`: the one shared by every capture of this process (see PulseMonitor).
  CoreAudioTapCapture(const Executor& executor, std::shared_ptr<Clock> clock,
                      std::shared_ptr<platform::PulseRouting> routing, std::string server = {});
  ~CoreAudioTapCapture() override;

  Format start(bool muteLocal, Handler handler) override;
  void stop() override;

 private:
  struct Drain;
  static asio::awaitable<void> drainLoop(std::shared_ptr<Drain> drain, std::shared_ptr<Clock> clock);
  void tearDown();

  Strand queue_;
  std::shared_ptr<Clock> clock_;
  std::mutex mutex_;  // serialises start and stop
  platform::PulseMonitor tap_;
  std::shared_ptr<Drain> drain_;
  Task timer_;
};

}  // namespace brindlet::host
