// Rasteriser tests: shapes built in memory (coordinates in pixels, stored as twips) drawn onto
// small surfaces, then pixels checked at points whose coverage or colour is known exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "moviectl/player.h"
#include "moviectl/raster.h"
#include "render_movie.h"
#include "tests/moviectl/swf_builder.h"

namespace {

using namespace moviectl;

struct P {
  double x, y;
};

constexpr double kPi = 3.14159265358979323846;

int32_t tw(double px) { return static_cast<int32_t>(std::lround(px * 20)); }

RGBA rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) { return RGBA{r, g, b, a}; }

// A shape under construction: style tables shared by every path, as one style group.
struct ShapeMaker {
  ShapeDef def;
  std::shared_ptr<std::vector<FillStyle>> fills = std::make_shared<std::vector<FillStyle>>();
  std::shared_ptr<std::vector<LineStyle>> lines = std::make_shared<std::vector<LineStyle>>();

  uint32_t fill(const FillStyle& f) {
    fills->push_back(f);
    return static_cast<uint32_t>(fills->size());
  }
  uint32_t solid(RGBA c) {
    FillStyle f;
    f.color = c;
    return fill(f);
  }
  uint32_t line(double widthPx, RGBA c) {
    LineStyle l;
    l.width = static_cast<uint16_t>(std::lround(widthPx * 20));
    l.color = c;
    lines->push_back(l);
    return static_cast<uint32_t>(lines->size());
  }
  // Straight edges through `pts`, back to the first point when `close`.
  ShapeMaker& path(const std::vector<P>& pts, uint32_t fill0, uint32_t fill1, uint32_t line, bool close = true) {
    ShapePath p;
    p.fills = fills;
    p.lines = lines;
    p.fill0 = fill0;
    p.fill1 = fill1;
    p.line = line;
    size_t n = close ? pts.size() : pts.size() - 1;
    for (size_t i = 0; i < n; ++i) {
      const P& a = pts[i];
      const P& b = pts[(i + 1) % pts.size()];
      p.edges.push_back(Edge{tw(a.x), tw(a.y), 0, 0, tw(b.x), tw(b.y), false});
    }
    def.paths.push_back(p);
    return *this;
  }
  // A circle of eight quadratic curves (control points outside, anchors on the circle).
  ShapeMaker& circle(double cx, double cy, double r, uint32_t fill1) {
    ShapePath p;
    p.fills = fills;
    p.lines = lines;
    p.fill1 = fill1;
    const double k = 1 / std::cos(kPi / 8);
    for (int i = 0; i < 8; ++i) {
      double a0 = kPi / 4 * i, am = a0 + kPi / 8, a1 = a0 + kPi / 4;
      p.edges.push_back(Edge{tw(cx + r * std::cos(a0)), tw(cy + r * std::sin(a0)), tw(cx + r * k * std::cos(am)),
                             tw(cy + r * k * std::sin(am)), tw(cx + r * std::cos(a1)), tw(cy + r * std::sin(a1)), true});
    }
    def.paths.push_back(p);
    return *this;
  }
};

std::vector<P> box(double x0, double y0, double x1, double y1) { return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}; }

// Twips to pixels, then `extra` in pixel space.
Matrix toPixels(const Matrix& extra = Matrix()) {
  Matrix base;
  base.a = base.d = 1.0 / 20;
  return extra * base;
}

Surface draw(const ShapeMaker& s, int w, int h, const Matrix& extra = Matrix(), const ColorTransform& cx = {},
             const MovieDef* movie = nullptr) {
  Surface out(w, h);
  out.clear(0xFFFFFFFFu);
  renderShape(s.def, movie, toPixels(extra), cx, out);
  return out;
}

int channel(uint32_t px, int shift) { return static_cast<int>((px >> shift) & 0xFF); }
int red(uint32_t px) { return channel(px, 16); }
int green(uint32_t px) { return channel(px, 8); }
int blue(uint32_t px) { return channel(px, 0); }

// How much of a pixel a black fill covers on white.
double cover(const Surface& s, int x, int y) { return (255 - red(s.at(x, y))) / 255.0; }

double coverSum(const Surface& s) {
  double sum = 0;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) sum += cover(s, x, y);
  return sum;
}

const RGBA kBlack = rgba(0, 0, 0);

}  // namespace

// --- fills -----------------------------------------------------------------------------------

