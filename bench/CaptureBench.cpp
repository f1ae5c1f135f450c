// Capture and encoding of a 1920x1080 picture, each beside its bare reference in the same run:
//  - BM_CaptureConvertEncode/0 (Main) and /1 (Main 4:4:4): our grab of a display, conversion and HEVC encoding
//  (HEVCEncoder
//    over the x265 session), against x265 encoding the same pictures, already in Y'CbCr, alone.
//    Counters: ours_ms, bare_ms and overhead_pct (ours over bare).
//  - BM_Capture: one grab through the screen layer against a bare MIT-SHM GetImage of the same
//    rectangle. Counters: ours_ms, bare_ms and overhead_pct.
//  - BM_FramesUnderLoad/0 (encoding on the capture thread) and /1 (encoding ahead, on a thread of
//    the pipeline): content changing 30 times a second over the whole 1920x1080 display, while
//    two threads keep cores busy; frames the host's capture, pipeline and Main 4:4:4 encoder
//    deliver a second, beside FFmpeg set up like the host (MIT-SHM grab at 30 a second,
//    libswscale to 4:4:4, libx265 through libavcodec with the host's settings) on the same
//    screen. Counters: ours_fps, ffmpeg_fps, ratio (ours over FFmpeg) and ours_latency_p50_ms
//    (from a picture on the screen to its frame out of our encoder).
//  - BM_CPUPerBusyFrame: processor time (all threads) per frame of a changing picture: our grab,
//    conversion and Main 4:4:4 encoding beside FFmpeg's as above. Counters: ours_cpu_ms,
//    ffmpeg_cpu_ms and ratio.
// Needs an X server with MIT-SHM: run it with the environment of scripts/test-services
// (scripts/test-services start DIR; . DIR/env; build/bench/bench_CaptureBench).
#include <benchmark/benchmark.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <asio/io_context.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <x265.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "host/capture/HEVCEncoder.h"
#include "host/capture/VideoPipeline.h"
#include "kit/support/SystemClock.h"
#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/ScreenGrabber.h"
#include "platform/screen/XCB.h"
#include "platform/support/MemoryReturn.h"
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

namespace {

double cpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// FFmpeg set up like the host: a MIT-SHM grab of the display (as x11grab does), libswscale from
// B,G,R,X to planar 4:4:4, libx265 through libavcodec with the host's encoder settings.
class FFmpegLikeTheHost {
 public:
  explicit FFmpegLikeTheHost(platform::XConnection& connection) : connection_(connection) {
    xcb_connection_t* c = connection.get();
    int id = shmget(IPC_PRIVATE, size_t(width) * height * 4, IPC_CREAT | 0600);
    address_ = static_cast<uint8_t*>(shmat(id, nullptr, 0));
    segment_ = xcb_generate_id(c);
    free(xcb_request_check(c, xcb_shm_attach_checked(c, segment_, uint32_t(id), 0)));
    shmctl(id, IPC_RMID, nullptr);
    sws_ = sws_getContext(width, height, AV_PIX_FMT_BGR0, width, height, AV_PIX_FMT_YUV444P, SWS_BICUBIC, nullptr,
                          nullptr, nullptr);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx265");
    if (!codec) return;
    context_ = avcodec_alloc_context3(codec);
    context_->width = width;
    context_->height = height;
    context_->pix_fmt = AV_PIX_FMT_YUV444P;
    context_->time_base = AVRational{1, 60};
    context_->bit_rate = 16'000'000;
    context_->colorspace = AVCOL_SPC_BT709;
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    const std::string params = "pools=" + std::to_string(std::max(1u, std::thread::hardware_concurrency())) +
                               ":frame-threads=1:bframes=0:scenecut=0:keyint=7200:psy-rd=0:vbv-maxrate=16000:"
                               "vbv-bufsize=4000:log-level=error";
    av_opt_set(context_->priv_data, "x265-params", params.c_str(), 0);
    if (avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
    frame_ = av_frame_alloc();
    frame_->format = AV_PIX_FMT_YUV444P;
    frame_->width = width;
    frame_->height = height;
    av_frame_get_buffer(frame_, 32);
    packet_ = av_packet_alloc();
  }
  ~FFmpegLikeTheHost() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
    sws_freeContext(sws_);
    xcb_shm_detach(connection_.get(), segment_);
    shmdt(address_);
  }
  bool usable() const { return context_ != nullptr; }

