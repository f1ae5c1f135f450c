#pragma once

// Capture of this computer's system audio.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brindlet::host {

// Why audio capture could not start.
class AudioCaptureError : public std::runtime_error {
 public:
  enum class Kind { permissionDenied, failed };

  AudioCaptureError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  static AudioCaptureError failed(const std::string& text) { return {Kind::failed, text}; }

  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

class AudioCapturing {
 public:
  // The captured format.
  struct Format {
    int channels = 0;
    double sampleRate = 0;
  };
  // Interleaved samples and the presentation time of the first one, in microseconds; called
  // on the capture's own serial queue.
  using Handler = std::function<void(const std::vector<float>& samples, std::uint64_t ptsMicros)>;

  virtual ~AudioCapturing() = default;

  // Starts capturing, with this computer's own output muted when `muteLocal`. Throws
  // AudioCaptureError.
  virtual Format start(bool muteLocal, Handler handler) = 0;
  virtual void stop() = 0;
};

// The capture of a host that cannot capture system audio: every start fails.
class UnavailableAudioCapture final : public AudioCapturing {
 public:
  // What its failure says.
  static constexpr const char* text = "Audio capture is not available";

  Format start(bool, Handler) override { throw AudioCaptureError::failed(text); }
  void stop() override {}
};

}  // namespace brindlet::host
