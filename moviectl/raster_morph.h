// Morph shapes: a start and an end shape with the same edges and styles, drawn at any ratio
// between them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "moviectl/swf.h"

namespace moviectl {

struct MorphDef {
  Rect startBounds, endBounds;
  std::shared_ptr<const ShapeDef> start;  // edges and the style indices they use
  std::shared_ptr<const ShapeDef> end;    // edges only, one for each edge of the start
  std::vector<FillStyle> startFills, endFills;
  std::vector<LineStyle> startLines, endLines;
};

// Reads a DefineMorphShape (version 1) or DefineMorphShape2 (version 2) body from just after
// the start bounds. `edges` reads one list of shape records without styles. Damaged data
// gives a morph with whatever could be read.
std::shared_ptr<MorphDef> parseMorphShape(ByteReader& r, int version, const Rect& startBounds,
                                          const std::function<std::shared_ptr<ShapeDef>(ByteReader&)>& edges);

// The shape at `ratio` (0 = start, 65535 = end).
std::shared_ptr<ShapeDef> morphShapeAt(const MorphDef& m, uint16_t ratio);

}  // namespace moviectl
