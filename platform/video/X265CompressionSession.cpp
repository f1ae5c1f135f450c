// The HEVC compression session over x265, called directly.
#include <algorithm>
#include <mutex>
#include <string>
#include <thread>

#include <x265.h>

#include "platform/video/CompressionSession.h"
#include "platform/video/PixelConverter.h"

namespace brindlet::platform {
namespace {

using namespace compressionStatus;

class X265CompressionSession final : public CompressionSession {
 public:
  X265CompressionSession(int width, int height, int threads) : width_(width), height_(height), threads_(threads) {}
  ~X265CompressionSession() override { close(); }

  int setProfileLevel(HEVCProfileLevel profile) override {
    std::lock_guard guard(lock_);
    if (invalid_) return invalidSession;
    if (encoder_) return propertyNotSupported;
    switch (profile) {
      case HEVCProfileLevel::mainAutoLevel:
        format_ = PlanarFormat::yuv420;
        return ok;
      case HEVCProfileLevel::main444AutoLevel:
        format_ = PlanarFormat::yuv444;
        return ok;
      default:
        return propertyNotSupported;  // 8-bit pictures only
    }
  }
  int setRealTime(bool on) override {
    return setBeforeStart([&] { realTime_ = on; });
  }
  int setAllowFrameReordering(bool on) override {
    return on ? propertyNotSupported : setBeforeStart([] {});
  }
  int setExpectedFrameRate(int fps) override {
    if (fps <= 0) return parameterError;
    return setBeforeStart([&] { fps_ = fps; });
  }
  int setMaxKeyFrameInterval(int frames) override {
    if (frames <= 0) return parameterError;
    return setBeforeStart([&] { keyInterval_ = frames; });
  }
  int setMaxKeyFrameIntervalDuration(double seconds) override {
    if (!(seconds > 0)) return parameterError;
    return setBeforeStart([&] { keyIntervalSeconds_ = seconds; });
  }
  int setColorimetryBT709() override {
    return setBeforeStart([] {});
  }

  int setAverageBitRate(int64_t bitsPerSecond) override {
    if (bitsPerSecond <= 0) return parameterError;
    std::lock_guard guard(lock_);
    if (invalid_) return invalidSession;
    bitrateKbps_ = static_cast<int>(std::max<int64_t>(bitsPerSecond / 1000, 1));
    // x265 accepts a new rate through x265_encoder_reconfig, but in zero-latency mode its
    // rate control keeps to the old one (measured with x265 3.5), so the next frame starts
    // a new x265 encoder at the new rate; that frame is a key frame.
    if (encoder_) rateChanged_ = true;
    return ok;
  }

  int setMaxAllowedFrameQP(int qp) override {
    if (qp < 0 || qp > 51) return parameterError;
    std::lock_guard guard(lock_);
    if (invalid_) return invalidSession;
    qpCap_ = qp;
    return ok;
  }

  int prepareToEncodeFrames() override {
    std::lock_guard guard(lock_);
    return prepare();
  }

  int encodeFrame(const PixelBuffer& picture, int64_t ptsNs, bool forceKeyFrame,
                  const CompressionOutputHandler& handler) override {
    EncodedSample sample;
    int status = ok;
    {
      std::lock_guard guard(lock_);
      status = prepare();
      if (status == ok && (picture.width() != width_ || picture.height() != height_)) status = parameterError;
      if (status == ok) status = encodeLocked(picture, ptsNs, forceKeyFrame, sample);
    }
    if (status != ok) return status;
    if (handler) handler(ok, 0, &sample);
    return ok;
  }

  void invalidate() override {
    std::lock_guard guard(lock_);
    invalid_ = true;
    close();
  }

 private:
  template <typename F>
  int setBeforeStart(F&& set) {
    std::lock_guard guard(lock_);
    if (invalid_) return invalidSession;
    if (encoder_) return propertyNotSupported;
    set();
    return ok;
  }