TEST(RasterFill, EdgePixelsGetTheAreaTheyCover) {
  struct Case {
    const char* what;
    std::vector<P> outline;
    int x, y;
    double cover;
  } cases[] = {
      {"left edge a quarter in", box(10.25, 5, 20.75, 15), 10, 8, 0.75},
      {"right edge three quarters in", box(10.25, 5, 20.75, 15), 20, 8, 0.75},
      {"inside", box(10.25, 5, 20.75, 15), 15, 8, 1},
      {"left of it", box(10.25, 5, 20.75, 15), 9, 8, 0},
      {"right of it", box(10.25, 5, 20.75, 15), 21, 8, 0},
      {"top edge halfway", box(10, 5.5, 20, 15), 12, 5, 0.5},
      {"corner: a quarter off and half off", box(10.25, 5.5, 20, 15), 10, 5, 0.375},
      {"sliver narrower than a pixel", box(10, 5, 10.2, 15), 10, 8, 0.2},
      {"both edges in one pixel", box(10.2, 5, 10.7, 15), 10, 8, 0.5},
      {"diagonal through the middle", {{0, 0}, {40, 0}, {0, 40}}, 19, 20, 0.5},
      {"diagonal cutting a corner off", {{0, 0}, {40.5, 0}, {0, 40.5}}, 20, 20, 0.125},
      {"diagonal leaving a corner out", {{0, 0}, {40.5, 0}, {0, 40.5}}, 19, 20, 0.875},
  };
  for (const Case& c : cases) {
    ShapeMaker s;
    s.path(c.outline, 0, s.solid(kBlack), 0);
    Surface out = draw(s, 48, 48);
    EXPECT_NEAR(cover(out, c.x, c.y), c.cover, 0.01) << c.what;
  }
}

TEST(RasterFill, CoveredAreaAddsUpToTheOutlineArea) {
  // A triangle with edges at many slopes, and a circle of curves whose area is known in
  // closed form: chord polygon plus two thirds of each control triangle.
  ShapeMaker tri;
  tri.path({{3.3, 4.1}, {57.9, 11.6}, {21.4, 58.2}}, 0, tri.solid(kBlack), 0);
  double triArea = std::fabs((57.9 - 3.3) * (58.2 - 4.1) - (21.4 - 3.3) * (11.6 - 4.1)) / 2;
  EXPECT_NEAR(coverSum(draw(tri, 64, 64)), triArea, triArea * 0.002);

  ShapeMaker circle;
  circle.circle(32, 32, 25, circle.solid(kBlack));
  double area = 0;
  for (const Edge& e : circle.def.paths[0].edges) {
    double x0 = e.x0 / 20.0, y0 = e.y0 / 20.0, cx = e.cx / 20.0, cy = e.cy / 20.0, x1 = e.x1 / 20.0, y1 = e.y1 / 20.0;
    area += (x0 * y1 - x1 * y0) / 2 + 2.0 / 3 * ((cx - x0) * (y1 - y0) - (x1 - x0) * (cy - y0)) / 2;
  }
  // Lines stay within a tenth of a pixel of the curve, so the area can fall short by little.
  EXPECT_NEAR(coverSum(draw(circle, 64, 64)), std::fabs(area), std::fabs(area) * 0.006);
}

TEST(RasterFill, SurfaceBordersClipWithoutChangingPixels) {
  // A star reaching past all four borders of a small surface must give the same pixels as
  // the same star drawn in the middle of a large one.
  std::vector<P> star;
  for (int k = 0; k < 10; ++k) {
    double a = k * kPi / 5 + 0.3, r = k % 2 ? 14 : 38;
    star.push_back({20 + r * std::cos(a), 20 + r * std::sin(a)});
  }
  ShapeMaker s;
  s.path(star, 0, s.solid(kBlack), 0);
  Surface small = draw(s, 40, 40);
  Matrix shift;
  shift.tx = shift.ty = 50;
  Surface large = draw(s, 140, 140, shift);
  int worst = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) worst = std::max(worst, std::abs(red(small.at(x, y)) - red(large.at(x + 50, y + 50))));
  EXPECT_LE(worst, 1);
  EXPECT_GT(coverSum(small), 100);  // the star does show
}

TEST(RasterFill, FillRulesDecideOverlaps) {
  struct Case {
    bool nonZero, sameDirection;
    double overlap;
  } cases[] = {{false, true, 0}, {true, true, 1}, {false, false, 0}, {true, false, 0}};
  for (const Case& c : cases) {
    ShapeMaker s;
    uint32_t f = s.solid(kBlack);
    s.def.nonZero = c.nonZero;
    s.path(box(10, 10, 30, 30), 0, f, 0);
    std::vector<P> second = box(20, 20, 40, 40);
    if (!c.sameDirection) std::reverse(second.begin(), second.end());
    s.path(second, 0, f, 0);
    Surface out = draw(s, 48, 48);
    std::string what = std::string(c.nonZero ? "non-zero" : "even-odd") + (c.sameDirection ? ", same" : ", opposite");
    EXPECT_NEAR(cover(out, 25, 25), c.overlap, 0.01) << what;
    EXPECT_NEAR(cover(out, 15, 15), 1, 0.01) << what;
    EXPECT_NEAR(cover(out, 35, 35), 1, 0.01) << what;
  }
}

