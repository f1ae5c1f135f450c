#include "host/control/HostScroll.h"

#include <cmath>

namespace brindlet::host {
namespace {

std::int32_t axis(float delta, float& remainder) {
  const float value = delta + delta + remainder;
  const float whole = std::trunc(value);
  remainder = value - whole;
  // Not finite: NaN and +infinity give the upper limit, -infinity the lower; the
  // remainder starts again at zero rather than staying not finite.
  if (!std::isfinite(value)) {
    remainder = 0;
    return value < 0 ? -HostScroll::limit : HostScroll::limit;
  }
  if (whole > HostScroll::limit) return HostScroll::limit;
  if (whole < -HostScroll::limit) return -HostScroll::limit;
  return static_cast<std::int32_t>(whole);
}

}  // namespace

std::pair<std::int32_t, std::int32_t> HostScroll::accumulate(float dx, float dy, Remainder& remainder) {
  const std::int32_t h = axis(dx, remainder.x);
  const std::int32_t v = axis(dy, remainder.y);
  return {h, v};
}

}  // namespace brindlet::host
