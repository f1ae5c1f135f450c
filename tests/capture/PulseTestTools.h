#pragma once

// Test helpers for the test services' PulseAudio: play a signal on the default sink from a
// thread of the test, and read the server's routing with pactl.

#include <pulse/simple.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace brindlet::testing {

// Plays `signal(frame, channel)` at 48 kHz stereo until stopped (or for at most 120 s).
class TonePlayer {
 public:
  explicit TonePlayer(std::function<float(std::size_t, int)> signal) : signal_(std::move(signal)) {
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
    int error = 0;
    simple_ = pa_simple_new(nullptr, "brindlet test tone", PA_STREAM_PLAYBACK, nullptr, "tone", &spec, nullptr, nullptr,
                            &error);
    if (!simple_) return;
    thread_ = std::thread([this] {
      std::vector<float> chunk(480 * 2);
      std::size_t frame = 0;
      for (int i = 0; i < 12000 && !stop_; ++i) {  // 120 s at most
        for (std::size_t f = 0; f < 480; ++f, ++frame) {
          chunk[2 * f] = signal_(frame, 0);
          chunk[2 * f + 1] = signal_(frame, 1);
        }
        int error = 0;
        if (pa_simple_write(simple_, chunk.data(), chunk.size() * sizeof(float), &error) < 0) break;
      }
    });
  }
  ~TonePlayer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (simple_) pa_simple_free(simple_);
  }
  bool playing() const { return simple_ != nullptr; }

 private:
  std::function<float(std::size_t, int)> signal_;
  pa_simple* simple_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The output of a pactl command, trimmed.
inline std::string pactl(const std::string& arguments) {
  std::string out;
  if (FILE* pipe = popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
    pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The name of the sink each playing stream plays on.
inline std::vector<std::string> streamSinks() {
  std::vector<std::string> sinks;
  std::string list = pactl("list short sink-inputs");
  std::string names = pactl("list short sinks");
  std::size_t at = 0;
  while (at < list.size()) {
    std::size_t end = list.find('\n', at);
    std::string line = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? list.size() : end + 1;
    // index \t sink-index \t ...
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string sinkIndex = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
    std::size_t from = 0;
    while (from < names.size()) {
      std::size_t stop = names.find('\n', from);
      std::string row = names.substr(from, stop == std::string::npos ? std::string::npos : stop - from);
      from = stop == std::string::npos ? names.size() : stop + 1;
      std::size_t t = row.find('\t');
      if (row.substr(0, t) == sinkIndex) sinks.push_back(row.substr(t + 1, row.find('\t', t + 1) - t - 1));
    }
  }
  return sinks;
}

}  // namespace brindlet::testing
