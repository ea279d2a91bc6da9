// Rasteriser: shapes, strokes, gradients, bitmaps, colour transforms and clip layers drawn
// into a premultiplied ARGB surface; also the small PNG reader used for reference images.
#include "moviectl/raster.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "moviectl/raster_morph.h"
#include "moviectl/raster_scan.h"

namespace moviectl {

namespace {

using raster::Pt;

// ---- pixel arithmetic on packed premultiplied ARGB -----------------------------------------

// Every channel of `px` times f/255 (f 0..255), rounded to nearest. The four channels are
// spread over 16-bit lanes of one 64-bit word so that one multiply scales them all.
inline uint32_t scalePixel(uint32_t px, uint32_t f) {
  const uint64_t lanes = 0x00FF00FF00FF00FFull;
  uint64_t x = (px & 0x00FF00FFu) | (static_cast<uint64_t>(px & 0xFF00FF00u) << 24);
  uint64_t t = x * f + 0x0080008000800080ull;
  t = ((t + ((t >> 8) & lanes)) >> 8) & lanes;
  return static_cast<uint32_t>((t & 0x00FF00FFu) | ((t >> 24) & 0xFF00FF00u));
}

// Premultiplied source over destination.
inline uint32_t over(uint32_t src, uint32_t dst) { return src + scalePixel(dst, 255 - (src >> 24)); }

// A translucent colour over a run of pixels: four at a time where SSE2 is there.
void overSpan(uint32_t* px, int len, uint32_t src) {
  const unsigned inv = 255 - (src >> 24);
  int k = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128(), vinv = _mm_set1_epi16(static_cast<short>(inv)),
                half = _mm_set1_epi16(128), vsrc = _mm_set1_epi32(static_cast<int>(src));
  // x * inv / 255 rounded, per 16-bit lane: t = x * inv + 128, (t + (t >> 8)) >> 8.
  auto scale = [&](__m128i v) {
    __m128i t = _mm_add_epi16(_mm_mullo_epi16(v, vinv), half);
    return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
  };
  for (; k + 4 <= len; k += 4) {
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + k));
    __m128i lo = scale(_mm_unpacklo_epi8(d, zero)), hi = scale(_mm_unpackhi_epi8(d, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(px + k), _mm_add_epi8(_mm_packus_epi16(lo, hi), vsrc));
  }
#endif
  for (; k < len; ++k) px[k] = src + scalePixel(px[k], inv);
}

// Draws `src` over `dst` with coverage c (0..256).
inline void blend(uint32_t& dst, uint32_t src, unsigned c) {
  if (c < 256) src = scalePixel(src, (c * 255 + 128) >> 8);
  unsigned a = src >> 24;
  if (a == 255)
    dst = src;
  else if (a)
    dst = over(src, dst);
}

inline uint8_t to8(double v) { return static_cast<uint8_t>(v <= 0 ? 0 : v >= 255 ? 255 : static_cast<int>(v + 0.5)); }

// A colour with the colour transform applied, premultiplied.
uint32_t transformColor(const RGBA& c, const ColorTransform& cx) {
  double r = c.r * cx.rm + cx.ra, g = c.g * cx.gm + cx.ga, b = c.b * cx.bm + cx.ba, a = c.a * cx.am + cx.aa;
  double fa = std::clamp(a / 255.0, 0.0, 1.0);
  auto ch = [&](double v) { return static_cast<uint32_t>(to8(std::clamp(v / 255.0, 0.0, 1.0) * fa * 255)); };
  return (static_cast<uint32_t>(to8(fa * 255)) << 24) | (ch(r) << 16) | (ch(g) << 8) | ch(b);
}

// ---- paints ----------------------------------------------------------------------------------

// Colour values as stored (sRGB) to light intensity and back, for gradients that blend in
// linear light.
struct LightTables {
  static constexpr int kSteps = 4096;
  double linear[256];
  uint8_t stored[kSteps];
  LightTables() {
    for (int v = 0; v < 256; ++v) {
      double c = v / 255.0;
      linear[v] = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    }
    for (int i = 0; i < kSteps; ++i) {
      double c = static_cast<double>(i) / (kSteps - 1);
      double v = c <= 0.0031308 ? c * 12.92 : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
      stored[i] = to8(v * 255);
    }
  }
};

const LightTables& lightTables() {
  static const LightTables tables;
  return tables;
}

// Gradient colours are looked up in a table four times finer than the 256 ratios, so that
// long gradients change smoothly from pixel to pixel instead of in visible steps.
constexpr int kGradientSteps = 1024;

// What a covered pixel is painted with.
struct Paint {
  enum Kind { Solid, Gradient, Bitmap } kind = Solid;
  uint32_t color = 0;  // premultiplied (Solid)
  bool radial = false;
  double focal = 0;  // focal point of a radial gradient, -1..1 along its x axis
  uint8_t spread = 0;
  Matrix inv;          // device -> gradient or texel space
  uint32_t lut[kGradientSteps];  // premultiplied gradient colours
  const BitmapDef* bitmap = nullptr;
  bool repeat = true;
  bool smooth = false;
  bool plainBitmap = true;  // the colour transform leaves texels unchanged
  ColorTransform cx;
};

// Column or row `f` of a bitmap `size` texels wide: wrapped for repeating fills, clamped
// to the edge for clipped ones.
inline long texelIndex(double f, long size, bool repeat) {
  // Wrap in floating point first: texel coordinates of far-off pixels can exceed a long.
  if (repeat) f -= std::floor(f / size) * size;
  if (!(f >= 0)) return 0;  // also catches NaN
  return f >= size - 1 ? size - 1 : static_cast<long>(f);
}

// The colour transform works on straight colour; texels with no alpha at all stay clear
// (an alpha offset does not make the empty parts of an image appear).
uint32_t transformTexel(const Paint& p, uint32_t px) {
  unsigned a = px >> 24;
  if (p.plainBitmap || a == 0) return px;
  RGBA c;
  c.r = static_cast<uint8_t>(std::min(255u, ((px >> 16) & 0xFF) * 255 / a));
  c.g = static_cast<uint8_t>(std::min(255u, ((px >> 8) & 0xFF) * 255 / a));
  c.b = static_cast<uint8_t>(std::min(255u, (px & 0xFF) * 255 / a));
  c.a = static_cast<uint8_t>(a);
  return transformColor(c, p.cx);
}

uint32_t bitmapTexel(const Paint& p, double gx, double gy) {
  const BitmapDef* b = p.bitmap;
  const long w = b->width, h = b->height;
  auto at = [&](long tx, long ty) { return b->pixels[static_cast<size_t>(ty) * b->width + static_cast<size_t>(tx)]; };
  if (!p.smooth) {
    return transformTexel(p, at(texelIndex(std::floor(gx), w, p.repeat), texelIndex(std::floor(gy), h, p.repeat)));
  }
  // Smoothed fills blend the four texels around the point, weighted by distance to their
  // centres (premultiplied, so clear texels do not darken their neighbours).
  double u = gx - 0.5, v = gy - 0.5, fu = std::floor(u), fv = std::floor(v);
  if (!std::isfinite(fu) || !std::isfinite(fv)) return transformTexel(p, at(0, 0));
  long x0 = texelIndex(fu, w, p.repeat), x1 = texelIndex(fu + 1, w, p.repeat);
  long y0 = texelIndex(fv, h, p.repeat), y1 = texelIndex(fv + 1, h, p.repeat);
  unsigned wx = static_cast<unsigned>((u - fu) * 256), wy = static_cast<unsigned>((v - fv) * 256);
  uint32_t q[4] = {at(x0, y0), at(x1, y0), at(x0, y1), at(x1, y1)};
  uint32_t out = 0;
  for (int sh = 0; sh < 32; sh += 8) {
    unsigned top = (q[0] >> sh & 0xFF) * (256 - wx) + (q[1] >> sh & 0xFF) * wx;
    unsigned bottom = (q[2] >> sh & 0xFF) * (256 - wx) + (q[3] >> sh & 0xFF) * wx;
    out |= ((top * (256 - wy) + bottom * wy + 32768) >> 16) << sh;
  }
  return transformTexel(p, out);
}

// How far a point is from the focal point towards the rim of a radial gradient (1 on the
// rim), in units of the gradient circle: the root of |F + (P - F) / t| = 1.
inline double focalRatio(double px, double py, double f) {
  double dx = px - f, dy = py, a = dx * dx + dy * dy, b = f * dx;
  double root = std::sqrt(b * b - a * (f * f - 1));
  return a > 0 ? a / (root - b) : 0;
}

inline uint32_t gradientColor(const Paint& p, double gx, double gy) {
  double t;
  if (!p.radial)
    t = (gx + 16384.0) / 32768.0;
  else if (p.focal == 0)
    t = std::sqrt(gx * gx + gy * gy) / 16384.0;
  else
    t = focalRatio(gx / 16384.0, gy / 16384.0, p.focal);
  if (p.spread == 1) {  // reflect
    t = std::fmod(std::fabs(t), 2.0);
    if (t > 1) t = 2 - t;
  } else if (p.spread == 2) {  // repeat
    t = t - std::floor(t);
  }
  // The 256 ratios split the gradient square into equal cells, each ratio at the centre of
  // its cell.
  double r = t * 256 - 0.5;
  r = std::isfinite(r) ? std::clamp(r, 0.0, 255.0) : 0.0;
  return p.lut[static_cast<int>(r * ((kGradientSteps - 1) / 255.0) + 0.5)];
}

// Paints a run of pixels that share a coverage (1..256) with a gradient or bitmap.
void paintTextureRun(const Paint& p, uint32_t* row, int y, int x, int len, unsigned cover) {
  uint32_t* px = row + x;
  // Texture coordinates step linearly along the row from the first pixel centre.
  double gx, gy;
  p.inv.apply(x + 0.5, y + 0.5, gx, gy);
  const double sx = p.inv.a, sy = p.inv.b;
  for (int k = 0; k < len; ++k, gx += sx, gy += sy)
    blend(px[k], p.kind == Paint::Gradient ? gradientColor(p, gx, gy) : bitmapTexel(p, gx, gy), cover);
}

// Paints a run of pixels that share a coverage (1..256).
inline void paintRun(const Paint& p, uint32_t* row, int y, int x, int len, unsigned cover) {
  uint32_t* px = row + x;
  if (p.kind == Paint::Solid) {
    uint32_t src = cover >= 256 ? p.color : scalePixel(p.color, (cover * 255 + 128) >> 8);
    unsigned a = src >> 24;
    if (a == 255)
      std::fill(px, px + len, src);
    else if (a == 0)
      return;
    else if (len == 1)
      px[0] = over(src, px[0]);
    else
      overSpan(px, len, src);
    return;
  }
  paintTextureRun(p, row, y, x, len, cover);
}

void makePaint(const FillStyle& f, const MovieDef* movie, const Matrix& m, const ColorTransform& cx, Paint& p) {
  p.cx = cx;
  switch (f.type) {
    case FillStyle::Solid:
      p.kind = Paint::Solid;
      p.color = transformColor(f.color, cx);
      break;
    case FillStyle::Linear:
    case FillStyle::Radial:
    case FillStyle::Focal: {
      const auto& st = f.gradient.stops;
      if (st.empty()) {
        // A gradient without stops draws nothing.
        p.kind = Paint::Solid;
        p.color = 0;
        break;
      }
      p.kind = Paint::Gradient;
      p.radial = f.type != FillStyle::Linear;
      // A focal point on the rim would make the colour jump; keep it just inside.
      p.focal = f.type == FillStyle::Focal && std::isfinite(f.gradient.focal) ? std::clamp(f.gradient.focal, -0.98, 0.98) : 0;
      p.spread = f.gradient.spread;
      p.inv = (m * f.matrix).inverted();
      // Where each stop sits: a stop never sits before the one ahead of it, and stops that
      // share a ratio (or go backwards) take one ratio step each after it, so every stop
      // keeps a band of its own.
      std::vector<int> place(st.size());
      for (size_t k = 0; k < st.size(); ++k) place[k] = k ? std::max<int>(st[k].ratio, place[k - 1] + 1) : st[k].ratio;
      for (int step = 0; step < kGradientSteps; ++step) {
        double i = step * 255.0 / (kGradientSteps - 1);  // position in ratio units
        // The colour comes from the first stop at or past the position, blended with the
        // stop before it. Before the first stop and past all of them the colour is flat.
        RGBA c;
        size_t k = 0;
        while (k < st.size() && place[k] < i) ++k;
        if (k == 0) {
          c = st.front().color;
        } else if (k == st.size()) {
          c = st.back().color;
        } else {
          const auto& a = st[k - 1];
          const auto& b = st[k];
          double t = (i - place[k - 1]) / static_cast<double>(place[k] - place[k - 1]);  // place[k-1] < i <= place[k]
          auto mix = [&](uint8_t x, uint8_t y) { return static_cast<uint8_t>(std::lround(x + (y - x) * t)); };
          auto mixLight = [&](uint8_t x, uint8_t y) {
            const LightTables& lt = lightTables();
            double v = lt.linear[x] + (lt.linear[y] - lt.linear[x]) * t;
            return lt.stored[static_cast<int>(std::clamp(v, 0.0, 1.0) * (LightTables::kSteps - 1) + 0.5)];
          };
          if (f.gradient.interpolation == 1)
            c = RGBA{mixLight(a.color.r, b.color.r), mixLight(a.color.g, b.color.g), mixLight(a.color.b, b.color.b),
                     mix(a.color.a, b.color.a)};
          else
            c = RGBA{mix(a.color.r, b.color.r), mix(a.color.g, b.color.g), mix(a.color.b, b.color.b), mix(a.color.a, b.color.a)};
        }
        p.lut[step] = transformColor(c, cx);
      }
      break;
    }
    case FillStyle::Bitmap: {
      const Character* ch = movie ? movie->character(f.bitmapId) : nullptr;
      const BitmapDef* b = ch && ch->bitmap ? ch->bitmap.get() : nullptr;
      if (b && b->width > 0 && b->height > 0 && b->pixels.size() >= static_cast<size_t>(b->width) * b->height) {
        p.kind = Paint::Bitmap;
        p.bitmap = b;
        p.repeat = f.repeat;
        p.smooth = f.smooth;
        p.plainBitmap = cx.identity();
        p.inv = (m * f.matrix).inverted();
      } else {
        // A fill naming a missing bitmap draws nothing visible.
        p.kind = Paint::Solid;
        p.color = 0;
      }
      break;
    }
  }
}

// ---- shapes ----------------------------------------------------------------------------------

// Buffers reused from shape to shape so drawing allocates nothing once they have grown.
struct Scratch {
  raster::PathSink sink;
  raster::Coverage coverage;
  std::vector<Pt> pts;
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

void fillSink(const raster::PathSink& sink, bool nonZero, const Paint& paint, Surface& dst, Scratch& s) {
  if (paint.kind == Paint::Solid && !(paint.color >> 24)) return;  // invisible
  if (!s.coverage.build(sink, dst.width, dst.height)) return;
  s.coverage.sweep(nonZero, [&](int y, int x, int len, unsigned cover) {
    paintRun(paint, dst.pixels.data() + static_cast<size_t>(y) * dst.width, y, x, len, cover);
  });
}

// Walks the edges of a path in device space, calling emit(points) for each run of connected
// edges (a move between edges starts a new run).
template <class Emit>
void walkPath(const ShapePath& p, const Matrix& m, std::vector<Pt>& pts, Emit&& emit) {
  pts.clear();
  if (p.edges.empty()) return;
  auto dev = [&](int32_t x, int32_t y) {
    Pt q;
    m.apply(x, y, q.x, q.y);
    return q;
  };
  pts.push_back(dev(p.edges.front().x0, p.edges.front().y0));
  for (const Edge& e : p.edges) {
    Pt start = dev(e.x0, e.y0);
    if (std::fabs(start.x - pts.back().x) > 1e-6 || std::fabs(start.y - pts.back().y) > 1e-6) {
      emit(pts);
      pts.clear();
      pts.push_back(start);
    }
    if (e.curve)
      raster::flattenQuad(start, dev(e.cx, e.cy), dev(e.x1, e.y1), pts);
    else
      pts.push_back(dev(e.x1, e.y1));
  }
  emit(pts);
}

}  // namespace

void renderShape(const ShapeDef& shape, const MovieDef* movie, const Matrix& m, const ColorTransform& cx,
                 Surface& dst) {
  if (dst.width <= 0 || dst.height <= 0) return;
  Scratch& s = scratch();
  double scale = std::sqrt(std::fabs(m.a * m.d - m.b * m.c));
  // Style groups: paths that share a style table draw their fills, then their lines.
  size_t i = 0;
  while (i < shape.paths.size()) {
    auto fills = shape.paths[i].fills;
    size_t j = i;
    while (j < shape.paths.size() && shape.paths[j].fills == fills) ++j;
    size_t nFills = fills ? fills->size() : 0;
    for (size_t style = 1; style <= nFills; ++style) {
      s.sink.clear();
      for (size_t k = i; k < j; ++k) {
        const ShapePath& p = shape.paths[k];
        if (p.fill0 != style && p.fill1 != style) continue;
        if (p.fill0 == style && p.fill1 == style) continue;  // interior edge
        bool reverse = p.fill0 == style;
        walkPath(p, m, s.pts, [&](const std::vector<Pt>& run) { s.sink.polyline(run, reverse); });
      }
      if (s.sink.empty()) continue;
      Paint paint;
      makePaint((*fills)[style - 1], movie, m, cx, paint);
      fillSink(s.sink, shape.nonZero, paint, dst, s);
    }
    auto lines = shape.paths[i].lines;
    size_t nLines = lines ? lines->size() : 0;
    for (size_t style = 1; style <= nLines; ++style) {
      const LineStyle& ls = (*lines)[style - 1];
      double half = std::max(0.5, ls.width * scale / 2);
      s.sink.clear();
      for (size_t k = i; k < j; ++k) {
        const ShapePath& p = shape.paths[k];
        if (p.line != style) continue;
        walkPath(p, m, s.pts, [&](const std::vector<Pt>& run) { raster::strokeOutline(run, half, s.sink); });
      }
      if (s.sink.empty()) continue;
      Paint paint;
      if (ls.hasFill)
        makePaint(ls.fill, movie, m, cx, paint);
      else
        paint.color = transformColor(ls.color, cx);
      fillSink(s.sink, true, paint, dst, s);
    }
    i = j;
  }
}

namespace {

struct Drawer {
  Surface& dst;
  int depth = 0;