  // Grabs, converts and encodes one frame; the bytes it gave.
  size_t frame() {
    xcb_connection_t* c = connection_.get();
    free(xcb_shm_get_image_reply(
        c, xcb_shm_get_image(c, connection_.root(), 0, 0, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
        nullptr));
    const uint8_t* src[1] = {address_};
    const int srcStride[1] = {width * 4};
    av_frame_make_writable(frame_);
    sws_scale(sws_, src, srcStride, 0, height, frame_->data, frame_->linesize);
    frame_->pts = pts_++;
    size_t bytes = 0;
    if (avcodec_send_frame(context_, frame_) < 0) return 0;
    while (avcodec_receive_packet(context_, packet_) == 0) {
      bytes += size_t(packet_->size);
      av_packet_unref(packet_);
    }
    return bytes;
  }

 private:
  platform::XConnection& connection_;
  uint8_t* address_ = nullptr;
  xcb_shm_seg_t segment_ = 0;
  SwsContext* sws_ = nullptr;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t pts_ = 0;
};

// Busy threads for the duration of one measurement.
class Load {
 public:
  explicit Load(int threads) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        volatile uint64_t x = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
          for (int k = 0; k < 100000; ++k) x = x + k;
        }
      });
    }
  }
  ~Load() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// Shows the screen's pictures in turn, 30 a second, until it is destroyed, and keeps when
// each was on the screen.
class Content {
 public:
  explicit Content(Screen& screen) {
    thread_ = std::thread([this, &screen] {
      auto next = BenchClock::now();
      for (int i = 0; !stop_.load(); ++i) {
        screen.show(i % pictures);
        {
          std::lock_guard guard(lock_);
          shown_.push_back(platform::monotonicRawNowNs());
        }
        next += std::chrono::microseconds(33'333);
        std::this_thread::sleep_until(next);
      }
    });
  }
  ~Content() {
    stop_ = true;
    thread_.join();
  }
  // When the picture a grab at `t` (CLOCK_MONOTONIC_RAW) showed came on the screen; 0: none.
  uint64_t shownBefore(uint64_t t) const {
    std::lock_guard guard(lock_);
    auto after = std::upper_bound(shown_.begin(), shown_.end(), t);
    return after == shown_.begin() ? 0 : *std::prev(after);
  }

 private:
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<uint64_t> shown_;
  std::thread thread_;
};

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

struct Delivery {
  double framesPerSecond = 0;
  double latencyP50Ms = 0;  // from a picture on the screen to its frame out of the encoder
};

constexpr auto measuredPeriod = std::chrono::seconds(4);
constexpr int loadThreads = 2;

// Frames a second through the host's own capture stream, pipeline and encoder.
Delivery oursDelivery(bool encodeAhead, uint32_t displayID, const Content& content) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  std::atomic<int> frames{0};
  std::mutex latencyLock;
  std::vector<double> latencies;
  auto encoder = host::HEVCEncoder::make(CodecProfile::hevcMain444, 16'000'000, [&](const host::EncoderOutput& o) {
    const auto* f = std::get_if<host::EncoderOutput::Frame>(&o.value);
    if (!f) return;
    ++frames;
    const uint64_t now = platform::monotonicRawNowNs(), shown = content.shownBefore(f->frame.captureTimeNs);
    std::lock_guard guard(latencyLock);
    if (shown) latencies.push_back(double(now - shown) / 1e6);
  });
  auto pipeline =
      host::VideoPipeline::make(encoder, Clock::seconds(60), io.get_executor(), SystemClock::shared(), encodeAhead);
  platform::StreamConfiguration config;
  config.sourceRect = platform::ScreenRect{0, 0, width, height};
  platform::ScreenStream stream(
      platform::ContentFilter::display(displayID), config,
      [&](const platform::ScreenSample& s) {
        // The grab has just ended: its time on the raw clock, as the encoder reports.
        pipeline->submit(
            host::CapturedFrame{s.pixelBuffer, displayID, NormalizedRect::full, platform::monotonicRawNowNs()});
      },
      nullptr);
  stream.startCapture();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the first frames settle
  const int before = frames.load();
  {
    std::lock_guard guard(latencyLock);
    latencies.clear();
  }
  const auto start = BenchClock::now();
  std::this_thread::sleep_for(measuredPeriod);
  const int counted = frames.load() - before;
  const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
  stream.stopCapture();
  pipeline->stop();
  work.reset();
  io.stop();
  runner.join();
  return Delivery{counted / seconds, median(latencies)};
}

