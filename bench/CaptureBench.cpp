// Capture and encoding of a 1920x1080 picture, each beside its bare reference in the same run:
//  - BM_CaptureConvertEncode/0 (Main) and /1 (Main 4:4:4): our grab of a display, conversion and HEVC encoding
//  (HEVCEncoder
//    over the x265 session), against x265 encoding the same pictures, already in Y'CbCr, alone.
//    Counters: ours_ms, bare_ms and overhead_pct (ours over bare).
//  - BM_Capture: one grab through the screen layer against a bare MIT-SHM GetImage of the same
//    rectangle. Counters: ours_ms, bare_ms and overhead_pct.
// Needs an X server with MIT-SHM: run it with the environment of scripts/test-services
// (scripts/test-services start DIR; . DIR/env; build/bench/bench_CaptureBench).
#include <benchmark/benchmark.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <x265.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "host/capture/HEVCEncoder.h"
#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/ScreenGrabber.h"
#include "platform/screen/XCB.h"
#include "platform/video/MediaClock.h"
#include "platform/video/PixelConverter.h"

using namespace brindlet;
using BenchClock = std::chrono::steady_clock;

namespace {

constexpr int width = 1920, height = 1080, pictures = 6;

// A picture of coloured blocks, lines and a gradient that changes with `seed`.
void fill(uint32_t* pixels, int seed) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int block = ((x / 48) + (y / 32) + seed) % 5;
      static const uint32_t colours[5] = {0xd01010, 0x1060e0, 0xf8f8f8, 0x20a040, 0x303030};
      uint32_t rgb = colours[block];
      if ((x + seed * 7) % 61 == 0 || (y + seed * 3) % 43 == 0) rgb = 0x101010;
      if (block == 2) {
        uint32_t v = 128 + ((x + y * 2 + seed * 31) % 128);
        rgb = (v << 16) | (v << 8) | (255 - v / 2);
      }
      pixels[size_t(y) * width + x] = rgb;
    }
  }
}

// An override-redirect window over the main display that shows the pictures.
struct Screen {
  xcb_connection_t* c = nullptr;
  xcb_window_t window = 0;
  xcb_gcontext_t gc = 0;
  std::vector<std::vector<uint32_t>> images;

  Screen() {
    c = xcb_connect(nullptr, nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    window = xcb_generate_id(c);
    uint32_t values[2] = {0, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, s->root, 0, 0, width, height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      s->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, 0, nullptr);
    images.resize(pictures);
    for (int i = 0; i < pictures; ++i) {
      images[i].resize(size_t(width) * height);
      fill(images[i].data(), i);
    }
  }
  ~Screen() {
    xcb_destroy_window(c, window);
    xcb_disconnect(c);
  }
  void show(int i) {
    const int rows = 60000 / width;
    for (int y = 0; y < height; y += rows) {
      int n = std::min(rows, height - y);
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, width, uint16_t(n), 0, int16_t(y), 0, 24,
                    uint32_t(n * width * 4), reinterpret_cast<const uint8_t*>(&images[i][size_t(y) * width]));
    }
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }
};

uint32_t mainDisplayID() {
  for (const auto& d : platform::DisplayConfiguration::open()->activeDisplays()) {
    if (d.isMain) return d.id;
  }
  return 0;
}

// x265 as the video layer sets it up, fed Y'CbCr directly.
struct BareEncoder {
  const bool full;
  x265_param* param = nullptr;
  x265_encoder* encoder = nullptr;
  std::vector<std::vector<uint8_t>> planes[3];

  BareEncoder(const std::vector<std::vector<uint32_t>>& images, bool yuv444) : full(yuv444) {
    param = x265_param_alloc();
    x265_param_default_preset(param, "ultrafast", "zerolatency");
    x265_param_parse(param, "pools", std::to_string(std::max(1u, std::thread::hardware_concurrency())).c_str());
    param->frameNumThreads = 1;
    param->logLevel = X265_LOG_ERROR;
    param->sourceWidth = width;
    param->sourceHeight = height;
    param->internalCsp = yuv444 ? X265_CSP_I444 : X265_CSP_I420;
    param->fpsNum = 60;
    param->fpsDenom = 1;
    param->bframes = 0;
    param->scenecutThreshold = 0;
    param->keyframeMax = 7200;
    param->bRepeatHeaders = 0;
    param->bAnnexB = 0;
    param->psyRd = 0;
    param->rc.rateControlMode = X265_RC_ABR;
    param->rc.bitrate = 16000;
    param->rc.vbvMaxBitrate = 16000;
    param->rc.vbvBufferSize = 4000;
    x265_param_apply_profile(param, yuv444 ? "main444-8" : "main");
    encoder = x265_encoder_open(param);
    auto converter = platform::PixelConverter::toPlanar(
        width, height, yuv444 ? platform::PlanarFormat::yuv444 : platform::PlanarFormat::yuv420, 4);
    for (const auto& image : images) {
      for (int p = 0; p < 3; ++p)
        planes[p].emplace_back(p == 0 || full ? size_t(width) * height : size_t(width) * height / 4);
      platform::PlanarPicture out;
      for (int p = 0; p < 3; ++p) {
        out.planes[p] = planes[p].back().data();
        out.strides[p] = p == 0 || full ? width : width / 2;
      }
      converter->convert(reinterpret_cast<const uint8_t*>(image.data()), width * 4, out);
    }
  }
  ~BareEncoder() {
    x265_encoder_close(encoder);
    x265_param_free(param);
  }
  size_t encode(int i, int64_t pts) {
    x265_picture in, out;
    x265_picture_init(param, &in);
    x265_picture_init(param, &out);
    for (int p = 0; p < 3; ++p) {
      in.planes[p] = planes[p][i].data();
      in.stride[p] = p == 0 || full ? width : width / 2;
    }
    in.pts = pts;
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    x265_encoder_encode(encoder, &nals, &count, &in, &out);
    size_t bytes = 0;
    for (uint32_t n = 0; n < count; ++n) bytes += nals[n].sizeBytes;
    return bytes;
  }
};

