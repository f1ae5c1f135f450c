#pragma once
// B,G,R,X pictures to planar Y'CbCr, BT.709 limited range, 4:2:0 (each chroma sample the mean
// of its 2x2 pixels) or 4:4:4. Fixed-point; the same result on every machine.
#include <cstdint>

namespace brindlet::platform {

struct PlanarPicture;

// Rows [firstRow, endRow) of a width x height picture; for 4:2:0 `firstRow` must be even.
void convertBGRXToYCbCr420(const uint8_t* src, int srcStride, int width, int height, int firstRow, int endRow,
                           const PlanarPicture& dst);
void convertBGRXToYCbCr444(const uint8_t* src, int srcStride, int width, int firstRow, int endRow,
                           const PlanarPicture& dst);

}  // namespace brindlet::platform