// Frames a second of FFmpeg grabbing at 30 a second (a late frame is grabbed at once).
double ffmpegFramesPerSecond(FFmpegLikeTheHost& ffmpeg) {
  int frames = 0;
  const auto start = BenchClock::now();
  auto next = start;
  while (BenchClock::now() - start < measuredPeriod) {
    benchmark::DoNotOptimize(ffmpeg.frame());
    ++frames;
    next += std::chrono::microseconds(33'333);
    std::this_thread::sleep_until(next);
  }
  return frames / std::chrono::duration<double>(BenchClock::now() - start).count();
}

// What a comparison with FFmpeg needs: the screen's pictures, a connection and FFmpeg.
struct BesideFFmpeg {
  Screen screen;
  std::unique_ptr<platform::XConnection> connection = platform::XConnection::open();
  FFmpegLikeTheHost ffmpeg{*connection};
};

// Nothing (and the benchmark skipped) without a display or FFmpeg's libx265. The process's
// memory is managed as the host's is.
std::unique_ptr<BesideFFmpeg> besideFFmpeg(benchmark::State& state) {
  platform::returnLargeBlocksToTheSystem();
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("DISPLAY is not set: start scripts/test-services and source its env");
    return nullptr;
  }
  auto beside = std::make_unique<BesideFFmpeg>();
  if (!beside->ffmpeg.usable()) {
    state.SkipWithError("libavcodec has no libx265 encoder");
    return nullptr;
  }
  return beside;
}

// Counters ours_<unit>, ffmpeg_<unit> (each a round's average) and ratio (ours over FFmpeg).
void reportBesideFFmpeg(benchmark::State& state, const std::string& unit, double ours, double ffmpeg, int64_t rounds) {
  state.counters["ours_" + unit] = ours / double(rounds);
  state.counters["ffmpeg_" + unit] = ffmpeg / double(rounds);
  state.counters["ratio"] = ffmpeg > 0 ? ours / ffmpeg : 0;
}

}  // namespace

static void BM_FramesUnderLoad(benchmark::State& state) {
  auto beside = besideFFmpeg(state);
  if (!beside) return;
  Screen& screen = beside->screen;
  FFmpegLikeTheHost& ffmpeg = beside->ffmpeg;
  const bool ahead = state.range(0) == 1;
  double ours = 0, reference = 0, latency = 0;
  int64_t rounds = 0;
  for (auto _ : state) {
    Content content(screen);
    Load load(loadThreads);
    auto oursRun = [&] {
      const Delivery d = oursDelivery(ahead, mainDisplayID(), content);
      ours += d.framesPerSecond;
      latency += d.latencyP50Ms;
    };
    auto referenceRun = [&] { reference += ffmpegFramesPerSecond(ffmpeg); };
    alternate(rounds, oursRun, referenceRun);
    ++rounds;
  }
  reportBesideFFmpeg(state, "fps", ours, reference, rounds);
  state.counters["ours_latency_p50_ms"] = latency / double(rounds);
}
BENCHMARK(BM_FramesUnderLoad)->Arg(0)->Arg(1)->Iterations(2)->Unit(benchmark::kSecond);

static void BM_CPUPerBusyFrame(benchmark::State& state) {
  auto beside = besideFFmpeg(state);
  if (!beside) return;
  Screen& screen = beside->screen;
  FFmpegLikeTheHost& ffmpeg = beside->ffmpeg;
  platform::ScreenGrabber grabber(*beside->connection);
  platform::StreamConfiguration config;
  config.sourceRect = platform::ScreenRect{0, 0, width, height};
  grabber.configure(platform::ContentFilter::display(mainDisplayID()), config);
  size_t bytes = 0;
  auto encoder = host::HEVCEncoder::make(CodecProfile::hevcMain444, 16'000'000, [&](const host::EncoderOutput& o) {
    if (auto* f = std::get_if<host::EncoderOutput::Frame>(&o.value)) bytes += f->frame.payload.size();
  });
  double ours = 0, reference = 0;
  int64_t rounds = 0;
  for (auto _ : state) {
    // Each takes a changed picture, as on a busy screen: the same one for both, so that the
    // encoders see the same content (the pictures differ in how much they cost to encode).
    auto oursRun = [&] {
      screen.show(int(rounds) % pictures);
      const double start = cpuMs();
      host::CapturedFrame frame{grabber.grab(), 1, NormalizedRect::full, platform::monotonicRawNowNs()};
      encoder->prepare(frame);
      encoder->encode(frame, false, false);
      ours += cpuMs() - start;
    };
    auto referenceRun = [&] {
      screen.show(int(rounds) % pictures);
      const double start = cpuMs();
      bytes += ffmpeg.frame();
      reference += cpuMs() - start;
    };
    alternate(rounds, oursRun, referenceRun);
    ++rounds;
  }
  benchmark::DoNotOptimize(bytes);
  reportBesideFFmpeg(state, "cpu_ms", ours, reference, rounds);
}
BENCHMARK(BM_CPUPerBusyFrame)->Iterations(120)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
