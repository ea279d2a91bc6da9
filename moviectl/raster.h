// Rasteriser: draws a player's display list into a 32-bit premultiplied ARGB buffer.
//
// Shapes are flattened to line segments in device space and filled scanline by scanline with
// exact horizontal coverage and kSubSamples sub-scanlines per pixel row, which gives smooth
// anti-aliased edges without a full supersampled buffer. Strokes become polygons (segment
// quads and round joins) filled with the non-zero rule, so overlapping pieces merge.
#pragma once

#include <cstdint>
#include <vector>

#include "moviectl/player.h"
#include "moviectl/swf.h"

namespace moviectl {

struct Surface {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;  // premultiplied 0xAARRGGBB, row-major
  Surface() = default;
  Surface(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h, 0) {}
  void clear(uint32_t argb) { std::fill(pixels.begin(), pixels.end(), argb); }
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

enum class ScaleMode { ShowAll = 0, NoBorder = 1, ExactFit = 2, NoScale = 3 };
enum Align : unsigned { AlignLeft = 1, AlignRight = 2, AlignTop = 4, AlignBottom = 8 };

// Transform from stage twips to device pixels for a view of `width` x `height` pixels.
Matrix stageTransform(const Rect& frame, int width, int height, ScaleMode mode, unsigned align = 0);

struct RenderOptions {
  Matrix view;                 // stage twips -> pixels (see stageTransform)
  bool drawBackground = true;  // fill with the movie's background colour first
  bool hasBackgroundOverride = false;
  RGBA backgroundOverride;
};

// Draws all levels of the player.
void renderPlayer(Player& player, Surface& target, const RenderOptions& options);

// Draws one shape with a transform and colour transform (used by tests and tools).
void renderShape(const ShapeDef& shape, const MovieDef* movie, const Matrix& toPixels,
                 const ColorTransform& cx, Surface& target);

// Minimal PNG reader for reference images (non-interlaced; every colour type and bit depth).
// Returns false for anything else. Pixels come out as straight (not premultiplied) ARGB.
bool decodePng(const uint8_t* data, size_t size, int& width, int& height, std::vector<uint32_t>& argb);

}  // namespace moviectl
