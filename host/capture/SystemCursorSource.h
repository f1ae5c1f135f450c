#pragma once

// The system cursor as the session polls it: its image (PNG, hotspot, size) from the X
// server, made again only when the server reports a change. X11 gives the image in pixels
// only, so its point size is its pixel size. One per application, shared by every session.

#include <memory>
#include <mutex>
#include <optional>

#include "host/capture/CursorSource.h"

namespace brindlet::platform {
class CursorImageSource;
struct CursorImage;
}  // namespace brindlet::platform

namespace brindlet::host {

class SystemCursorSource final : public CursorSource {
 public:
  explicit SystemCursorSource(std::unique_ptr<platform::CursorImageSource> source);
  ~SystemCursorSource() override;

  asio::awaitable<std::optional<CursorPoll>> poll(std::optional<std::uint64_t> lastToken) override;

  // 64-bit FNV-1a over the image's bytes, then the bit patterns of the hotspot and the size as
  // 64-bit floating-point numbers (x, y, width, height), each XORed in as a whole word.
  static std::uint64_t token(const platform::CursorImage& image);
  // What one image gives: nothing for an image smaller than 1x1; invisible when every pixel
  // is transparent (then without a shape).
  static std::optional<CursorPoll> pollOf(const platform::CursorImage& image, std::optional<std::uint64_t> lastToken);

 private:
  std::mutex mutex_;
  std::unique_ptr<platform::CursorImageSource> source_;
  std::optional<CursorPoll> latest_;  // the last image read, with its shape
};

}  // namespace brindlet::host
