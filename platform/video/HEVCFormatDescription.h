#pragma once
// What a compressed HEVC stream's format says about itself: its parameter sets (VPS, SPS,
// PPS, each one NAL unit without start code or length prefix) and the decoder configuration
// record ("hvcC") built from them, which names the profile, chroma format and bit depths.
#include <cstdint>
#include <optional>
#include <vector>

namespace brindlet::platform {

// The fields of a sequence parameter set that describe the stream.
struct HEVCSequenceInfo {
  uint8_t profileSpace = 0;
  bool tierFlag = false;
  uint8_t profileIdc = 0;
  uint32_t compatibilityFlags = 0;
  uint8_t constraintFlags[6] = {};
  uint8_t levelIdc = 0;
  uint32_t chromaFormatIdc = 0;
  uint32_t bitDepthLuma = 8;
  uint32_t bitDepthChroma = 8;
  uint32_t width = 0;
  uint32_t height = 0;
};

// Reads an SPS NAL unit (with its two-byte header); nothing when it is not one or is cut short.
std::optional<HEVCSequenceInfo> parseHEVCSequenceParameterSet(const std::vector<uint8_t>& nal);

// NAL unit type of a unit that starts with its two-byte header.
inline int hevcNALType(const std::vector<uint8_t>& nal) { return nal.empty() ? -1 : (nal[0] >> 1) & 0x3F; }

struct HEVCFormatDescription {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<std::vector<uint8_t>> parameterSets;  // in the order VPS, SPS, PPS
  std::vector<uint8_t> hvcC;

  // Builds the description from the encoder's parameter sets; nothing without a readable SPS.
  static std::optional<HEVCFormatDescription> make(std::vector<std::vector<uint8_t>> parameterSets);
};

}  // namespace brindlet::platform