  void applyRate(x265_param* p) const {
    p->rc.bitrate = bitrateKbps_;
    // A buffer of a quarter second keeps each frame near the average, as a live stream needs.
    p->rc.vbvMaxBitrate = bitrateKbps_;
    p->rc.vbvBufferSize = std::max(bitrateKbps_ / 4, 1);
  }

  int prepare() {
    if (invalid_) return invalidSession;
    if (encoder_) return ok;
    int threads = this->threads();
    converter_ = PixelConverter::toPlanar(width_, height_, format_, std::min(threads, 4));
    if (!converter_) return encoderFailed;
    int chromaW = format_ == PlanarFormat::yuv444 ? width_ : width_ / 2;
    int chromaH = format_ == PlanarFormat::yuv444 ? height_ : height_ / 2;
    planes_[0].assign(static_cast<size_t>(width_) * height_, 0);
    planes_[1].assign(static_cast<size_t>(chromaW) * chromaH, 128);
    planes_[2].assign(static_cast<size_t>(chromaW) * chromaH, 128);
    picture_.planes[0] = planes_[0].data();
    picture_.planes[1] = planes_[1].data();
    picture_.planes[2] = planes_[2].data();
    picture_.strides[0] = width_;
    picture_.strides[1] = picture_.strides[2] = chromaW;
    return openEncoder(threads);
  }

  // Opens x265 with the current properties and reads its parameter sets.
  int openEncoder(int threads) {
    closeEncoder();
    // Our own storage: this x265's x265_param_free() does not free what x265_param_alloc()
    // gave (measured with AddressSanitizer), and each new rate opens a new encoder.
    param_ = new x265_param{};
    if (x265_param_default_preset(param_, "ultrafast", realTime_ ? "zerolatency" : nullptr) < 0) return encoderFailed;
    std::string pools = std::to_string(threads);
    x265_param_parse(param_, "pools", pools.c_str());
    // x265 takes no picture smaller than one coding tree unit (32 in this preset): a narrower
    // or lower picture gets the smallest unit, 16.
    if (std::min(width_, height_) < static_cast<int>(param_->maxCUSize)) x265_param_parse(param_, "ctu", "16");
    param_->frameNumThreads = 1;
    param_->logLevel = X265_LOG_ERROR;
    param_->sourceWidth = width_;
    param_->sourceHeight = height_;
    param_->internalCsp = format_ == PlanarFormat::yuv444 ? X265_CSP_I444 : X265_CSP_I420;
    param_->fpsNum = static_cast<uint32_t>(fps_);
    param_->fpsDenom = 1;
    param_->bframes = 0;
    param_->bOpenGOP = 0;
    param_->scenecutThreshold = 0;  // key frames only at the start, on request or at the interval
    int byDuration = static_cast<int>(std::min<double>(keyIntervalSeconds_ * fps_, 1 << 30));
    param_->keyframeMax = std::max(1, std::min(keyInterval_, byDuration));
    param_->keyframeMin = 1;
    param_->bRepeatHeaders = 0;
    param_->bAnnexB = 0;  // 4-byte big-endian length before each NAL unit
    param_->bEmitInfoSEI = 0;
    param_->bEmitHRDSEI = 0;
    param_->bEnableAccessUnitDelimiters = 0;
    // With 4:4:4 input and psy-rd on, x265 would raise the chroma QP offsets.
    param_->psyRd = 0;
    param_->rc.rateControlMode = X265_RC_ABR;
    param_->rc.vbvBufferInit = 0.9;
    applyRate(param_);
    param_->vui.bEnableVideoSignalTypePresentFlag = 1;
    param_->vui.videoFormat = 5;
    param_->vui.bEnableVideoFullRangeFlag = 0;
    param_->vui.bEnableColorDescriptionPresentFlag = 1;
    param_->vui.colorPrimaries = 1;
    param_->vui.transferCharacteristics = 1;
    param_->vui.matrixCoeffs = 1;
    if (x265_param_apply_profile(param_, format_ == PlanarFormat::yuv444 ? "main444-8" : "main") < 0) {
      return propertyNotSupported;
    }
    encoder_ = x265_encoder_open(param_);
    if (!encoder_) return encoderFailed;
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    if (x265_encoder_headers(encoder_, &nals, &count) < 0) return encoderFailed;
    std::vector<std::vector<uint8_t>> sets;
    for (uint32_t i = 0; i < count; ++i) {
      if (nals[i].sizeBytes <= 4) continue;
      sets.emplace_back(nals[i].payload + 4, nals[i].payload + nals[i].sizeBytes);  // drop the length
    }
    auto description = HEVCFormatDescription::make(std::move(sets));
    if (!description) return encoderFailed;
    formatDescription_ = std::make_shared<const HEVCFormatDescription>(std::move(*description));
    rateChanged_ = false;
    return ok;
  }

