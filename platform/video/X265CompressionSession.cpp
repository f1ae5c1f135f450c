// The HEVC compression session over x265, called directly.
#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <x265.h>

#include "platform/video/CompressionSession.h"
#include "platform/video/PixelConverter.h"

namespace brindlet::platform {
namespace {

using namespace compressionStatus;

// An x265 encoder with its parameters and parameter sets.
struct OpenEncoder {
  x265_param* param = nullptr;  // our own storage (see openEncoder)
  x265_encoder* encoder = nullptr;
  std::shared_ptr<const HEVCFormatDescription> format;
  bool lastWasDelta = false;  // the last frame it encoded was not a key frame
};

// x265 (3.5) makes the per-row buffers of its sample adaptive offset filter for every encoder
// it opens, but gives them back at close only when the last frame it encoded used the filter:
// otherwise about a quarter of a megabyte (at 1920x1080) stays allocated for good, at every
// session and every change of rate. The filter runs on key frames only (see openEncoder), and
// an encoder whose last frame was a delta frame encodes one flat key frame, thrown away, before
// it is closed.
void closeEncoder(OpenEncoder& e) {
  if (e.encoder && e.lastWasDelta) {
    const x265_param& p = *e.param;
    std::vector<uint8_t> flat(static_cast<size_t>(p.sourceWidth) * p.sourceHeight, 128);
    x265_picture in;
    x265_picture_init(e.param, &in);
    const int chromaStride = p.internalCsp == X265_CSP_I444 ? p.sourceWidth : p.sourceWidth / 2;
    for (int i = 0; i < 3; ++i) {
      in.planes[i] = flat.data();
      in.stride[i] = i == 0 ? p.sourceWidth : chromaStride;
    }
    in.bitDepth = 8;
    in.colorSpace = p.internalCsp;
    in.sliceType = X265_TYPE_IDR;
    x265_picture out;
    x265_picture_init(e.param, &out);
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    x265_encoder_encode(e.encoder, &nals, &count, &in, &out);
  }
  if (e.encoder) x265_encoder_close(e.encoder);
  delete e.param;
  e = OpenEncoder{};
}

// The planes of one converted picture.
struct PlaneSet {
  PlanarFormat format = PlanarFormat::yuv420;
  std::vector<uint8_t> storage[3];
  PlanarPicture picture;
};

// Plane sets of one picture size, reused: a full-screen set is megabytes.
class PlanePool : public std::enable_shared_from_this<PlanePool> {
 public:
  PlanePool(int width, int height, size_t keep) : width_(width), height_(height), keep_(keep) {}

  std::shared_ptr<PlaneSet> take(PlanarFormat format) {
    std::unique_ptr<PlaneSet> set;
    {
      std::lock_guard guard(lock_);
      auto found = std::find_if(free_.begin(), free_.end(), [&](const auto& s) { return s->format == format; });
      if (found != free_.end()) {
        set = std::move(*found);
        free_.erase(found);
      }
    }
    if (!set) set = make(format);
    std::weak_ptr<PlanePool> pool = weak_from_this();
    return std::shared_ptr<PlaneSet>(set.release(), [pool](PlaneSet* s) {
      std::unique_ptr<PlaneSet> owned(s);
      if (auto owner = pool.lock()) owner->giveBack(std::move(owned));
    });
  }

 private:
  std::unique_ptr<PlaneSet> make(PlanarFormat format) const {
    auto set = std::make_unique<PlaneSet>();
    set->format = format;
    const int chromaW = format == PlanarFormat::yuv444 ? width_ : width_ / 2;
    const int chromaH = format == PlanarFormat::yuv444 ? height_ : height_ / 2;
    set->storage[0].assign(static_cast<size_t>(width_) * height_, 0);
    set->storage[1].assign(static_cast<size_t>(chromaW) * chromaH, 128);
    set->storage[2].assign(static_cast<size_t>(chromaW) * chromaH, 128);
    for (int i = 0; i < 3; ++i) set->picture.planes[i] = set->storage[i].data();
    set->picture.strides[0] = width_;
    set->picture.strides[1] = set->picture.strides[2] = chromaW;
    return set;
  }

  void giveBack(std::unique_ptr<PlaneSet> set) {
    std::lock_guard guard(lock_);
    if (free_.size() < keep_) free_.push_back(std::move(set));
  }

  const int width_, height_;
  const size_t keep_;
  std::mutex lock_;
  std::vector<std::unique_ptr<PlaneSet>> free_;
};

// Planes of the session whose pool they came from: holding the pool, they cannot be taken for
// another session's.
class X265PreparedPicture final : public PreparedPicture {
 public:
  X265PreparedPicture(std::shared_ptr<const PlanePool> pool, std::shared_ptr<PlaneSet> planes)
      : pool(std::move(pool)), planes(std::move(planes)) {}
  const std::shared_ptr<const PlanePool> pool;
  const std::shared_ptr<PlaneSet> planes;
};

class X265CompressionSession final : public CompressionSession {
 public:
  X265CompressionSession(int width, int height, int threads)
      : width_(width), height_(height), threads_(threads), planes_(std::make_shared<PlanePool>(width, height, 3)) {}
  ~X265CompressionSession() override { close(); }

