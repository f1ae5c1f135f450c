// Window thumbnails of 20 windows (640x400 each, painted with a pattern), 320 pixels wide:
//  - ours: one call of the host's window-thumbnail service for the 20 windows;
//  - bare: for each window, its XComposite named pixmap read with GetImage, scaled with
//    libswscale and encoded with libturbojpeg at the same quality, called directly.
// Counters: ours_ms, bare_ms (per round of 20 windows) and ratio (ours / bare).
// Needs the X server of scripts/test-services (start DIR; . DIR/env; build/bench/bench_WindowThumbnailBench).
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

extern "C" {
#include <libswscale/swscale.h>
}
#include <turbojpeg.h>
#include <xcb/composite.h>
#include <xcb/xcb.h>

#include "host/control/SystemWindowThumbnails.h"
#include "platform/capture/XTestWindow.h"
#include "platform/screen/WindowSnapshot.h"

using namespace brindlet;
using namespace brindlet::host;

namespace {

constexpr int windowCount = 20;
constexpr int windowWidth = 640, windowHeight = 400;
constexpr int outWidth = 320, outHeight = 200;

void BM_WindowThumbnails(benchmark::State& state) {
  std::vector<std::unique_ptr<brindlet::testing::XTestWindow>> windows;
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < windowCount; ++i) {
    auto window =
        std::make_unique<brindlet::testing::XTestWindow>(20 + 30 * i, 20 + 20 * i, windowWidth, windowHeight, true);
    window->paint([i](int x, int y) { return std::uint32_t(((x / 16 + y / 16 + i) % 2) ? 0x2060c0 : 0xe0a040); });
    ids.push_back(window->id());
    windows.push_back(std::move(window));
  }
  asio::io_context io;
  SystemWindowThumbnails thumbnails(io.get_executor(), platform::WindowSnapshot::open());

  // The bare steps, each window redirected once beforehand as the service does on first use.
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  for (auto id : ids) xcb_composite_redirect_window(c, id, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  SwsContext* sws = sws_getContext(windowWidth, windowHeight, AV_PIX_FMT_BGR0, outWidth, outHeight, AV_PIX_FMT_BGR0,
                                   SWS_AREA, nullptr, nullptr, nullptr);
  std::vector<uint8_t> scaled(size_t(outWidth) * outHeight * 4);
  tjhandle jpeg = tjInitCompress();

  double ours = 0, bare = 0;
  std::size_t pictures = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    auto result = asio::co_spawn(io, thumbnails.thumbnails(ids, outWidth), asio::use_future);
    io.restart();
    io.run();
    pictures += result.get().size();
    ours += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    start = std::chrono::steady_clock::now();
    for (auto id : ids) {
      xcb_pixmap_t pixmap = xcb_generate_id(c);
      xcb_composite_name_window_pixmap(c, id, pixmap);
      auto* image = xcb_get_image_reply(
          c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, 0, 0, windowWidth, windowHeight, ~0u), nullptr);
      xcb_free_pixmap(c, pixmap);
      if (!image) continue;
      const uint8_t* src[1] = {xcb_get_image_data(image)};
      const int srcStride[1] = {windowWidth * 4};
      uint8_t* dst[1] = {scaled.data()};
      const int dstStride[1] = {outWidth * 4};
      sws_scale(sws, src, srcStride, 0, windowHeight, dst, dstStride);
      unsigned char* out = nullptr;
      unsigned long size = 0;
      tjCompress2(jpeg, scaled.data(), outWidth, outWidth * 4, outHeight, TJPF_BGRX, &out, &size, TJSAMP_420, 60,
                  TJFLAG_FASTDCT);
      tjFree(out);
      free(image);
    }
    bare += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  tjDestroy(jpeg);
  sws_freeContext(sws);
  xcb_disconnect(c);
  const double n = double(state.iterations());
  if (pictures != std::size_t(n) * windowCount) state.SkipWithError("a window was not pictured");
  state.counters["ours_ms"] = ours / n * 1000;
  state.counters["bare_ms"] = bare / n * 1000;
  state.counters["ratio"] = bare > 0 ? ours / bare : 0;
}

}  // namespace

BENCHMARK(BM_WindowThumbnails)->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK_MAIN();
