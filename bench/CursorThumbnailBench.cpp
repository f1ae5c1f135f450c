// The cursor's cost with a still cursor, and a display thumbnail beside its bare steps:
//  - BM_StillCursorSecond: one second of the session's cursor work while nothing moves (60
//    position reads through the input injector, 30 shape polls of the cursor source), against
//    90 bare XQueryPointer round trips. Counters: ours_core_pct and bare_core_pct (CPU of this
//    process per second, in percent of one core) and ratio.
//  - BM_Thumbnail: one 480-pixel thumbnail of the 1920x1080 main display through the host's
//    thumbnail service, against a bare MIT-SHM GetImage, libswscale scaling and libturbojpeg
//    encoding of the same display. Counters: ours_ms, bare_ms and ratio.
// Needs the X server of scripts/test-services (start DIR; . DIR/env; build/bench/bench_CursorThumbnailBench).
#include <benchmark/benchmark.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <chrono>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

extern "C" {
#include <libswscale/swscale.h>
}
#include <turbojpeg.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "host/capture/ScreenshotThumbnails.h"
#include "host/capture/SystemCursorSource.h"
#include "host/control/CGEventInjector.h"
#include "host/control/LayoutReverseMap.h"
#include "kit/support/SystemClock.h"
#include "platform/input/EventPoster.h"
#include "platform/screen/CursorImage.h"
#include "platform/screen/DisplayConfiguration.h"
#include "platform/screen/DisplaySnapshot.h"

using namespace brindlet;
using namespace brindlet::host;

namespace {

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

asio::awaitable<void> stillCursorSecond(CGEventInjector& injector, SystemCursorSource& cursor,
                                        std::optional<std::uint64_t>& token) {
  for (int i = 0; i < 60; ++i) {
    benchmark::DoNotOptimize(injector.resyncCursor(double(i) / 60));
    if (i % 2 == 0) {
      auto poll = co_await cursor.poll(token);
      if (poll) token = poll->token;
      benchmark::DoNotOptimize(poll);
    }
  }
}

void BM_StillCursorSecond(benchmark::State& state) {
  CGEventInjector injector(std::make_shared<platform::EventPoster>(), SystemClock::shared(),
                           CGEventInjector::systemKeyboard(std::make_shared<KeyboardLayouts>()));
  SystemCursorSource cursor(platform::CursorImageSource::open());
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  std::optional<std::uint64_t> token;
  asio::io_context io;
  double ours = 0, bare = 0;
  for (auto _ : state) {
    double start = cpuSeconds();
    asio::co_spawn(io, stillCursorSecond(injector, cursor, token), asio::detached);
    io.restart();
    io.run();
    ours += cpuSeconds() - start;
    start = cpuSeconds();
    for (int i = 0; i < 90; ++i) free(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
    bare += cpuSeconds() - start;
  }
  xcb_disconnect(c);
  const double n = double(state.iterations());
  state.counters["ours_core_pct"] = ours / n * 100;
  state.counters["bare_core_pct"] = bare / n * 100;
  state.counters["ratio"] = bare > 0 ? ours / bare : 0;
}

void BM_Thumbnail(benchmark::State& state) {
  auto displays = platform::DisplayConfiguration::open()->activeDisplays();
  const platform::ScreenDisplay& main = displays.front();
  const int w = int(main.pixelWidth), h = int(main.pixelHeight);
  const int outW = 480, outH = int(double(h) / w * outW);
  asio::io_context io;
  ScreenshotThumbnails thumbnails(io.get_executor(), platform::DisplaySnapshot::open());

  // The bare steps.
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  int shmid = shmget(IPC_PRIVATE, size_t(w) * h * 4, IPC_CREAT | 0600);
  auto* pixels = static_cast<uint8_t*>(shmat(shmid, nullptr, 0));
  xcb_shm_seg_t seg = xcb_generate_id(c);
  xcb_shm_attach(c, seg, uint32_t(shmid), 0);
  SwsContext* sws =
      sws_getContext(w, h, AV_PIX_FMT_BGR0, outW, outH, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
  std::vector<uint8_t> scaled(size_t(outW) * outH * 4);
  tjhandle jpeg = tjInitCompress();

  double ours = 0, bare = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    auto result = asio::co_spawn(io, thumbnails.thumbnail(main.id, outW), asio::use_future);
    io.restart();
    io.run();
    benchmark::DoNotOptimize(result.get());
    ours += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    start = std::chrono::steady_clock::now();
    free(xcb_shm_get_image_reply(c,
                                 xcb_shm_get_image(c, root, int16_t(main.rootX), int16_t(main.rootY), uint16_t(w),
                                                   uint16_t(h), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0),
                                 nullptr));
    const uint8_t* src[1] = {pixels};
    const int srcStride[1] = {w * 4};
    uint8_t* dst[1] = {scaled.data()};
    const int dstStride[1] = {outW * 4};
    sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(jpeg, scaled.data(), outW, outW * 4, outH, TJPF_BGRX, &out, &size, TJSAMP_420, 60, TJFLAG_FASTDCT);
    tjFree(out);
    bare += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  tjDestroy(jpeg);
  sws_freeContext(sws);
  xcb_shm_detach(c, seg);
  xcb_disconnect(c);
  shmdt(pixels);
  shmctl(shmid, IPC_RMID, nullptr);
  const double n = double(state.iterations());
  state.counters["ours_ms"] = ours / n * 1000;
  state.counters["bare_ms"] = bare / n * 1000;
  state.counters["ratio"] = bare > 0 ? ours / bare : 0;
}

}  // namespace

BENCHMARK(BM_StillCursorSecond)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Thumbnail)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK_MAIN();