  void drawObject(DisplayObject* d, const Matrix& parent, const ColorTransform& pcx, Surface& target, bool asMask) {
    if (d->removed || (!d->visible && !asMask)) return;
    Matrix m = parent * d->matrix;
    ColorTransform cx = asMask ? ColorTransform() : pcx * d->cxform;
    const Character* ch = d->character;
    switch (d->kind) {
      case DisplayObject::Shape:
        if (ch && ch->shape) renderShape(*ch->shape, d->movie.get(), m, asMask ? maskCx() : cx, target);
        break;
      case DisplayObject::Morph:
        if (ch && ch->morph) renderShape(*morphShapeAt(*ch->morph, d->ratio), d->movie.get(), m, asMask ? maskCx() : cx, target);
        break;
      case DisplayObject::Clip:
        drawChildren(d, m, cx, target, asMask);
        break;
      case DisplayObject::Button:
        if (ch && ch->button) {
          uint8_t state = d->buttonState == 2 ? 4 : d->buttonState == 1 ? 2 : 1;
          for (auto& rec : ch->button->records) {
            if (!(rec.states & state)) continue;
            const Character* c = d->movie ? d->movie->character(rec.characterId) : nullptr;
            if (c && c->shape) renderShape(*c->shape, d->movie.get(), m * rec.matrix, asMask ? maskCx() : cx * rec.cxform, target);
          }
        }
        break;
      default:
        break;
    }
  }