  int encodeLocked(const PixelBuffer& picture, int64_t ptsNs, bool forceKeyFrame, EncodedSample& sample) {
    if (rateChanged_) {
      int status = openEncoder(threads());
      if (status != ok) return status;
    }
    if (!converter_->convert(picture.baseAddress(), picture.bytesPerRow(), picture_)) return encoderFailed;
    x265_picture in;
    x265_picture_init(param_, &in);
    for (int i = 0; i < 3; ++i) {
      in.planes[i] = picture_.planes[i];
      in.stride[i] = picture_.strides[i];
    }
    in.bitDepth = 8;
    in.colorSpace = param_->internalCsp;
    in.pts = ptsNs;
    in.sliceType = forceKeyFrame ? X265_TYPE_IDR : X265_TYPE_AUTO;
    in.forceqp = qpCap_ < 51 ? qpCap_ + 1 : 0;
    x265_picture out;
    x265_picture_init(param_, &out);
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    int rc = x265_encoder_encode(encoder_, &nals, &count, &in, &out);
    if (rc < 0) return encoderFailed;
    if (rc == 0 || count == 0) return encoderFailed;  // zero latency gives each frame back at once
    size_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
    sample.data.reserve(total);
    for (uint32_t i = 0; i < count; ++i) {
      sample.data.insert(sample.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    }
    sample.notSync = !IS_X265_TYPE_I(out.sliceType);
    sample.ptsNs = out.pts;
    sample.format = formatDescription_;
    return ok;
  }

  int threads() const {
    return threads_ > 0 ? threads_ : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }

  void closeEncoder() {
    if (encoder_) x265_encoder_close(encoder_);
    encoder_ = nullptr;
    delete param_;
    param_ = nullptr;
  }

  void close() {
    closeEncoder();
    converter_.reset();
  }

  std::mutex lock_;
  const int width_;
  const int height_;
  const int threads_;
  bool invalid_ = false;
  PlanarFormat format_ = PlanarFormat::yuv420;
  bool realTime_ = true;
  int fps_ = 60;
  int keyInterval_ = 7200;
  double keyIntervalSeconds_ = 120;
  int bitrateKbps_ = 8000;
  int qpCap_ = 51;
  bool rateChanged_ = false;
  x265_param* param_ = nullptr;
  x265_encoder* encoder_ = nullptr;
  std::unique_ptr<PixelConverter> converter_;
  std::shared_ptr<const HEVCFormatDescription> formatDescription_;
  std::vector<uint8_t> planes_[3];
  PlanarPicture picture_;
};

}  // namespace

std::shared_ptr<CompressionSession> createHEVCCompressionSession(int width, int height, int& status, int threads) {
  if (width < 2 || height < 2 || width > 8192 || height > 8192 || width % 2 || height % 2) {
    status = parameterError;
    return nullptr;
  }
  status = ok;
  return std::make_shared<X265CompressionSession>(width, height, threads);
}

}  // namespace brindlet::platform
