#include "platform/video/HEVCFormatDescription.h"

#include <stdexcept>

namespace brindlet::platform {
namespace {

constexpr int kVPS = 32, kSPS = 33, kPPS = 34;

// Reads bits of a NAL unit's payload, skipping emulation-prevention bytes (00 00 03).
class BitReader {
 public:
  BitReader(const std::vector<uint8_t>& nal, size_t start) {
    int zeros = 0;
    for (size_t i = start; i < nal.size(); ++i) {
      if (zeros >= 2 && nal[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = nal[i] == 0 ? zeros + 1 : 0;
      rbsp_.push_back(nal[i]);
    }
  }
  uint32_t bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= rbsp_.size() * 8) throw std::out_of_range("sps");
      v = (v << 1) | ((rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
      ++pos_;
    }
    return v;
  }
  void skip(int n) { bits(n); }
  uint32_t ue() {
    int leading = 0;
    while (bits(1) == 0) {
      if (++leading > 31) throw std::out_of_range("sps");
    }
    return ((1u << leading) - 1) + (leading ? bits(leading) : 0);
  }

 private:
  std::vector<uint8_t> rbsp_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<HEVCSequenceInfo> parseHEVCSequenceParameterSet(const std::vector<uint8_t>& nal) {
  if (hevcNALType(nal) != kSPS || nal.size() < 3) return std::nullopt;
  try {
    BitReader r(nal, 2);
    HEVCSequenceInfo info;
    r.skip(4);  // sps_video_parameter_set_id
    uint32_t maxSubLayersMinus1 = r.bits(3);
    r.skip(1);  // temporal id nesting
    info.profileSpace = static_cast<uint8_t>(r.bits(2));
    info.tierFlag = r.bits(1) != 0;
    info.profileIdc = static_cast<uint8_t>(r.bits(5));
    info.compatibilityFlags = r.bits(32);
    for (auto& b : info.constraintFlags) b = static_cast<uint8_t>(r.bits(8));
    info.levelIdc = static_cast<uint8_t>(r.bits(8));
    std::vector<bool> profilePresent(maxSubLayersMinus1), levelPresent(maxSubLayersMinus1);
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
      profilePresent[i] = r.bits(1);
      levelPresent[i] = r.bits(1);
    }
    if (maxSubLayersMinus1 > 0) {
      for (uint32_t i = maxSubLayersMinus1; i < 8; ++i) r.skip(2);
    }
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
      if (profilePresent[i]) r.skip(88);
      if (levelPresent[i]) r.skip(8);
    }
    r.ue();  // sps_seq_parameter_set_id
    info.chromaFormatIdc = r.ue();
    if (info.chromaFormatIdc == 3) r.skip(1);
    info.width = r.ue();
    info.height = r.ue();
    if (r.bits(1)) {  // conformance window
      uint32_t left = r.ue(), right = r.ue(), top = r.ue(), bottom = r.ue();
      uint32_t subW = (info.chromaFormatIdc == 1 || info.chromaFormatIdc == 2) ? 2 : 1;
      uint32_t subH = info.chromaFormatIdc == 1 ? 2 : 1;
      info.width -= subW * (left + right);
      info.height -= subH * (top + bottom);
    }
    info.bitDepthLuma = r.ue() + 8;
    info.bitDepthChroma = r.ue() + 8;
    return info;
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

std::optional<HEVCFormatDescription> HEVCFormatDescription::make(std::vector<std::vector<uint8_t>> parameterSets) {
  std::optional<HEVCSequenceInfo> sps;
  for (const auto& ps : parameterSets) {
    if (hevcNALType(ps) == kSPS) {
      sps = parseHEVCSequenceParameterSet(ps);
      break;
    }
  }
  if (!sps) return std::nullopt;

  HEVCFormatDescription d;
  d.width = sps->width;
  d.height = sps->height;
  auto& c = d.hvcC;
  c.push_back(1);  // configurationVersion
  c.push_back(static_cast<uint8_t>((sps->profileSpace << 6) | (sps->tierFlag ? 0x20 : 0) | (sps->profileIdc & 0x1F)));
  for (int shift = 24; shift >= 0; shift -= 8) c.push_back(static_cast<uint8_t>(sps->compatibilityFlags >> shift));
  for (uint8_t b : sps->constraintFlags) c.push_back(b);
  c.push_back(sps->levelIdc);
  c.push_back(0xF0);  // min_spatial_segmentation_idc = 0
  c.push_back(0x00);
  c.push_back(0xFC);  // parallelismType = 0
  c.push_back(static_cast<uint8_t>(0xFC | (sps->chromaFormatIdc & 0x03)));
  c.push_back(static_cast<uint8_t>(0xF8 | ((sps->bitDepthLuma - 8) & 0x07)));
  c.push_back(static_cast<uint8_t>(0xF8 | ((sps->bitDepthChroma - 8) & 0x07)));
  c.push_back(0);  // avgFrameRate
  c.push_back(0);
  c.push_back(0x0F);  // constantFrameRate 0, numTemporalLayers 1, temporalIdNested 1, lengthSizeMinusOne 3
  std::vector<std::vector<uint8_t>> ordered;
  for (int type : {kVPS, kSPS, kPPS}) {
    for (const auto& ps : parameterSets) {
      if (hevcNALType(ps) == type) ordered.push_back(ps);
    }
  }
  c.push_back(static_cast<uint8_t>(ordered.size()));
  for (const auto& ps : ordered) {
    c.push_back(static_cast<uint8_t>(0x80 | hevcNALType(ps)));  // array_completeness = 1
    c.push_back(0);
    c.push_back(1);  // one unit of this type
    c.push_back(static_cast<uint8_t>(ps.size() >> 8));
    c.push_back(static_cast<uint8_t>(ps.size()));
    c.insert(c.end(), ps.begin(), ps.end());
  }
  d.parameterSets = std::move(ordered);
  return d;
}

}  // namespace brindlet::platform