  int setProfileLevel(HEVCProfileLevel profile) override {
    std::lock_guard guard(lock_);
    if (invalid_) return invalidSession;
    if (encoder_.encoder) return propertyNotSupported;
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
    const int kbps = static_cast<int>(std::max<int64_t>(bitsPerSecond / 1000, 1));
    // x265 accepts a new rate through x265_encoder_reconfig, but in zero-latency mode its
    // rate control keeps to the old one (measured with x265 3.5), so the next frame starts
    // a new x265 encoder at the new rate; that frame is a key frame.
    if (encoder_.encoder && kbps != bitrateKbps_) rateChanged_ = true;
    bitrateKbps_ = kbps;
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

  std::shared_ptr<const PreparedPicture> preparePicture(const PixelBuffer& picture) override {
    PlanarFormat format;
    {
      std::lock_guard guard(lock_);
      if (invalid_ || picture.width() != width_ || picture.height() != height_) return nullptr;
      format = format_;
    }
    auto planes = convert(picture, format);
    if (!planes) return nullptr;
    return std::make_shared<X265PreparedPicture>(planes_, std::move(planes));
  }

  int encodeFrame(const PixelBuffer& picture, int64_t ptsNs, bool forceKeyFrame,
                  const CompressionOutputHandler& handler) override {
    return encodePreparedFrame(picture, nullptr, ptsNs, forceKeyFrame, handler);
  }

  int encodePreparedFrame(const PixelBuffer& picture, const PreparedPicture* prepared, int64_t ptsNs,
                          bool forceKeyFrame, const CompressionOutputHandler& handler) override {
    const auto* mine = dynamic_cast<const X265PreparedPicture*>(prepared);
    std::shared_ptr<PlaneSet> planes = mine && mine->pool == planes_ ? mine->planes : nullptr;
    EncodedSample sample;
    int status = ok;
    {
      std::lock_guard guard(lock_);
      status = prepare();
      if (status == ok && (picture.width() != width_ || picture.height() != height_)) status = parameterError;
      if (status == ok) status = encodeLocked(picture, std::move(planes), ptsNs, forceKeyFrame, sample);
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
    if (encoder_.encoder) return propertyNotSupported;
    set();
    return ok;
  }

  void applyRate(x265_param* p) const {
    p->rc.bitrate = bitrateKbps_;
    // A buffer of a quarter second keeps each frame near the average, as a live stream needs.
    p->rc.vbvMaxBitrate = bitrateKbps_;
    p->rc.vbvBufferSize = std::max(bitrateKbps_ / 4, 1);
  }

  // `picture` in Y'CbCr, in planes of the pool; nothing when the conversion fails. Safe to call
  // while a frame encodes.
  std::shared_ptr<PlaneSet> convert(const PixelBuffer& picture, PlanarFormat format) {
    std::lock_guard guard(convertLock_);
    if (!converter_ || converterFormat_ != format) {
      converter_ = PixelConverter::toPlanar(width_, height_, format, std::min(threads(), 4));
      converterFormat_ = format;
    }
    if (!converter_) return nullptr;
    auto planes = planes_->take(format);
    if (!converter_->convert(picture.baseAddress(), picture.bytesPerRow(), planes->picture)) return nullptr;
    return planes;
  }

  int prepare() {
    if (invalid_) return invalidSession;
    if (encoder_.encoder) return ok;
    return openEncoder();
  }

  // Opens x265 with the current properties and reads its parameter sets.
  int openEncoder() {
    OpenEncoder opened;
    // Our own storage: this x265's x265_param_free() does not free what x265_param_alloc()
    // gave (measured with AddressSanitizer).
    opened.param = new x265_param{};
    x265_param* param = opened.param;
    auto fail = [&](int status) {
      closeEncoder(opened);
      return status;
    };
    if (x265_param_default_preset(param, "ultrafast", realTime_ ? "zerolatency" : nullptr) < 0) {
      return fail(encoderFailed);
    }
    std::string pools = std::to_string(threads());
    x265_param_parse(param, "pools", pools.c_str());
    // x265 takes no picture smaller than one coding tree unit (32 in this preset): a narrower
    // or lower picture gets the smallest unit, 16.
    if (std::min(width_, height_) < static_cast<int>(param->maxCUSize)) x265_param_parse(param, "ctu", "16");
    param->frameNumThreads = 1;
    param->logLevel = X265_LOG_ERROR;
    param->sourceWidth = width_;
    param->sourceHeight = height_;
    param->internalCsp = format_ == PlanarFormat::yuv444 ? X265_CSP_I444 : X265_CSP_I420;
    param->fpsNum = static_cast<uint32_t>(fps_);
    param->fpsDenom = 1;
    param->bframes = 0;
    param->bOpenGOP = 0;
    param->scenecutThreshold = 0;  // key frames only at the start, on request or at the interval
    int byDuration = static_cast<int>(std::min<double>(keyIntervalSeconds_ * fps_, 1 << 30));
    param->keyframeMax = std::max(1, std::min(keyInterval_, byDuration));
    param->keyframeMin = 1;
    param->bRepeatHeaders = 0;
    param->bAnnexB = 0;  // 4-byte big-endian length before each NAL unit
    param->bEmitInfoSEI = 0;
    param->bEmitHRDSEI = 0;
    param->bEnableAccessUnitDelimiters = 0;
    // With 4:4:4 input and psy-rd on, x265 would raise the chroma QP offsets.
    param->psyRd = 0;
    // The sample adaptive offset filter on key frames only: it costs little there, and closing
    // after one gives its buffers back (see closeEncoder).
    param->bEnableSAO = 1;
    param->selectiveSAO = 1;
    param->rc.rateControlMode = X265_RC_ABR;
    param->rc.vbvBufferInit = 0.9;
    applyRate(param);
    param->vui.bEnableVideoSignalTypePresentFlag = 1;
    param->vui.videoFormat = 5;
    param->vui.bEnableVideoFullRangeFlag = 0;
    param->vui.bEnableColorDescriptionPresentFlag = 1;
    param->vui.colorPrimaries = 1;
    param->vui.transferCharacteristics = 1;
    param->vui.matrixCoeffs = 1;
    if (x265_param_apply_profile(param, format_ == PlanarFormat::yuv444 ? "main444-8" : "main") < 0) {
      return fail(propertyNotSupported);
    }
    opened.encoder = x265_encoder_open(param);
    if (!opened.encoder) return fail(encoderFailed);
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    if (x265_encoder_headers(opened.encoder, &nals, &count) < 0) return fail(encoderFailed);
    std::vector<std::vector<uint8_t>> sets;
    for (uint32_t i = 0; i < count; ++i) {
      if (nals[i].sizeBytes <= 4) continue;
      sets.emplace_back(nals[i].payload + 4, nals[i].payload + nals[i].sizeBytes);  // drop the length
    }
    auto description = HEVCFormatDescription::make(std::move(sets));
    if (!description) return fail(encoderFailed);
    opened.format = std::make_shared<const HEVCFormatDescription>(std::move(*description));
    encoder_ = opened;
    rateChanged_ = false;
    return ok;
  }

  int encodeLocked(const PixelBuffer& picture, std::shared_ptr<PlaneSet> planes, int64_t ptsNs, bool forceKeyFrame,
                   EncodedSample& sample) {
    if (rateChanged_) {
      closeEncoder(encoder_);
      int status = prepare();
      if (status != ok) return status;
    }
    if (!planes || planes->format != format_) planes = convert(picture, format_);
    if (!planes) return encoderFailed;
    x265_param* param = encoder_.param;
    x265_picture in;
    x265_picture_init(param, &in);
    for (int i = 0; i < 3; ++i) {
      in.planes[i] = planes->picture.planes[i];
      in.stride[i] = planes->picture.strides[i];
    }
    in.bitDepth = 8;
    in.colorSpace = param->internalCsp;
    in.pts = ptsNs;
    in.sliceType = forceKeyFrame ? X265_TYPE_IDR : X265_TYPE_AUTO;
    in.forceqp = qpCap_ < 51 ? qpCap_ + 1 : 0;
    x265_picture out;
    x265_picture_init(param, &out);
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    int rc = x265_encoder_encode(encoder_.encoder, &nals, &count, &in, &out);
    if (rc <= 0 || count == 0) return encoderFailed;  // zero latency gives each frame back at once
    size_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
    sample.data.reserve(total);
    for (uint32_t i = 0; i < count; ++i) {
      sample.data.insert(sample.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    }
    sample.notSync = !IS_X265_TYPE_I(out.sliceType);
    encoder_.lastWasDelta = sample.notSync;
    sample.ptsNs = out.pts;
    sample.format = encoder_.format;
    return ok;
  }

  int threads() const {
    return threads_ > 0 ? threads_ : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }

  void close() {
    closeEncoder(encoder_);
    std::lock_guard guard(convertLock_);
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
  OpenEncoder encoder_;
  std::mutex convertLock_;  // the converter, apart from the encoder
  std::unique_ptr<PixelConverter> converter_;
  PlanarFormat converterFormat_ = PlanarFormat::yuv420;
  const std::shared_ptr<PlanePool> planes_;
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
