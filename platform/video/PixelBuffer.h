#pragma once
// A picture in memory: 32-bit pixels laid out B, G, R, X (the fourth byte is not alpha and
// may be 0, as the X server leaves it). Buffers are shared by reference; a pool recycles
// their memory so a stream of full-screen frames does not allocate each time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace brindlet::platform {

class PixelBufferPool;

class PixelBuffer {
 public:
  static constexpr int bytesPerPixel = 4;

  // A buffer of its own memory; rows start every `bytesPerRow` bytes (at least width * 4).
  PixelBuffer(int width, int height, int bytesPerRow = 0);
  // A buffer over memory that `keeper` keeps alive (shared memory, for instance).
  PixelBuffer(int width, int height, int bytesPerRow, uint8_t* memory, std::shared_ptr<void> keeper);
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  int bytesPerRow() const { return bytesPerRow_; }
  uint8_t* baseAddress() { return data_; }
  const uint8_t* baseAddress() const { return data_; }
  uint8_t* row(int y) { return data_ + static_cast<size_t>(y) * bytesPerRow_; }
  const uint8_t* row(int y) const { return data_ + static_cast<size_t>(y) * bytesPerRow_; }
  size_t byteCount() const { return static_cast<size_t>(bytesPerRow_) * static_cast<size_t>(height_); }

 private:
  friend class PixelBufferPool;
  int width_;
  int height_;
  int bytesPerRow_;
  std::vector<uint8_t> storage_;
  uint8_t* data_ = nullptr;
  std::shared_ptr<void> keeper_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Hands out buffers of one size; a buffer released by every holder goes back to the pool.
// The pool may be destroyed while buffers are still held: they are then simply freed.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
 public:
  static std::shared_ptr<PixelBufferPool> make(int width, int height, size_t keep = 4);
  PixelBufferRef take();
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  PixelBufferPool(int width, int height, size_t keep) : width_(width), height_(height), keep_(keep) {}
  void giveBack(PixelBuffer* buffer);

  int width_;
  int height_;
  size_t keep_;
  std::mutex lock_;
  std::vector<std::unique_ptr<PixelBuffer>> free_;
};

}  // namespace brindlet::platform
