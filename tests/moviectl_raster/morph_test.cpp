// Morph shapes: a hand-made DefineMorphShape placed at several ratios, edge and style
// blending, and damaged tags.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "moviectl/player.h"
#include "moviectl/raster.h"
#include "moviectl/raster_morph.h"
#include "render_movie.h"
#include "tests/moviectl/swf_builder.h"

namespace {

using namespace moviectl;
using namespace swftest;

// Shape records of a square `size` twips wide at (x, y); the start shape selects fill 1.
void squareRecords(Bytes& b, int x, int y, int size, bool withFill) {
  BitWriter bw{b};
  bw.bits(withFill ? 1 : 0, 4);  // fill bits
  bw.bits(0, 4);                 // line bits
  bw.bits(0, 1);
  bw.bits(withFill ? 0x05 : 0x01, 5);  // move to (and select fill 1)
  bw.bits(16, 5);
  bw.bits(static_cast<uint32_t>(x), 16);
  bw.bits(static_cast<uint32_t>(y), 16);
  if (withFill) bw.bits(1, 1);
  auto line = [&](int dx, int dy) {
    bw.bits(1, 1);
    bw.bits(1, 1);
    bw.bits(15, 4);  // 17 bits per delta
    bw.bits(0, 1);
    bw.bits(dy ? 1 : 0, 1);
    bw.bits(static_cast<uint32_t>(dx ? dx : dy), 17);
  };
  line(size, 0);
  line(0, size);
  line(-size, 0);
  line(0, -size);
  bw.bits(0, 6);
  bw.flush();
}

// Red 100 px square at the origin morphing into a blue 200 px square at x = 200 px.
Bytes morphTag() {
  Bytes styles;
  u8(styles, 1);  // one fill: solid, start red, end blue
  u8(styles, 0x00);
  for (uint8_t v : {255, 0, 0, 255, 0, 0, 255, 255}) u8(styles, v);
  u8(styles, 0);  // no lines
  squareRecords(styles, 0, 0, 2000, true);
  Bytes p;
  u16(p, 7);
  rect(p, 0, 2000, 0, 2000);
  rect(p, 4000, 8000, 0, 4000);
  u32(p, static_cast<uint32_t>(styles.size()));
  p.insert(p.end(), styles.begin(), styles.end());
  squareRecords(p, 4000, 0, 4000, false);
  return p;
}

Tags placedAt(const Bytes& morph, uint16_t ratio) {
  Tags t;
  t.tag(9, {255, 255, 255});
  t.tag(46, morph);
  Bytes place;
  u8(place, 0x02 | 0x10);  // character and ratio
  u16(place, 1);
  u16(place, 7);
  u16(place, ratio);
  t.tag(26, place).showFrame();
  return t;
}


int channel(uint32_t px, int shift) { return static_cast<int>((px >> shift) & 0xFF); }

}  // namespace

TEST(RasterMorph, RatioBlendsEdgesAndColours) {
  struct Case {
    uint16_t ratio;
    int x, y;
    uint32_t want;
  } cases[] = {
      {0, 50, 50, 0xFFFF0000},      {0, 150, 50, 0xFFFFFFFF},     // the start square
      {65535, 50, 50, 0xFFFFFFFF},  {65535, 390, 190, 0xFF0000FF}, // the end square
      {32768, 175, 75, 0xFF800080}, {32768, 240, 140, 0xFF800080}, // halfway: x 100..250, y 0..150
      {32768, 95, 75, 0xFFFFFFFF},  {32768, 175, 155, 0xFFFFFFFF},
  };
  Bytes tag = morphTag();
  for (const Case& c : cases) {
    uint32_t got = renderMovie(placedAt(tag, c.ratio)).at(c.x, c.y);
    for (int sh : {0, 8, 16}) EXPECT_NEAR(channel(got, sh), channel(c.want, sh), 1) << c.ratio << " at " << c.x;
  }
}

TEST(RasterMorph, CurvesPairWithLinesAndLineWidthsBlend) {
  // Start: a triangle of lines with a 2 px outline; end: the same corners, the bottom edge
  // a curve bulging down, and a 10 px outline.
  auto fills = std::make_shared<std::vector<FillStyle>>();
  auto lines = std::make_shared<std::vector<LineStyle>>();
  auto shapeOf = [&](bool curved) {
    auto s = std::make_shared<ShapeDef>();
    ShapePath p;
    p.fills = fills;
    p.lines = lines;
    p.fill1 = 1;
    p.line = 1;
    p.edges.push_back(Edge{200, 200, 0, 0, 1800, 200, false});
    p.edges.push_back(Edge{1800, 200, 0, 0, 1000, 1000, false});
    if (curved)
      p.edges.push_back(Edge{1000, 1000, 400, 1400, 200, 200, true});
    else
      p.edges.push_back(Edge{1000, 1000, 0, 0, 200, 200, false});
    s->paths.push_back(p);
    return s;
  };
  MorphDef m;
  m.start = shapeOf(false);
  m.end = shapeOf(true);
  FillStyle f;
  f.color = RGBA{0, 0, 0, 255};
  m.startFills = m.endFills = {f};
  LineStyle thin, thick;
  thin.width = 40;
  thick.width = 200;
  thin.color = thick.color = RGBA{0, 0, 255, 255};
  m.startLines = {thin};
  m.endLines = {thick};
  Matrix toPixels;
  toPixels.a = toPixels.d = 1.0 / 20;
  auto draw = [&](const ShapeDef& s) {
    Surface out(100, 100);
    out.clear(0xFFFFFFFFu);
    renderShape(s, nullptr, toPixels, ColorTransform(), out);
    return out;
  };
  // At the start the morph is exactly the start shape with the start styles.
  ShapeDef plain = *m.start;
  for (auto& p : plain.paths) {
    p.fills = std::make_shared<std::vector<FillStyle>>(m.startFills);
    p.lines = std::make_shared<std::vector<LineStyle>>(m.startLines);
  }
  EXPECT_EQ(draw(*morphShapeAt(m, 0)).pixels, draw(plain).pixels);
  // Halfway the outline is 6 px wide: the top edge (y = 10 px) covers rows 7 to 12.
  Surface half = draw(*morphShapeAt(m, 32768));
  for (int y = 7; y <= 12; ++y) EXPECT_EQ(half.at(50, y), 0xFF0000FFu) << y;
  EXPECT_EQ(half.at(50, 6), 0xFFFFFFFFu);
  // At the end the bottom-left edge is a curve: a point outside the straight edge is filled.
  Surface end = draw(*morphShapeAt(m, 65535));
  EXPECT_EQ(draw(*morphShapeAt(m, 0)).at(22, 40), 0xFFFFFFFFu);
  EXPECT_NE(end.at(22, 40), 0xFFFFFFFFu);
}

TEST(RasterMorph, DamagedTagsLoadAndDraw) {
  Bytes tag = morphTag();
  for (size_t cut = 2; cut < tag.size(); cut += 3) {
    Bytes part(tag.begin(), tag.begin() + static_cast<std::ptrdiff_t>(cut));
    Surface s = renderMovie(placedAt(part, 30000));
    EXPECT_EQ(s.at(500, 350), 0xFFFFFFFFu) << cut;  // far from the shape: untouched
  }
  // An end-edge offset pointing far past the tag.
  Bytes wild = tag;
  wild[2 + 9 + 9 + 3] = 0x7F;  // high byte of the offset (after the id and two rectangles)
  renderMovie(placedAt(wild, 30000));
}
