#pragma once
// An HEVC compression session: pictures in (PixelBuffer, B,G,R,X), encoded samples out.
// Each sample's data is the access unit as length-prefixed NAL units (4-byte big-endian
// lengths, the parameter sets not among them); the parameter sets and the decoder
// configuration record travel in the sample's format description. Key frames come only at
// the start, when forced, or at the key-frame interval; there is no frame reordering, so one
// picture in gives its sample out before `encodeFrame` returns.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/video/HEVCFormatDescription.h"
#include "platform/video/PixelBuffer.h"

namespace brindlet::platform {

// Status codes of the session's calls; 0 is success.
namespace compressionStatus {
constexpr int ok = 0;
constexpr int propertyNotSupported = -12900;
constexpr int parameterError = -12902;
constexpr int invalidSession = -12903;
constexpr int encoderFailed = -12911;
}  // namespace compressionStatus

enum class HEVCProfileLevel { mainAutoLevel, main10AutoLevel, main444AutoLevel, main44410AutoLevel };

// Flag of an output that carries no sample because the frame was dropped.
constexpr uint32_t encodeInfoFrameDropped = 1u << 1;

struct EncodedSample {
  std::vector<uint8_t> data;  // length-prefixed NAL units
  bool notSync = false;       // true for a delta frame
  int64_t ptsNs = 0;
  std::shared_ptr<const HEVCFormatDescription> format;
};

// A picture converted ahead for one session (see `CompressionSession::preparePicture`).
class PreparedPicture {
 public:
  virtual ~PreparedPicture() = default;
};

// Called once per encoded frame with the status, the info flags and the sample (absent on
// failure or drop). It runs on the thread that called `encodeFrame`, without the session's lock.
using CompressionOutputHandler = std::function<void(int status, uint32_t infoFlags, const EncodedSample* sample)>;

class CompressionSession {
 public:
  virtual ~CompressionSession() = default;
  // Properties set before `prepareToEncodeFrames` shape the stream; bit rate and the
  // quantiser cap may also change while it runs.
  virtual int setProfileLevel(HEVCProfileLevel profile) = 0;
  virtual int setRealTime(bool on) = 0;
  virtual int setAllowFrameReordering(bool on) = 0;
  virtual int setExpectedFrameRate(int fps) = 0;
  virtual int setMaxKeyFrameInterval(int frames) = 0;
  virtual int setMaxKeyFrameIntervalDuration(double seconds) = 0;
  virtual int setAverageBitRate(int64_t bitsPerSecond) = 0;
  virtual int setMaxAllowedFrameQP(int qp) = 0;
  virtual int setColorimetryBT709() = 0;
  virtual int prepareToEncodeFrames() = 0;
  virtual int encodeFrame(const PixelBuffer& picture, int64_t ptsNs, bool forceKeyFrame,
                          const CompressionOutputHandler& handler) = 0;
  // Converts `picture` for this session on the caller's thread, so that one frame's conversion
  // can run while the frame before it encodes. Nothing when the session cannot take it (ended,
  // another size); the frame is then encoded from its pixels.
  virtual std::shared_ptr<const PreparedPicture> preparePicture(const PixelBuffer& picture) {
    (void)picture;
    return nullptr;
  }
  // `encodeFrame` of `picture`, with the conversion `prepared` made of it (by this session;
  // one from elsewhere is ignored).
  virtual int encodePreparedFrame(const PixelBuffer& picture, const PreparedPicture* prepared, int64_t ptsNs,
                                  bool forceKeyFrame, const CompressionOutputHandler& handler) {
    (void)prepared;
    return encodeFrame(picture, ptsNs, forceKeyFrame, handler);
  }
  // Ends the session; later calls fail with `invalidSession`.
  virtual void invalidate() = 0;
};

// Makes a session for pictures of width x height (even, 2 ... 8192); `status` receives the result.
using CompressionSessionMaker = std::function<std::shared_ptr<CompressionSession>(int width, int height, int& status)>;

// The x265 session. `threads` is the size of x265's worker pool (0: one per processor).
std::shared_ptr<CompressionSession> createHEVCCompressionSession(int width, int height, int& status, int threads = 0);

}  // namespace brindlet::platform
