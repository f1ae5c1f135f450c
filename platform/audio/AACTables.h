#pragma once

// Tables of the MPEG-4 audio standard that the AAC-ELD encoder codes with.

#include <cstdint>

namespace brindlet::platform::aac {

// A Huffman codebook: the codeword and its length in bits for each index.
struct Codebook {
  const std::uint16_t* codes;
  const std::uint8_t* lengths;
  int size;
};

// Scale factor differences, index = difference + 60.
extern const std::uint32_t scalefactorCodes[121];
extern const std::uint8_t scalefactorLengths[121];

// Spectral codebooks 1 to 11 at index 0 to 10.
extern const Codebook spectralCodebooks[11];

// The 36 scale factor bands of a 512-line spectrum at 48 kHz: band b is [offset[b], offset[b + 1]).
extern const std::uint16_t bandOffsets512At48k[37];

// The low-delay synthesis window of the 512-sample frame: 1920 coefficients (the remaining 128
// of its 2048 are zero), in Q30.
extern const std::int32_t lowDelayWindow512Q30[1920];

}  // namespace brindlet::platform::aac