  static ColorTransform maskCx() {
    ColorTransform c;
    c.rm = c.gm = c.bm = 0;
    c.ra = c.ga = c.ba = 255;
    c.am = 0;
    c.aa = 255;
    return c;
  }

  // Clip layers: a mask shows the objects above it, up to its clip depth, only where it
  // covers. A mask that starts inside another mask's range is itself cut to that mask, and
  // keeps the cut for all its own range (even past the outer range). The objects under one
  // mask are drawn together into a layer, which then goes through the mask.
  struct Clip {
    int limit;
    std::unique_ptr<Surface> mask;  // alpha = how much shows
  };

  static void composite(const Surface& layer, const Surface& mask, Surface& target) {
    for (size_t p = 0; p < layer.pixels.size(); ++p) {
      uint32_t src = layer.pixels[p];
      if (!src) continue;
      unsigned a = mask.pixels[p] >> 24;
      if (a) blend(target.pixels[p], src, a == 255 ? 256 : a);
    }
  }

  void drawChildren(DisplayObject* d, const Matrix& m, const ColorTransform& cx, Surface& target, bool asMask) {
    if (++depth > 100) {
      --depth;
      return;
    }
    std::vector<Clip> clips;
    std::unique_ptr<Surface> layer;  // objects waiting to go through the innermost mask
    auto flush = [&]() {
      if (layer && !clips.empty()) composite(*layer, *clips.back().mask, target);
      layer.reset();
    };
    for (auto& entry : d->children) {
      const int objectDepth = entry.first;
      DisplayObject* c = entry.second;
      // Masks whose range has ended no longer clip.
      size_t before = clips.size();
      bool innermostEnded = !clips.empty() && clips.back().limit < objectDepth;
      if (innermostEnded) flush();
      clips.erase(std::remove_if(clips.begin(), clips.end(), [&](const Clip& k) { return k.limit < objectDepth; }),
                  clips.end());
      if (!innermostEnded && clips.size() != before) flush();
      if (c->isMask) {
        auto mask = std::make_unique<Surface>(target.width, target.height);
        drawObject(c, m, cx, *mask, true);
        if (!clips.empty()) {
          const Surface& outer = *clips.back().mask;
          for (size_t p = 0; p < mask->pixels.size(); ++p)
            if (uint32_t px = mask->pixels[p]) mask->pixels[p] = scalePixel(px, outer.pixels[p] >> 24);
        }
        flush();
        clips.push_back({c->clipDepth, std::move(mask)});
        continue;
      }
      if (clips.empty()) {
        drawObject(c, m, cx, target, asMask);
        continue;
      }
      if (!layer) layer = std::make_unique<Surface>(target.width, target.height);
      drawObject(c, m, cx, *layer, asMask);
    }
    flush();
    --depth;
  }
};

}  // namespace

Matrix stageTransform(const Rect& frame, int width, int height, ScaleMode mode, unsigned align) {
  double mw = std::max(1, frame.xmax - frame.xmin), mh = std::max(1, frame.ymax - frame.ymin);
  double sx = width / mw, sy = height / mh;
  switch (mode) {
    case ScaleMode::ShowAll: sx = sy = std::min(sx, sy); break;
    case ScaleMode::NoBorder: sx = sy = std::max(sx, sy); break;
    case ScaleMode::ExactFit: break;
    case ScaleMode::NoScale: sx = sy = 1.0 / 20; break;
  }
  double w = mw * sx, h = mh * sy;
  double ox = (align & AlignLeft) ? 0 : (align & AlignRight) ? width - w : (width - w) / 2;
  double oy = (align & AlignTop) ? 0 : (align & AlignBottom) ? height - h : (height - h) / 2;
  Matrix m;
  m.a = sx;
  m.d = sy;
  m.tx = ox - frame.xmin * sx;
  m.ty = oy - frame.ymin * sy;
  return m;
}

void renderPlayer(Player& player, Surface& target, const RenderOptions& options) {
  auto movie = player.movie();
  if (options.drawBackground) {
    RGBA bg = options.hasBackgroundOverride ? options.backgroundOverride
              : movie && movie->hasBackground ? movie->background
                                              : RGBA{255, 255, 255, 255};
    target.clear((0xFFu << 24) | (uint32_t(bg.r) << 16) | (uint32_t(bg.g) << 8) | bg.b);
  }
  Drawer dr{target};
  for (DisplayObject* level : player.levels()) dr.drawObject(level, options.view, ColorTransform(), target, false);
}

// ---------------------------------------------------------------------------------------
// PNG

bool decodePng(const uint8_t* data, size_t size, int& width, int& height, std::vector<uint32_t>& argb) {
  static const uint8_t sig[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  if (size < 8 || std::memcmp(data, sig, 8) != 0) return false;
  size_t pos = 8;
  uint32_t w = 0, h = 0;
  int depth = 0, type = 0, interlace = 0;
  std::vector<uint8_t> idat, palette, trns;
  auto be32 = [&](size_t p) { return (uint32_t(data[p]) << 24) | (uint32_t(data[p + 1]) << 16) | (uint32_t(data[p + 2]) << 8) | data[p + 3]; };
  while (pos + 8 <= size) {
    uint32_t len = be32(pos);
    const uint8_t* tag = data + pos + 4;
    if (len > size - pos - 8) return false;
    const uint8_t* body = data + pos + 8;
    if (!std::memcmp(tag, "IHDR", 4) && len >= 13) {
      w = be32(pos + 8);
      h = be32(pos + 12);
      depth = body[8];
      type = body[9];
      interlace = body[12];
    } else if (!std::memcmp(tag, "PLTE", 4)) {
      palette.assign(body, body + len);
    } else if (!std::memcmp(tag, "tRNS", 4)) {
      trns.assign(body, body + len);
    } else if (!std::memcmp(tag, "IDAT", 4)) {
      idat.insert(idat.end(), body, body + len);
    } else if (!std::memcmp(tag, "IEND", 4)) {
      break;
    }
    pos += 12 + len;
  }
  if (interlace != 0 || w == 0 || h == 0 || w > 16384 || h > 16384) return false;
  int channels = type == 0 ? 1 : type == 2 ? 3 : type == 3 ? 1 : type == 4 ? 2 : type == 6 ? 4 : 0;
  if (!channels) return false;
  // Grey and palette images may pack 1, 2 or 4 bits per pixel; 16-bit samples keep their
  // high byte.
  bool packed = depth == 1 || depth == 2 || depth == 4;
  if (!(depth == 8 || (depth == 16 && type != 3) || (packed && (type == 0 || type == 3)))) return false;
  size_t stride = (size_t(w) * channels * depth + 7) / 8;
  size_t step = std::max<size_t>(1, size_t(channels) * depth / 8);  // filter distance in bytes
  std::vector<uint8_t> raw((stride + 1) * h);
  uLongf rawLen = static_cast<uLongf>(raw.size());
  if (uncompress(raw.data(), &rawLen, idat.data(), static_cast<uLong>(idat.size())) != Z_OK || rawLen != raw.size()) return false;
  std::vector<uint8_t> img(stride * h);
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t filter = raw[y * (stride + 1)];
    const uint8_t* src = raw.data() + y * (stride + 1) + 1;
    uint8_t* out = img.data() + y * stride;
    const uint8_t* prev = y ? img.data() + (y - 1) * stride : nullptr;
    for (size_t x = 0; x < stride; ++x) {
      int a = x >= step ? out[x - step] : 0;
      int b = prev ? prev[x] : 0;
      int c = prev && x >= step ? prev[x - step] : 0;
      int v = src[x];
      switch (filter) {
        case 0: break;
        case 1: v += a; break;
        case 2: v += b; break;
        case 3: v += (a + b) / 2; break;
        case 4: {
          int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          v += (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
          break;
        }
        default: return false;
      }
      out[x] = static_cast<uint8_t>(v);
    }
  }
  // Sample `ch` of pixel i as 0..255 (palette images: the index).
  auto sample = [&](size_t i, int ch) -> uint32_t {
    size_t y = i / w, x = i % w;
    const uint8_t* row = img.data() + y * stride;
    if (depth == 8) return row[x * channels + ch];
    if (depth == 16) return row[(x * channels + ch) * 2];
    size_t bit = x * depth;
    uint32_t v = (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
    return type == 3 ? v : v * 255 / ((1u << depth) - 1);
  };
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  argb.resize(size_t(w) * h);
  for (size_t i = 0; i < argb.size(); ++i) {
    uint32_t r, g, b, a = 255;
    switch (type) {
      case 0: r = g = b = sample(i, 0); break;
      case 4: r = g = b = sample(i, 0); a = sample(i, 1); break;
      case 2: r = sample(i, 0); g = sample(i, 1); b = sample(i, 2); break;
      case 6: r = sample(i, 0); g = sample(i, 1); b = sample(i, 2); a = sample(i, 3); break;
      default: {
        size_t k = sample(i, 0);
        r = k * 3 + 2 < palette.size() ? palette[k * 3] : 0;
        g = k * 3 + 2 < palette.size() ? palette[k * 3 + 1] : 0;
        b = k * 3 + 2 < palette.size() ? palette[k * 3 + 2] : 0;
        a = k < trns.size() ? trns[k] : 255;
      }
    }
    argb[i] = (a << 24) | (r << 16) | (g << 8) | b;
  }
  return true;
}

}  // namespace moviectl
