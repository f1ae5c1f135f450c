#pragma once

// Recording of everything this computer plays: the monitor of the PulseAudio server's default
// sink, as a stereo mix in Float32 at the sink's rate. With `muteLocal` the playing streams move
// onto a silent sink of our own whose monitor is recorded instead, so the speakers fall silent
// while the recording still hears everything; stop() (and the destructor) moves every stream
// back where it was and restores the default sink. A monitor left behind by a process that
// died is cleaned up, and its routing restored, by the next start.
//
// Several monitors of one process may run at once (a new recording starts before the one it
// replaces has stopped). They share one PulseRouting, made once by the process and handed to
// each: every change of the routing goes through it one at a time, muting monitors share one
// silent sink, and the routing is restored when the last of them stops.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace brindlet::platform {

// A failed step: its name, PulseAudio's error number and its text.
class PulseError : public std::runtime_error {
 public:
  PulseError(std::string step, int code, const std::string& text);

  const std::string& step() const { return step_; }
  int code() const { return code_; }
  // The server refused us (access denied), as opposed to failing or being absent.
  bool refused() const;

 private:
  std::string step_;
  int code_;
};

// The routing shared by the monitors of one process on one server; any thread.
class PulseRouting {
 public:
  PulseRouting();
  ~PulseRouting();
  PulseRouting(const PulseRouting&) = delete;
  PulseRouting& operator=(const PulseRouting&) = delete;

 private:
  friend class PulseMonitor;
  struct Shared;
  std::unique_ptr<Shared> shared_;
};

class PulseMonitor {
 public:
  struct Format {
    int channels = 0;
    double sampleRate = 0;
  };
  // Interleaved samples of `frames` frames and the CLOCK_MONOTONIC_RAW time (ns) at which the
  // first of them was recorded; called on the monitor's own thread.
  using Buffers = std::function<void(const float* samples, std::size_t frames, std::uint64_t hostTimeNs)>;

  // `server`: the server to use; empty for the default one (PULSE_SERVER or the user's).
  // `routing` is shared with every other monitor of this process on that server.
  explicit PulseMonitor(std::shared_ptr<PulseRouting> routing, std::string server = {});
  ~PulseMonitor();
  PulseMonitor(const PulseMonitor&) = delete;
  PulseMonitor& operator=(const PulseMonitor&) = delete;

  // Connects and starts recording; throws PulseError, leaving nothing behind.
  Format start(bool muteLocal, Buffers buffers);
  // Stops recording and restores the routing; returns once no callback runs any more.
  void stop();

  // The name of the silent sink that muting uses.
  static constexpr const char* silentSinkName = "brindlet_silent";

 private:
  struct State;
  std::shared_ptr<PulseRouting> routing_;
  std::string server_;
  std::unique_ptr<State> state_;
};

}  // namespace brindlet::platform