TEST(RasterFill, EdgesBoundTheFillOnTheirSideOnly) {
  // Clockwise with the fill on the right (fill1) is the same as anticlockwise with the fill
  // on the left (fill0).
  ShapeMaker right, left;
  right.path(box(5.3, 6.6, 30.2, 27.9), 0, right.solid(kBlack), 0);
  std::vector<P> rev = box(5.3, 6.6, 30.2, 27.9);
  std::reverse(rev.begin(), rev.end());
  left.path(rev, left.solid(kBlack), 0, 0);
  Surface a = draw(right, 36, 36), b = draw(left, 36, 36);
  EXPECT_EQ(a.pixels, b.pixels);

  // Two halves of one fill meeting mid-pixel leave no seam, and an edge with the same fill
  // on both sides bounds nothing.
  ShapeMaker halves;
  uint32_t f = halves.solid(kBlack);
  halves.path(box(5, 5, 15.5, 25), 0, f, 0).path(box(15.5, 5, 30, 25), 0, f, 0);
  halves.path({{5, 5}, {30, 25}}, f, f, 0, false);
  Surface h = draw(halves, 36, 36);
  EXPECT_EQ(h.at(15, 10), 0xFF000000u);
  EXPECT_EQ(h.at(20, 20), 0xFF000000u);
  EXPECT_EQ(h.at(8, 20), 0xFF000000u);
}

TEST(RasterFill, ColourTransformsApplyToFills) {
  struct Case {
    RGBA colour;
    ColorTransform cx;
    uint32_t want;
  } cases[3];
  cases[0].colour = rgba(200, 100, 50);
  cases[0].cx.rm = 0.5;
  cases[0].cx.ga = 30;
  cases[0].cx.ba = -60;
  cases[0].want = 0xFF648200u;
  cases[1].colour = rgba(10, 20, 30);
  cases[1].cx.ra = 300;  // clamps at 255
  cases[1].cx.bm = -1;   // negative multipliers clamp at 0
  cases[1].want = 0xFFFF1400u;
  cases[2].colour = rgba(255, 0, 0);
  cases[2].cx.am = 0.5;  // half transparent red over white
  cases[2].want = 0xFFFF8080u;
  for (const Case& c : cases) {
    ShapeMaker s;
    s.path(box(0, 0, 8, 8), 0, s.solid(c.colour), 0);
    uint32_t got = draw(s, 8, 8, Matrix(), c.cx).at(4, 4);
    for (int sh : {0, 8, 16, 24}) EXPECT_NEAR(channel(got, sh), channel(c.want, sh), 1) << std::hex << got;
  }
}

// --- strokes ---------------------------------------------------------------------------------

TEST(RasterStroke, WidthAndRoundCaps) {
  ShapeMaker s;
  uint32_t wide = s.line(4, kBlack), hair = s.line(0, kBlack);
  s.path({{10, 20}, {40, 20}}, 0, 0, wide, false);
  s.path({{50.5, 5}, {50.5, 35}}, 0, 0, hair, false);  // centred on a pixel column
  s.path({{60, 5}, {60, 35}}, 0, 0, hair, false);      // on the line between two columns
  Surface out = draw(s, 64, 48);
  struct Case {
    const char* what;
    int x, y;
    double lo, hi;
  } cases[] = {
      {"middle of the wide line", 25, 20, 0.99, 1},
      {"top row of the wide line", 25, 18, 0.99, 1},
      {"bottom row of the wide line", 25, 21, 0.99, 1},
      {"above the wide line", 25, 17, 0, 0.01},
      {"below the wide line", 25, 22, 0, 0.01},
      {"inside the right cap", 40, 19, 0.99, 1},
      {"rim of the right cap", 41, 19, 0.05, 0.95},
      {"past the right cap", 42, 19, 0, 0.01},
      {"inside the left cap", 9, 19, 0.99, 1},
      {"past the left cap", 7, 19, 0, 0.01},
      {"hairline on a column", 50, 20, 0.99, 1},
      {"beside the hairline", 49, 20, 0, 0.01},
      {"hairline between columns, left", 59, 20, 0.49, 0.51},
      {"hairline between columns, right", 60, 20, 0.49, 0.51},
  };
  for (const Case& c : cases) {
    double v = cover(out, c.x, c.y);
    EXPECT_TRUE(v >= c.lo && v <= c.hi) << c.what << ": " << v;
  }
}

