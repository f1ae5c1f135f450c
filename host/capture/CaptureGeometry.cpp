#include "host/capture/CaptureGeometry.h"

#include <algorithm>
#include <cmath>

namespace brindlet::host {
namespace {

struct Fractions {
  double x, y, w, h;
};

Fractions clampedFractions(const NormalizedRect& r) {
  auto unit = [](double v) { return v <= 0 ? 0.0 : (v > 1 ? 1.0 : v); };
  double x = unit(r.x), y = unit(r.y);
  double w = std::max(std::min(std::max<double>(r.width, 0.001), 1 - x), 0.001);
  double h = std::max(std::min(std::max<double>(r.height, 0.001), 1 - y), 0.001);
  return {x, y, w, h};
}

}  // namespace

uint32_t evenCaptureSize(double value) {
  const double least = smallestCaptureSize;
  double clamped = std::isnan(value) ? least : std::min(std::max(value, least), 8192.0);
  return static_cast<uint32_t>(clamped) & ~1u;
}

NormalizedRect clampedSourceRect(const NormalizedRect& rect) {
  Fractions f = clampedFractions(rect);
  return NormalizedRect{static_cast<float>(f.x), static_cast<float>(f.y), static_cast<float>(f.w),
                        static_cast<float>(f.h)};
}

Viewport defaultViewport(const DisplayInfo& display, const ClientCapabilities& client) {
  double pw = std::max<uint32_t>(display.pixelWidth, 1), ph = std::max<uint32_t>(display.pixelHeight, 1);
  double cw = std::max<uint32_t>(client.screenPixelWidth, 1), ch = std::max<uint32_t>(client.screenPixelHeight, 1);
  double s = std::min({cw / pw, ch / ph, 1.0});  // never upscale
  Viewport v;
  v.displayID = display.id;
  v.sourceRect = NormalizedRect::full;
  v.outputWidth = evenCaptureSize(std::round(pw * s));
  v.outputHeight = evenCaptureSize(std::round(ph * s));
  return v;
}

CaptureGeometry displayOutputSize(const DisplayInfo& display, const Viewport& viewport) {
  Fractions f = clampedFractions(viewport.sourceRect);
  const double fw = display.frame.width, fh = display.frame.height;
  return CaptureGeometry{Rect{f.x * fw, f.y * fh, f.w * fw, f.h * fh}, evenCaptureSize(viewport.outputWidth),
                         evenCaptureSize(viewport.outputHeight)};
}

CaptureGeometry captureOutputSize(const DisplayInfo& display, const Viewport& viewport, const CaptureScope& scope) {
  const Rect* base = scope.base();
  if (!base) return displayOutputSize(display, viewport);
  Fractions f = clampedFractions(viewport.sourceRect);
  Rect rect{base->x + base->width * f.x, base->y + base->height * f.y, base->width * f.w, base->height * f.h};
  CaptureGeometry g{rect, evenCaptureSize(viewport.outputWidth), evenCaptureSize(viewport.outputHeight)};
  if (rect.width > 0 && rect.height > 0 && viewport.outputWidth != 0 && viewport.outputHeight != 0) {
    double density = display.pixelWidth / std::max<double>(display.frame.width, 1.0);
    double fit = std::min(viewport.outputHeight / rect.height, viewport.outputWidth / rect.width);
    double scale = std::min(fit, std::max(density, 1.0));
    g.width = evenCaptureSize(std::round(rect.width * scale));
    g.height = evenCaptureSize(std::round(rect.height * scale));
  }
  return g;
}

}  // namespace brindlet::host
