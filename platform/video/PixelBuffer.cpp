#include "platform/video/PixelBuffer.h"

#include <stdexcept>

namespace brindlet::platform {

PixelBuffer::PixelBuffer(int width, int height, int bytesPerRow)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow > 0 ? bytesPerRow : width * bytesPerPixel) {
  if (width <= 0 || height <= 0 || bytesPerRow_ < width * bytesPerPixel) {
    throw std::invalid_argument("PixelBuffer: invalid size");
  }
  storage_.resize(static_cast<size_t>(bytesPerRow_) * static_cast<size_t>(height));
  data_ = storage_.data();
}

PixelBuffer::PixelBuffer(int width, int height, int bytesPerRow, uint8_t* memory, std::shared_ptr<void> keeper)
    : width_(width),
      height_(height),
      bytesPerRow_(bytesPerRow > 0 ? bytesPerRow : width * bytesPerPixel),
      data_(memory),
      keeper_(std::move(keeper)) {
  if (width <= 0 || height <= 0 || bytesPerRow_ < width * bytesPerPixel || !memory) {
    throw std::invalid_argument("PixelBuffer: invalid size");
  }
}

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(int width, int height, size_t keep) {
  return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(width, height, keep));
}

PixelBufferRef PixelBufferPool::take() {
  std::unique_ptr<PixelBuffer> buffer;
  {
    std::lock_guard guard(lock_);
    if (!free_.empty()) {
      buffer = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (!buffer) buffer = std::make_unique<PixelBuffer>(width_, height_);
  std::weak_ptr<PixelBufferPool> pool = weak_from_this();
  return PixelBufferRef(buffer.release(), [pool](PixelBuffer* b) {
    if (auto owner = pool.lock()) {
      owner->giveBack(b);
    } else {
      delete b;
    }
  });
}

void PixelBufferPool::giveBack(PixelBuffer* buffer) {
  std::unique_ptr<PixelBuffer> owned(buffer);
  std::lock_guard guard(lock_);
  if (free_.size() < keep_) free_.push_back(std::move(owned));
}

}  // namespace brindlet::platform
