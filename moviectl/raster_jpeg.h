// Baseline JPEG decoder for the movie's bitmap tags.
//
// Handles what movies carry: Huffman-coded sequential images with 8-bit samples, one
// (grey) or three (YCbCr) components, any sampling factors up to 4, restart intervals, and
// tables that come in a separate block (the movie's shared table tag) or inside the image
// data, including the stray end/start marker pair that older authoring tools put between
// them. Progressive and arithmetic-coded images are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "moviectl/swf.h"

namespace moviectl {

struct JpegImage {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // opaque 0xFFRRGGBB, row-major
};

// Decodes `data`, reading tables from `tables` first when given (either may hold tables).
// Refuses images of more than `maxPixels` pixels. On failure returns false; damaged entropy
// data after a valid header still gives an image (the rest of it grey), as players show.
bool decodeJpeg(const uint8_t* tables, size_t tablesSize, const uint8_t* data, size_t size, size_t maxPixels,
                JpegImage& out);

// The bitmap of a JPEG bitmap tag: `tables` from the movie's shared table tag (or null),
// the image data (JPEG, or a PNG image in later movies) and optionally compressed alpha
// (one byte per pixel; the colour data is then premultiplied by it already). Pixels come out
// premultiplied. Null when the image cannot be read.
std::shared_ptr<BitmapDef> decodeBitmapTag(const Bytes* tables, const uint8_t* data, size_t size,
                                           const uint8_t* alpha, size_t alphaSize, size_t maxPixels);

}  // namespace moviectl