namespace {

// Strokes a polyline `width` wide and checks every pixel: covered in full where the whole
// pixel is within the half width of the centre line, untouched where none of it is.
void expectStrokeBody(const std::vector<P>& pts, double width, int w, int h) {
  ShapeMaker s;
  s.path(pts, 0, 0, s.line(width, kBlack), false);
  Surface out = draw(s, w, h);
  double half = width / 2;
  int wrong = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double px = x + 0.5, py = y + 0.5, best = 1e9;
      for (size_t i = 0; i + 1 < pts.size(); ++i) {
        double dx = pts[i + 1].x - pts[i].x, dy = pts[i + 1].y - pts[i].y;
        double t = std::clamp(((px - pts[i].x) * dx + (py - pts[i].y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        best = std::min(best, std::hypot(px - pts[i].x - t * dx, py - pts[i].y - t * dy));
      }
      // Half a pixel diagonal (0.71) plus the tolerance of the round parts (0.1).
      double c = cover(out, x, y);
      if ((best < half - 0.81 && c < 0.99) || (best > half + 0.71 && c > 0.01)) {
        if (++wrong <= 5) ADD_FAILURE() << "pixel " << x << "," << y << " covered " << c << " at " << best;
      }
    }
  EXPECT_EQ(wrong, 0);
}

}  // namespace

TEST(RasterStroke, SharpTurnsGetRoundJoinsAndNoGaps) {
  // Zigzag 10 px wide with 67 degree turns; at (30, 10) the outer side is above.
  ShapeMaker s;
  s.path({{10, 40}, {30, 10}, {50, 40}, {70, 10}}, 0, 0, s.line(10, kBlack), false);
  Surface out = draw(s, 80, 56);
  EXPECT_NEAR(cover(out, 30, 6), 1, 0.01);   // inside the round join
  EXPECT_NEAR(cover(out, 30, 3), 0, 0.01);   // where a mitre would reach, a round join does not
  EXPECT_NEAR(cover(out, 30, 13), 1, 0.01);  // inner side of the turn
  EXPECT_NEAR(cover(out, 50, 43), 1, 0.01);  // round join of the lower turn

  // Whole strokes against their distance from the centre line: the zigzag, a hairpin whose
  // middle segment is shorter than the width, and a tight polygon of short segments.
  expectStrokeBody({{10, 40}, {30, 10}, {50, 40}, {70, 10}}, 10, 80, 56);
  expectStrokeBody({{10, 20}, {40, 20}, {41, 23}, {10, 24}}, 12, 56, 40);
  std::vector<P> tight;
  for (int k = 0; k <= 20; ++k) tight.push_back({24 + 3 * std::cos(k * 0.4), 24 + 3 * std::sin(k * 0.4)});
  expectStrokeBody(tight, 14, 48, 48);
}

TEST(RasterStroke, OverlappingPartsOfOneStyleMergeAndWidthsScale) {
  // Two translucent strokes of one style crossing: the crossing is no darker than an arm.
  ShapeMaker cross;
  uint32_t l = cross.line(6, rgba(0, 0, 0, 128));
  cross.path({{10, 10}, {50, 50}}, 0, 0, l, false).path({{10, 50}, {50, 10}}, 0, 0, l, false);
  Surface out = draw(cross, 60, 60);
  EXPECT_NEAR(red(out.at(30, 30)), 127, 1);
  EXPECT_NEAR(red(out.at(20, 20)), 127, 1);

  // Line widths follow the scale of the transform: 2 px scaled by 3 is 6 px.
  ShapeMaker line;
  line.path({{5, 10}, {15, 10}}, 0, 0, line.line(2, kBlack), false);
  Matrix scale;
  scale.a = scale.d = 3;
  Surface big = draw(line, 60, 60, scale);
  for (int y = 27; y <= 32; ++y) EXPECT_NEAR(cover(big, 30, y), 1, 0.01) << y;
  EXPECT_NEAR(cover(big, 30, 26), 0, 0.01);
  EXPECT_NEAR(cover(big, 30, 33), 0, 0.01);
}

// --- gradients and bitmaps -------------------------------------------------------------------

TEST(RasterGradient, RatiosSpreadAndRadialDistance) {
  // Red to blue over x = 0..100 px; the shape runs on to 200 px to show the spread modes.
  auto linear = [](uint8_t spread) {
    FillStyle f;
    f.type = FillStyle::Linear;
    f.gradient.stops = {{0, rgba(255, 0, 0)}, {255, rgba(0, 0, 255)}};
    f.gradient.spread = spread;
    f.matrix.a = f.matrix.d = 2000.0 / 32768;
    f.matrix.tx = 1000;
    f.matrix.ty = 1000;
    return f;
  };
  struct Case {
    uint8_t spread;
    int x, r, b;
  } cases[] = {
      {0, 0, 254, 1},     // t = 0.005
      {0, 49, 129, 126},  // t = 0.495
      {0, 99, 1, 254},    // t = 0.995
      {0, 150, 0, 255},   // padded past the end
      {1, 149, 126, 129}, // reflected: t = 1.495 -> 0.505
      {2, 124, 193, 62},  // repeated: t = 1.245 -> 0.245
  };
  for (const Case& c : cases) {
    ShapeMaker s;
    s.path(box(0, 0, 200, 4), 0, s.fill(linear(c.spread)), 0);
    uint32_t px = draw(s, 200, 4).at(c.x, 2);
    EXPECT_NEAR(red(px), c.r, 2) << "spread " << int(c.spread) << " x " << c.x;
    EXPECT_NEAR(blue(px), c.b, 2) << "spread " << int(c.spread) << " x " << c.x;
  }

  // A steep ramp (black to white within 16 ratios) across 1024 px changes smoothly from
  // pixel to pixel rather than in steps.
  FillStyle steep = linear(0);
  steep.gradient.stops = {{0, rgba(0, 0, 0)}, {16, rgba(255, 255, 255)}};
  steep.matrix.a = 1024 * 20.0 / 32768;
  steep.matrix.tx = 512 * 20;
  ShapeMaker ramp;
  ramp.path(box(0, 0, 1024, 2), 0, ramp.fill(steep), 0);
  Surface rampOut = draw(ramp, 1024, 2);
  int biggest = 0;
  for (int x = 1; x < 64; ++x) {
    int step = red(rampOut.at(x, 1)) - red(rampOut.at(x - 1, 1));
    EXPECT_GE(step, 0) << x;
    biggest = std::max(biggest, step);
  }
  EXPECT_LE(biggest, 6);
  EXPECT_EQ(red(rampOut.at(100, 1)), 255);

  // Stops that share a ratio or go backwards each keep a band of their own: red ends at
  // ratio 254, then blue takes ratio 255 and everything past the end.
  FillStyle odd = linear(0);
  odd.gradient.stops = {{254, rgba(255, 0, 0)}, {0, rgba(0, 0, 255)}, {0, rgba(0, 255, 0)}};
  ShapeMaker oddShape;
  oddShape.path(box(0, 0, 200, 4), 0, oddShape.fill(odd), 0);
  Surface oddOut = draw(oddShape, 200, 4);
  EXPECT_EQ(oddOut.at(50, 2), 0xFFFF0000u);
  EXPECT_EQ(oddOut.at(150, 2), 0xFF0000FFu);

  // Blending in linear light: halfway from black to white is brighter than 128.
  for (uint8_t mode : {0, 1}) {
    FillStyle grey = linear(0);
    grey.gradient.stops = {{0, rgba(0, 0, 0)}, {255, rgba(255, 255, 255)}};
    grey.gradient.interpolation = mode;
    ShapeMaker g;
    g.path(box(0, 0, 100, 4), 0, g.fill(grey), 0);
    EXPECT_NEAR(red(draw(g, 100, 4).at(49, 2)), mode ? 186 : 126, 3) << int(mode);
  }

  FillStyle radial = linear(0);
  radial.type = FillStyle::Radial;
  ShapeMaker s;
  s.path(box(0, 0, 100, 100), 0, s.fill(radial), 0);
  Surface out = draw(s, 100, 100);
  EXPECT_NEAR(red(out.at(49, 49)), 251, 2);   // 0.7 px from the centre
  EXPECT_NEAR(blue(out.at(99, 49)), 252, 2);  // 49.5 px out of 50
  EXPECT_EQ(out.at(99, 99), 0xFF0000FFu);     // beyond the radius
  EXPECT_EQ(out.at(0, 0), 0xFF0000FFu);

  // A focal point halfway to the right rim: red there, and the centre a third of the way
  // from it to the left rim.
  FillStyle focal = radial;
  focal.type = FillStyle::Focal;
  focal.gradient.focal = 0.5;
  ShapeMaker f;
  f.path(box(0, 0, 100, 100), 0, f.fill(focal), 0);
  Surface fout = draw(f, 100, 100);
  EXPECT_NEAR(red(fout.at(75, 49)), 250, 4);
  EXPECT_NEAR(red(fout.at(49, 49)), 170, 4);
  EXPECT_NEAR(blue(fout.at(49, 49)), 85, 4);
  EXPECT_NEAR(blue(fout.at(99, 49)), 250, 6);
}

TEST(RasterBitmap, TexelsRepeatOrClampAndTakeTheColourTransform) {
  MovieDef movie;
  auto bmp = std::make_shared<BitmapDef>();
  bmp->width = bmp->height = 2;
  bmp->pixels = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu, 0xFFFFFFFFu};
  Character ch;
  ch.kind = Character::Bitmap;
  ch.id = 5;
  ch.bitmap = bmp;
  movie.characters[5] = ch;
  auto fill = [](bool repeat, uint16_t id) {
    FillStyle f;
    f.type = FillStyle::Bitmap;
    f.bitmapId = id;
    f.repeat = repeat;
    f.matrix.a = f.matrix.d = 20;  // one texel per pixel
    return f;
  };
  struct Case {
    bool repeat;
    int x, y;
    uint32_t want;
  } cases[] = {
      {true, 0, 0, 0xFFFF0000u}, {true, 1, 0, 0xFF00FF00u}, {true, 0, 1, 0xFF0000FFu}, {true, 1, 1, 0xFFFFFFFFu},
      {true, 2, 0, 0xFFFF0000u}, {true, 3, 5, 0xFFFFFFFFu}, {false, 5, 0, 0xFF00FF00u}, {false, 0, 6, 0xFF0000FFu},
      {false, 7, 7, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    ShapeMaker s;
    s.path(box(0, 0, 8, 8), 0, s.fill(fill(c.repeat, 5)), 0);
    EXPECT_EQ(draw(s, 8, 8, Matrix(), {}, &movie).at(c.x, c.y), c.want) << c.x << "," << c.y;
  }
  ShapeMaker tinted;
  tinted.path(box(0, 0, 8, 8), 0, tinted.fill(fill(true, 5)), 0);
  ColorTransform half;
  half.rm = 0.5;
  EXPECT_EQ(draw(tinted, 8, 8, Matrix(), half, &movie).at(0, 0), 0xFF800000u);
  // An alpha offset tints the visible texels but leaves fully clear ones clear.
  bmp->pixels[1] = 0;
  ColorTransform addAlpha;
  addAlpha.aa = 80;
  Surface faded = draw(tinted, 8, 8, Matrix(), addAlpha, &movie);
  EXPECT_EQ(faded.at(1, 0), 0xFFFFFFFFu);
  EXPECT_EQ(faded.at(0, 0), 0xFFFF0000u);
  // Magnified ten times: smoothed fills blend between texel centres, others keep hard steps.
  // Row 0 of the bitmap is red then green; the centre of pixel 9 is at texel 0.95, which is
  // 0.45 of the way from red's centre to green's.
  bmp->pixels[1] = 0xFF00FF00u;
  for (bool smooth : {true, false}) {
    FillStyle f = fill(false, 5);
    f.smooth = smooth;
    f.matrix.a = f.matrix.d = 200;
    ShapeMaker big;
    big.path(box(0, 0, 20, 4), 0, big.fill(f), 0);
    Surface out = draw(big, 20, 4, Matrix(), {}, &movie);
    EXPECT_EQ(out.at(2, 1), 0xFFFF0000u);   // left of red's centre: clamped, red
    EXPECT_EQ(out.at(17, 1), 0xFF00FF00u);  // right of green's centre
    if (smooth) {
      EXPECT_NEAR(red(out.at(9, 1)), 140, 2);
      EXPECT_NEAR(green(out.at(9, 1)), 115, 2);
      EXPECT_GT(red(out.at(7, 1)), red(out.at(9, 1)));
    } else {
      EXPECT_EQ(out.at(9, 1), 0xFFFF0000u);
      EXPECT_EQ(out.at(10, 1), 0xFF00FF00u);
    }
  }
  // A fill naming a bitmap the movie does not have leaves the surface alone.
  ShapeMaker missing;
  missing.path(box(0, 0, 8, 8), 0, missing.fill(fill(true, 77)), 0);
  Surface out = draw(missing, 8, 8, Matrix(), {}, &movie);
  EXPECT_EQ(out.at(3, 3), 0xFFFFFFFFu);
}

// --- clip layers -----------------------------------------------------------------------------

namespace {

using namespace swftest;

// PlaceObject2 of a character at (x, y) pixels, optionally as a clip layer up to clipDepth.
Bytes placeAt(uint16_t id, uint16_t depth, int xTwips, int yTwips, uint16_t clipDepth = 0) {
  Bytes p;
  u8(p, 0x02 | 0x04 | (clipDepth ? 0x40 : 0));
  u16(p, depth);
  u16(p, id);
  BitWriter bw{p};
  bw.bits(0, 1);  // no scale
  bw.bits(0, 1);  // no rotation
  bw.bits(16, 5);
  bw.bits(static_cast<uint32_t>(xTwips), 16);
  bw.bits(static_cast<uint32_t>(yTwips), 16);
  bw.flush();
  if (clipDepth) u16(p, clipDepth);
  return p;
}

}  // namespace

TEST(RasterClip, LayersShowOnlyWhereTheMaskCovers) {
  Tags t;
  t.tag(9, {255, 255, 255});
  t.rectShape(1, 2000, 2000, 255, 0, 0);  // red 100 x 100
  t.rectShape(2, 1010, 2000, 0, 0, 0);    // mask 50.5 x 100
  t.rectShape(3, 2000, 400, 0, 0, 255);   // blue 100 x 20
  t.tag(26, placeAt(2, 1, 0, 0, 3));      // clips depths 2 and 3
  t.tag(26, placeAt(1, 2, 0, 0));
  t.tag(26, placeAt(3, 3, 0, 1000));      // blue across the middle, also clipped
  t.tag(26, placeAt(3, 4, 0, 2400));      // beyond the clip depth: drawn in full
  t.showFrame();
  Surface s = renderMovie(t);
  EXPECT_EQ(s.at(25, 10), 0xFFFF0000u);  // red inside the mask
  EXPECT_EQ(s.at(75, 10), 0xFFFFFFFFu);  // red outside the mask: not drawn
  EXPECT_EQ(s.at(25, 55), 0xFF0000FFu);  // clipped blue inside
  EXPECT_EQ(s.at(75, 55), 0xFFFFFFFFu);  // clipped blue outside
  EXPECT_EQ(s.at(75, 130), 0xFF0000FFu); // unclipped blue
  EXPECT_EQ(s.at(25, 130), 0xFF0000FFu);
  // The mask's soft edge: half of pixel 50 shows red.
  uint32_t edge = s.at(50, 10);
  EXPECT_EQ(red(edge), 255);
  EXPECT_NEAR(green(edge), 128, 2);
  EXPECT_NEAR(blue(edge), 128, 2);
}

TEST(RasterClip, MasksInsideMasksAreCutAndNeverDrawn) {
  // Outer mask (x 0..100) clips depth 2; at depth 2 an inner mask (x 50..150, green) clips
  // up to depth 4. A blue band across everything at depth 4 (past the outer range) shows
  // only where both masks cover; a red band at depth 6 is clipped by nothing.
  Tags t;
  t.tag(9, {255, 255, 255});
  t.rectShape(1, 2000, 2000, 0, 0, 0);   // 100 x 100
  t.rectShape(2, 2000, 2000, 0, 255, 0);
  t.rectShape(3, 8000, 400, 0, 0, 255);  // 400 x 20
  t.rectShape(4, 8000, 400, 255, 0, 0);
  t.tag(26, placeAt(1, 1, 0, 0, 2));
  t.tag(26, placeAt(2, 2, 1000, 0, 4));
  t.tag(26, placeAt(3, 4, 0, 400));
  t.tag(26, placeAt(4, 6, 0, 1400));
  t.showFrame();
  Surface s = renderMovie(t);
  EXPECT_EQ(s.at(75, 30), 0xFF0000FFu);   // inside both masks
  EXPECT_EQ(s.at(25, 30), 0xFFFFFFFFu);   // outer only
  EXPECT_EQ(s.at(125, 30), 0xFFFFFFFFu);  // inner only
  EXPECT_EQ(s.at(75, 5), 0xFFFFFFFFu);    // the inner mask itself is not drawn
  EXPECT_EQ(s.at(125, 80), 0xFFFF0000u);  // past every range
  EXPECT_EQ(s.at(300, 80), 0xFFFF0000u);
}

// --- hostile geometry ------------------------------------------------------------------------

TEST(RasterRobustness, NonFiniteFarAndHugeTransformsDrawSafely) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  ShapeMaker s;
  uint32_t f = s.solid(kBlack), l = s.line(3, kBlack);
  s.path(box(2, 2, 30, 30), 0, f, l);
  s.circle(20, 20, 10, f);
  s.path({{-1e6, -1e6}, {1e6, 1e6}}, 0, 0, l, false);  // edges at the extremes of twips
  struct Case {
    const char* what;
    double a, d, tx, ty;
    bool blank;  // nothing may show
  } cases[] = {
      {"not a number", nan, 1, 0, 0, true},
      {"infinite offset", 1, 1, inf, 0, true},
      {"far away", 1, 1, 1e12, 1e12, true},
      {"collapsed to nothing", 0, 0, 10, 10, false},
      {"enormous", 1e12, 1e12, 0, 0, false},
      {"tiny", 1e-9, 1e-9, 5, 5, false},
  };
  for (const Case& c : cases) {
    Matrix m;
    m.a = c.a;
    m.d = c.d;
    m.tx = c.tx;
    m.ty = c.ty;
    Surface out = draw(s, 32, 32, m);
    if (c.blank) {
      EXPECT_EQ(coverSum(out), 0) << c.what;
    }
    for (uint32_t px : out.pixels) ASSERT_EQ(px >> 24, 0xFFu) << c.what;  // stays opaque and premultiplied
  }
  // Nothing to draw into.
  Surface empty;
  renderShape(s.def, nullptr, toPixels(), ColorTransform(), empty);
  EXPECT_TRUE(empty.pixels.empty());
}

// --- reference image reader ------------------------------------------------------------------

namespace {

// A PNG file from filtered rows (each row starts with its filter byte).
Bytes makePng(uint32_t w, uint32_t h, int depth, int type, const Bytes& rows, const Bytes& palette = {}) {
  Bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
  auto chunk = [&](const char* tag, const Bytes& body) {
    for (int sh = 24; sh >= 0; sh -= 8) out.push_back(static_cast<uint8_t>(body.size() >> sh));
    Bytes crcData(tag, tag + 4);
    crcData.insert(crcData.end(), body.begin(), body.end());
    out.insert(out.end(), crcData.begin(), crcData.end());
    uLong crc = crc32(0, crcData.data(), static_cast<uInt>(crcData.size()));
    for (int sh = 24; sh >= 0; sh -= 8) out.push_back(static_cast<uint8_t>(crc >> sh));
  };
  Bytes ihdr;
  for (uint32_t v : {w, h})
    for (int sh = 24; sh >= 0; sh -= 8) ihdr.push_back(static_cast<uint8_t>(v >> sh));
  ihdr.insert(ihdr.end(), {static_cast<uint8_t>(depth), static_cast<uint8_t>(type), 0, 0, 0});
  chunk("IHDR", ihdr);
  if (!palette.empty()) chunk("PLTE", palette);
  uLongf n = compressBound(static_cast<uLong>(rows.size()));
  Bytes z(n);
  compress2(z.data(), &n, rows.data(), static_cast<uLong>(rows.size()), 9);
  z.resize(n);
  chunk("IDAT", z);
  chunk("IEND", {});
  return out;
}

}  // namespace

TEST(RasterPng, EveryBitDepthDecodes) {
  struct Case {
    const char* what;
    uint32_t w, h;
    int depth, type;
    Bytes rows, palette;
    std::vector<uint32_t> want;
  } cases[] = {
      {"1-bit palette", 10, 1, 1, 3, {0, 0xA0, 0x40}, {0, 0, 0, 255, 255, 255},
       {0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000,
        0xFFFFFFFF}},
      {"2-bit grey", 4, 1, 2, 0, {0, 0x1B}, {}, {0xFF000000, 0xFF555555, 0xFFAAAAAA, 0xFFFFFFFF}},
      // Two rows of 4-bit palette indices, the second with the "up" filter.
      {"4-bit palette, filtered", 2, 2, 4, 3, {0, 0x12, 2, 0x21}, {9, 9, 9, 10, 20, 30, 40, 50, 60, 70, 80, 90},
       {0xFF0A141E, 0xFF28323C, 0xFF46505A, 0xFF46505A}},
      {"16-bit colour", 1, 1, 16, 2, {0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, {}, {0xFF12569A}},
  };
  for (const Case& c : cases) {
    Bytes png = makePng(c.w, c.h, c.depth, c.type, c.rows, c.palette);
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    ASSERT_TRUE(decodePng(png.data(), png.size(), w, h, px)) << c.what;
    EXPECT_EQ(w, static_cast<int>(c.w)) << c.what;
    EXPECT_EQ(px, c.want) << c.what;
  }
  // Depths that do not exist, and packed depths for colour types that cannot have them.
  std::vector<uint32_t> px;
  int w, h;
  Bytes odd = makePng(4, 1, 3, 0, {0, 0, 0});
  EXPECT_FALSE(decodePng(odd.data(), odd.size(), w, h, px));
  Bytes packedRgb = makePng(4, 1, 4, 2, {0, 0, 0, 0, 0, 0, 0});
  EXPECT_FALSE(decodePng(packedRgb.data(), packedRgb.size(), w, h, px));
  // Fewer rows in the data than the header promises.
  Bytes shortData = makePng(4, 3, 8, 0, {0, 1, 2, 3, 4});
  EXPECT_FALSE(decodePng(shortData.data(), shortData.size(), w, h, px));
}
