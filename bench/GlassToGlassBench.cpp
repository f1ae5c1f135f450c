// Glass-to-glass latency: from a change of pixels on the X screen to the device's decoded
// frame showing it, through the built host program streaming one 1920x1080 monitor to a test
// device made of the kit's device half, over QUIC on loopback. Beside it, in the same run, the
// encoder's own time per frame: the host's HEVC encoder (Main 4:4:4, the profile the session
// negotiates, at the session's starting bitrate) encoding pictures of the same screen alone.
//
// Each iteration paints a 64x64 square in the middle of the main monitor in the other of two
// colours and waits for the first decoded picture whose square has that colour; the changes
// come 20-80 ms apart, as a user's would, never long enough for the host's idle refresh; in
// each pause the encoder alone encodes one picture, so both see the machine alike.
// Iteration time is that latency (manual time). Counters (milliseconds):
//   p50_ms, p95_ms        glass-to-glass latency
//   encode_p50_ms, encode_p95_ms   the encoder alone, per frame
//   over_encode_ms        p50_ms - encode_p50_ms (the aim: at most 5)
//   host_ms               change to the frame reaching the device (capture, encode, send), p50
//   host_over_encode_ms   host_ms - encode_p50_ms: what the host adds to encoding
//   capture_ms            change to capture (the frame's capture time), p50
//   decode_ms             the device's software decode and conversion to BGR0, p50
// Needs the test services (scripts/test-services start DIR; . DIR/env); runs
// build/host/brindlet-host in a fresh home folder and stops it at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

#include "HostUnderBench.h"
#include "host/capture/HEVCEncoder.h"
#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/ScreenGrabber.h"
#include "platform/video/MediaClock.h"

using namespace brindlet;
using namespace brindlet::testing;
using namespace std::chrono_literals;