void report(benchmark::State& state, double ours, double bare, int64_t rounds) {
  state.counters["ours_ms"] = ours / rounds;
  state.counters["bare_ms"] = bare / rounds;
  state.counters["overhead_pct"] = bare > 0 ? (ours - bare) / bare * 100.0 : 0;
}

// Runs the pair in turns, each going first every other round, so neither always meets a
// warm or a cold cache.
template <typename Ours, typename Reference>
void alternate(int64_t round, Ours& ours, Reference& reference) {
  if (round % 2) {
    ours();
    reference();
  } else {
    reference();
    ours();
  }
}

double msSince(BenchClock::time_point start) {
  return std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
}

}  // namespace

static void BM_CaptureConvertEncode(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("DISPLAY is not set: start scripts/test-services and source its env");
    return;
  }
  Screen screen;
  auto connection = platform::XConnection::open();
  platform::ScreenGrabber grabber(*connection);
  platform::StreamConfiguration config;
  config.sourceRect = platform::ScreenRect{0, 0, width, height};
  grabber.configure(platform::ContentFilter::display(mainDisplayID()), config);
  size_t ourBytes = 0;
  const bool yuv444 = state.range(0) == 1;
  auto encoder = host::HEVCEncoder::make(yuv444 ? CodecProfile::hevcMain444 : CodecProfile::hevcMain, 16'000'000,
                                         [&](const host::EncoderOutput& o) {
                                           if (auto* f = std::get_if<host::EncoderOutput::Frame>(&o.value))
                                             ourBytes += f->frame.payload.size();
                                         });
  BareEncoder bare(screen.images, yuv444);
  double oursMs = 0, bareMs = 0;
  int64_t rounds = 0;
  int i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    screen.show(i % pictures);
    state.ResumeTiming();
    // Which of the two goes first alternates, so neither always finds the caches warm.
    auto ours = [&] {
      auto start = BenchClock::now();
      platform::PixelBufferRef picture = grabber.grab();
      encoder->encode(host::CapturedFrame{picture, 1, NormalizedRect::full, platform::monotonicRawNowNs()}, false,
                      false);
      oursMs += msSince(start);
    };
    auto reference = [&] {
      auto start = BenchClock::now();
      benchmark::DoNotOptimize(bare.encode(i % pictures, i));
      bareMs += msSince(start);
    };
    alternate(i, ours, reference);
    ++rounds;
    ++i;
  }
  benchmark::DoNotOptimize(ourBytes);
  report(state, oursMs, bareMs, rounds);
}
// Argument 0: Main (4:2:0); 1: Main 4:4:4.
BENCHMARK(BM_CaptureConvertEncode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(60);

static void BM_Capture(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("DISPLAY is not set: start scripts/test-services and source its env");
    return;
  }
  Screen screen;
  screen.show(0);
  auto connection = platform::XConnection::open();
  platform::ScreenGrabber grabber(*connection);
  platform::StreamConfiguration config;
  config.sourceRect = platform::ScreenRect{0, 0, width, height};
  grabber.configure(platform::ContentFilter::display(mainDisplayID()), config);

  // The bare grab: one segment, GetImage into it.
  xcb_connection_t* c = connection->get();
  int id = shmget(IPC_PRIVATE, size_t(width) * height * 4, IPC_CREAT | 0600);
  void* address = shmat(id, nullptr, 0);
  xcb_shm_seg_t segment = xcb_generate_id(c);
  free(xcb_request_check(c, xcb_shm_attach_checked(c, segment, uint32_t(id), 0)));
  shmctl(id, IPC_RMID, nullptr);

  double oursMs = 0, bareMs = 0;
  int64_t rounds = 0;
  for (auto _ : state) {
    auto ours = [&] {
      auto start = BenchClock::now();
      benchmark::DoNotOptimize(grabber.grab());
      oursMs += msSince(start);
    };
    auto reference = [&] {
      auto start = BenchClock::now();
      free(xcb_shm_get_image_reply(
          c, xcb_shm_get_image(c, connection->root(), 0, 0, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
          nullptr));
      benchmark::DoNotOptimize(address);
      bareMs += msSince(start);
    };
    alternate(rounds, ours, reference);
    ++rounds;
  }
  xcb_shm_detach(c, segment);
  shmdt(address);
  report(state, oursMs, bareMs, rounds);
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
