// Clip-shape masks: a ready ".msk" file, or a two-colour picture (BMP or PNG) turned into
// region data. A pixel belongs to the shape when it is opaque and dark (black on white);
// `invert` takes the light pixels instead. One picture pixel is one movie pixel.
//
// Mask file: u32 N, then N bytes: the region data (32-byte header of rectangle type, then
// the rectangles, one-pixel-high runs merged down identical rows) and 32 zero bytes, so that
// N - 32, the count the projector hands to the region call, covers the region data exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::pack {

struct MaskImage {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> inside;  // width * height, 1 for shape pixels, top row first
};

// Throw InputError naming the file for anything they cannot read.
MaskImage ReadBmpMask(const std::vector<uint8_t>& bytes, const std::string& name, bool invert);
MaskImage ReadPngMask(const std::vector<uint8_t>& bytes, const std::string& name, bool invert);

std::vector<uint8_t> MaskFileFromImage(const MaskImage& image);
// The content of a mask file for the input file (by extension .msk, .bmp or .png).
std::vector<uint8_t> LoadMaskFile(const std::string& path, bool invert);

struct MaskRect {
    int32_t left, top, right, bottom;
};
// The rectangles of a mask file; false when it is not one.
bool ParseMaskFile(const std::vector<uint8_t>& bytes, std::vector<MaskRect>& rects, MaskRect& bound);

}  // namespace vantor::pack