namespace {

constexpr int squareSize = 64, squareX = 960 - squareSize / 2, squareY = 540 - squareSize / 2;
constexpr uint32_t colours[2] = {0x00e01010, 0x001030e0};  // 0x00RRGGBB

// A square of our own on the main monitor, painted in one colour at a time.
class Square {
 public:
  Square() {
    c_ = xcb_connect(nullptr, nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    uint32_t values[2] = {colours[0], 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, s->root, squareX, squareY, squareSize, squareSize, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    xcb_map_window(c_, window_);
    sync();
  }
  ~Square() {
    xcb_destroy_window(c_, window_);
    sync();
    xcb_disconnect(c_);
  }
  void paint(int colour) {
    uint32_t value = colours[colour];
    xcb_change_window_attributes(c_, window_, XCB_CW_BACK_PIXEL, &value);
    xcb_clear_area(c_, 0, window_, 0, 0, 0, 0);
    xcb_flush(c_);
  }
  void sync() { free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
};

bool shows(const DecodedPicture& picture, int colour) {
  if (picture.width < 1920 || picture.height < 1080) return false;
  const uint8_t* p =
      picture.bgr0.data() + (size_t(squareY + squareSize / 2) * picture.width + squareX + squareSize / 2) * 4;
  const uint32_t rgb = colours[colour];
  const int want[3] = {int(rgb & 0xff), int((rgb >> 8) & 0xff), int((rgb >> 16) & 0xff)};
  for (int i = 0; i < 3; ++i) {
    if (std::abs(int(p[i]) - want[i]) > 40) return false;
  }
  return true;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
  return values[index];
}

double ms(uint64_t from, uint64_t to) { return to > from ? double(to - from) / 1e6 : 0; }

// The host's encoder alone, on pictures of this screen with the square in either colour.
class EncoderAlone {
 public:
  explicit EncoderAlone(Square& square) {
    auto connection = platform::XConnection::open();
    for (const auto& d : platform::DisplayConfiguration::open()->activeDisplays()) {
      if (d.isMain) displayID_ = d.id;
    }
    platform::ScreenGrabber grabber(*connection);
    grabber.configure(platform::ContentFilter::display(displayID_), platform::StreamConfiguration());
    for (int colour = 0; colour < 2; ++colour) {
      square.paint(colour);
      square.sync();
      pictures_[colour] = grabber.grab();
    }
    encoder_ = host::HEVCEncoder::make(CodecProfile::hevcMain444, 16'000'000, [this](const host::EncoderOutput& o) {
      if (auto* f = std::get_if<host::EncoderOutput::Frame>(&o.value)) bytes_ += f->frame.payload.size();
    });
    for (int i = 0; i < 10; ++i) encode();  // the first frames warm up
    times.clear();
  }
  // Encodes the next picture; its time goes into `times`.
  void encode() {
    const uint64_t start = platform::monotonicRawNowNs();
    encoder_->encode(host::CapturedFrame{pictures_[count_++ % 2], displayID_, NormalizedRect::full, start}, false,
                     false);
    times.push_back(ms(start, platform::monotonicRawNowNs()));
    benchmark::DoNotOptimize(bytes_);
  }

  std::vector<double> times;  // ms a frame

 private:
  uint32_t displayID_ = 0;
  platform::PixelBufferRef pictures_[2];
  std::shared_ptr<host::HEVCEncoder> encoder_;
  size_t bytes_ = 0;
  int count_ = 0;
};

// What the device saw of the change it waits for.
struct Detection {
  std::mutex lock;
  std::condition_variable seen;
  int colour = -1;  // the colour waited for; -1: none
  std::optional<ReceivedPicture> first;
};

}  // namespace

static void BM_GlassToGlass(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("DISPLAY is not set: start scripts/test-services and source its env");
    return;
  }
  Square square;
  EncoderAlone alone(square);

  auto detection = std::make_shared<Detection>();
  StreamingHost session("glass", [detection](TestDevice& device) {
    device.onPicture([detection](const ReceivedPicture& picture) {
      std::lock_guard guard(detection->lock);
      if (detection->colour < 0 || detection->first || !shows(picture.picture, detection->colour)) return;
      detection->first = picture;
      detection->seen.notify_all();
    });
  });
  if (session.error()) {
    state.SkipWithError(session.error()->c_str());
    return;
  }

  std::vector<double> latencies, capture, hostTimes, decode;
  std::mt19937 random(12);
  int colour = 0;
  for (auto _ : state) {
    colour = 1 - colour;
    {
      std::lock_guard guard(detection->lock);
      detection->colour = colour;
      detection->first.reset();
    }
    const uint64_t changedAt = platform::monotonicRawNowNs();
    square.paint(colour);
    std::unique_lock guard(detection->lock);
    if (!detection->seen.wait_for(guard, 3s, [&] { return detection->first.has_value(); })) {
      state.SkipWithError("a change did not reach the device within 3 s");
      break;
    }
    const ReceivedPicture& seen = *detection->first;
    const double latency = ms(changedAt, seen.decodedAtNs);
    latencies.push_back(latency);
    capture.push_back(ms(changedAt, seen.captureTimeNs));
    hostTimes.push_back(ms(changedAt, seen.receivedAtNs));
    decode.push_back(ms(seen.receivedAtNs, seen.decodedAtNs));
    detection->colour = -1;
    guard.unlock();
    state.SetIterationTime(latency / 1000.0);
    // The reference takes its turn while the host is idle, under the same load as the host.
    const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(20 + random() % 61);
    alone.encode();
    std::this_thread::sleep_until(next);
  }
  session.stop();

  const double p50 = percentile(latencies, 0.5), encodeP50 = percentile(alone.times, 0.5);
  state.counters["p50_ms"] = p50;
  state.counters["p95_ms"] = percentile(latencies, 0.95);
  state.counters["encode_p50_ms"] = encodeP50;
  state.counters["encode_p95_ms"] = percentile(alone.times, 0.95);
  state.counters["over_encode_ms"] = p50 - encodeP50;
  state.counters["host_ms"] = percentile(hostTimes, 0.5);
  state.counters["host_over_encode_ms"] = percentile(hostTimes, 0.5) - encodeP50;
  state.counters["capture_ms"] = percentile(capture, 0.5);
  state.counters["decode_ms"] = percentile(decode, 0.5);
}
BENCHMARK(BM_GlassToGlass)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
