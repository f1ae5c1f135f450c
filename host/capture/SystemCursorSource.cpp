#include "host/capture/SystemCursorSource.h"

#include <algorithm>
#include <bit>

#include "platform/image/ImageCodec.h"
#include "platform/screen/CursorImage.h"

namespace brindlet::host {

namespace {

constexpr std::uint64_t fnvPrime = 0x100000001b3ull;

}  // namespace

SystemCursorSource::SystemCursorSource(std::unique_ptr<platform::CursorImageSource> source)
    : source_(std::move(source)) {}

SystemCursorSource::~SystemCursorSource() = default;

std::uint64_t SystemCursorSource::token(const platform::CursorImage& image) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.argb.data());
  for (std::size_t i = 0; i < image.argb.size() * 4; ++i) {
    hash ^= bytes[i];
    hash *= fnvPrime;
  }
  for (double value : {double(image.hotspotX), double(image.hotspotY), double(image.width), double(image.height)}) {
    hash ^= std::bit_cast<std::uint64_t>(value);
    hash *= fnvPrime;
  }
  return hash;
}

std::optional<CursorPoll> SystemCursorSource::pollOf(const platform::CursorImage& image,
                                                     std::optional<std::uint64_t> lastToken) {
  if (image.width < 1 || image.height < 1) return std::nullopt;
  CursorPoll poll;
  poll.token = token(image);
  poll.visible = std::any_of(image.argb.begin(), image.argb.end(), [](std::uint32_t p) { return (p >> 24) != 0; });
  if (!poll.visible || lastToken == poll.token) return poll;
  auto png = platform::encodePNG(platform::RGBAImage{image.width, image.height, platform::straightRGBA(image)});
  if (!png) return std::nullopt;
  poll.shape = CursorShapeData{std::move(*png), static_cast<float>(image.hotspotX), static_cast<float>(image.hotspotY),
                               static_cast<float>(image.width)};
  return poll;
}

asio::awaitable<std::optional<CursorPoll>> SystemCursorSource::poll(std::optional<std::uint64_t> lastToken) {
  std::optional<CursorPoll> result;
  {
    std::lock_guard guard(mutex_);
    if (source_->changed() || !latest_) {
      latest_.reset();
      if (auto image = source_->current()) latest_ = pollOf(*image, std::nullopt);
    }
    if (latest_) {
      // The shape the caller already has is not copied again.
      result = lastToken == latest_->token ? CursorPoll{latest_->token, latest_->visible, std::nullopt} : latest_;
    }
  }
  co_return result;
}

}  // namespace brindlet::host
