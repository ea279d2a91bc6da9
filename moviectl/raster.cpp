// Rasteriser: shapes, strokes, gradients, bitmaps, colour transforms and clip layers drawn
// into a premultiplied ARGB surface; also the small PNG reader used for reference images.
#include "moviectl/raster.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace moviectl {

namespace {

constexpr int kSubSamples = 8;  // sub-scanlines per pixel row

struct Seg {
  double x0, y0, x1, y1;
};

struct Pt {
  double x, y;
};

// What a covered pixel is painted with.
struct Paint {
  enum Kind { Solid, Gradient, Bitmap } kind = Solid;
  float color[4] = {0, 0, 0, 0};  // premultiplied r, g, b, a in 0..1 (Solid)
  bool radial = false;
  uint8_t spread = 0;
  Matrix inv;                      // device -> gradient or texel space
  float lut[256][4];               // premultiplied gradient colours
  const BitmapDef* bitmap = nullptr;
  bool repeat = true;
  ColorTransform cx;
};

inline float clamp01(double v) { return v < 0 ? 0.f : v > 1 ? 1.f : static_cast<float>(v); }

void transformColor(const RGBA& c, const ColorTransform& cx, float out[4]) {
  double r = c.r * cx.rm + cx.ra, g = c.g * cx.gm + cx.ga, b = c.b * cx.bm + cx.ba, a = c.a * cx.am + cx.aa;
  float fa = clamp01(a / 255.0);
  out[0] = clamp01(r / 255.0) * fa;
  out[1] = clamp01(g / 255.0) * fa;
  out[2] = clamp01(b / 255.0) * fa;
  out[3] = fa;
}

inline void blendPixel(uint32_t& dst, const float src[4], float coverage) {
  float sa = src[3] * coverage;
  if (sa <= 0) return;
  float inv = 1 - sa;
  float dr = ((dst >> 16) & 0xFF) / 255.f, dg = ((dst >> 8) & 0xFF) / 255.f, db = (dst & 0xFF) / 255.f,
        da = (dst >> 24) / 255.f;
  float r = src[0] * coverage + dr * inv, g = src[1] * coverage + dg * inv, b = src[2] * coverage + db * inv,
        a = sa + da * inv;
  auto to8 = [](float v) { return static_cast<uint32_t>(std::min(255.f, std::max(0.f, v * 255.f + 0.5f))); };
  dst = (to8(a) << 24) | (to8(r) << 16) | (to8(g) << 8) | to8(b);
}

void paintColor(const Paint& p, double x, double y, float out[4]) {
  if (p.kind == Paint::Solid) {
    std::memcpy(out, p.color, sizeof(float) * 4);
    return;
  }
  double gx, gy;
  p.inv.apply(x, y, gx, gy);
  if (p.kind == Paint::Gradient) {
    double t = p.radial ? std::sqrt(gx * gx + gy * gy) / 16384.0 : (gx + 16384.0) / 32768.0;
    if (p.spread == 1) {  // reflect
      t = std::fmod(std::fabs(t), 2.0);
      if (t > 1) t = 2 - t;
    } else if (p.spread == 2) {  // repeat
      t = t - std::floor(t);
    }
    int i = static_cast<int>(std::lround(std::min(1.0, std::max(0.0, t)) * 255));
    std::memcpy(out, p.lut[i], sizeof(float) * 4);
    return;
  }
  const BitmapDef* b = p.bitmap;
  long tx = static_cast<long>(std::floor(gx)), ty = static_cast<long>(std::floor(gy));
  long w = b->width, h = b->height;
  if (p.repeat) {
    tx %= w;
    if (tx < 0) tx += w;
    ty %= h;
    if (ty < 0) ty += h;
  } else {
    tx = std::min(std::max(tx, 0L), w - 1);
    ty = std::min(std::max(ty, 0L), h - 1);
  }
  uint32_t px = b->pixels[static_cast<size_t>(ty) * b->width + static_cast<size_t>(tx)];
  float a = (px >> 24) / 255.f;
  RGBA c;
  // Un-premultiply to apply the colour transform on straight colour.
  if (a > 0) {
    c.r = static_cast<uint8_t>(std::min(255.f, ((px >> 16) & 0xFF) / a));
    c.g = static_cast<uint8_t>(std::min(255.f, ((px >> 8) & 0xFF) / a));
    c.b = static_cast<uint8_t>(std::min(255.f, (px & 0xFF) / a));
  }
  c.a = static_cast<uint8_t>(px >> 24);
  transformColor(c, p.cx, out);
}

// Fills the area enclosed by `segs` (even-odd or non-zero) with `paint`.
void fillSegments(std::vector<Seg>& segs, bool nonZero, const Paint& paint, Surface& dst) {
  if (segs.empty() || dst.width <= 0 || dst.height <= 0) return;
  double minY = 1e300, maxY = -1e300, minX = 1e300, maxX = -1e300;
  for (auto& s : segs) {
    minY = std::min({minY, s.y0, s.y1});
    maxY = std::max({maxY, s.y0, s.y1});
    minX = std::min({minX, s.x0, s.x1});
    maxX = std::max({maxX, s.x0, s.x1});
  }
  if (!(maxY > 0) || !(minY < dst.height) || !(maxX > 0) || !(minX < dst.width)) return;
  int y0 = std::max(0, static_cast<int>(std::floor(minY)));
  int y1 = std::min(dst.height - 1, static_cast<int>(std::ceil(maxY)));
  int x0 = std::max(0, static_cast<int>(std::floor(minX)));
  int x1 = std::min(dst.width - 1, static_cast<int>(std::ceil(maxX)));
  std::sort(segs.begin(), segs.end(), [](const Seg& a, const Seg& b) { return std::min(a.y0, a.y1) < std::min(b.y0, b.y1); });
  std::vector<float> cov(static_cast<size_t>(dst.width) + 2, 0.f);
  std::vector<const Seg*> active;
  std::vector<std::pair<double, int>> xs;
  size_t next = 0;
  const float w = 1.0f / kSubSamples;
  auto addSpan = [&](double a, double b) {
    a = std::max(a, static_cast<double>(x0));
    b = std::min(b, static_cast<double>(x1 + 1));
    if (b <= a) return;
    int ia = static_cast<int>(a), ib = static_cast<int>(b);
    if (ia == ib) {
      cov[ia] += static_cast<float>(b - a) * w;
      return;
    }
    cov[ia] += static_cast<float>(ia + 1 - a) * w;
    for (int i = ia + 1; i < ib; ++i) cov[i] += w;
    if (ib <= x1) cov[ib] += static_cast<float>(b - ib) * w;
  };
  for (int y = y0; y <= y1; ++y) {
    bool any = false;
    for (int s = 0; s < kSubSamples; ++s) {
      double sy = y + (s + 0.5) / kSubSamples;
      while (next < segs.size() && std::min(segs[next].y0, segs[next].y1) <= sy) active.push_back(&segs[next++]);
      xs.clear();
      size_t keep = 0;
      for (size_t i = 0; i < active.size(); ++i) {
        const Seg* g = active[i];
        if (std::max(g->y0, g->y1) <= sy) continue;  // finished
        active[keep++] = g;
        double lo = std::min(g->y0, g->y1);
        if (sy < lo) continue;
        double t = (sy - g->y0) / (g->y1 - g->y0);
        xs.emplace_back(g->x0 + t * (g->x1 - g->x0), g->y1 > g->y0 ? 1 : -1);
      }
      active.resize(keep);
      if (xs.size() < 2) continue;
      std::sort(xs.begin(), xs.end());
      int wind = 0;
      for (size_t i = 0; i + 1 < xs.size(); ++i) {
        wind += xs[i].second;
        bool inside = nonZero ? wind != 0 : (wind & 1) != 0;
        if (inside) {
          addSpan(xs[i].first, xs[i + 1].first);
          any = true;
        }
      }
    }
    if (!any) continue;
    uint32_t* row = dst.pixels.data() + static_cast<size_t>(y) * dst.width;
    float c[4];
    for (int x = x0; x <= x1; ++x) {
      float cv = cov[x];
      if (cv <= 0.001f) {
        cov[x] = 0;
        continue;
      }
      cov[x] = 0;
      paintColor(paint, x + 0.5, y + 0.5, c);
      blendPixel(row[x], c, std::min(1.f, cv));
    }
  }
}

void flattenEdge(const Edge& e, const Matrix& m, std::vector<Pt>& out) {
  double x1, y1;
  if (!e.curve) {
    m.apply(e.x1, e.y1, x1, y1);
    out.push_back({x1, y1});
    return;
  }
  double x0, y0, cx, cy;
  m.apply(e.x0, e.y0, x0, y0);
  m.apply(e.cx, e.cy, cx, cy);
  m.apply(e.x1, e.y1, x1, y1);
  double dd = std::fabs(x0 - 2 * cx + x1) + std::fabs(y0 - 2 * cy + y1);
  int n = std::clamp(static_cast<int>(std::ceil(std::sqrt(dd * 2))), 1, 64);
  for (int i = 1; i <= n; ++i) {
    double t = static_cast<double>(i) / n, u = 1 - t;
    out.push_back({u * u * x0 + 2 * u * t * cx + t * t * x1, u * u * y0 + 2 * u * t * cy + t * t * y1});
  }
}

void addPolyline(const std::vector<Pt>& pts, std::vector<Seg>& segs, bool reverse) {
  for (size_t i = 0; i + 1 < pts.size(); ++i) {
    const Pt& a = pts[i];
    const Pt& b = pts[i + 1];
    if (a.y == b.y && a.x == b.x) continue;
    if (reverse)
      segs.push_back({b.x, b.y, a.x, a.y});
    else
      segs.push_back({a.x, a.y, b.x, b.y});
  }
}

void addPolygon(const std::vector<Pt>& poly, std::vector<Seg>& segs) {
  double area = 0;
  for (size_t i = 0; i < poly.size(); ++i) {
    const Pt& a = poly[i];
    const Pt& b = poly[(i + 1) % poly.size()];
    area += a.x * b.y - b.x * a.y;
  }
  bool rev = area < 0;
  for (size_t i = 0; i < poly.size(); ++i) {
    const Pt& a = poly[i];
    const Pt& b = poly[(i + 1) % poly.size()];
    if (rev)
      segs.push_back({b.x, b.y, a.x, a.y});
    else
      segs.push_back({a.x, a.y, b.x, b.y});
  }
}

void strokePolyline(const std::vector<Pt>& pts, double halfWidth, std::vector<Seg>& segs) {
  if (pts.size() < 2) return;
  bool round = halfWidth > 0.75;
  auto circle = [&](const Pt& c) {
    int n = std::clamp(static_cast<int>(halfWidth * 2), 8, 32);
    std::vector<Pt> poly;
    for (int i = 0; i < n; ++i) {
      double a = 2 * M_PI * i / n;
      poly.push_back({c.x + halfWidth * std::cos(a), c.y + halfWidth * std::sin(a)});
    }
    addPolygon(poly, segs);
  };
  for (size_t i = 0; i + 1 < pts.size(); ++i) {
    const Pt& a = pts[i];
    const Pt& b = pts[i + 1];
    double dx = b.x - a.x, dy = b.y - a.y, len = std::sqrt(dx * dx + dy * dy);
    if (len < 1e-9) continue;
    double nx = -dy / len * halfWidth, ny = dx / len * halfWidth;
    // Hairlines get square ends extended by half a pixel so joins do not leave gaps.
    double ex = round ? 0 : dx / len * halfWidth, ey = round ? 0 : dy / len * halfWidth;
    addPolygon({{a.x + nx - ex, a.y + ny - ey}, {b.x + nx + ex, b.y + ny + ey}, {b.x - nx + ex, b.y - ny + ey}, {a.x - nx - ex, a.y - ny - ey}}, segs);
  }
  if (round)
    for (auto& p : pts) circle(p);
}

void makePaint(const FillStyle& f, const MovieDef* movie, const Matrix& m, const ColorTransform& cx, Paint& p) {
  p.cx = cx;
  switch (f.type) {
    case FillStyle::Solid:
      p.kind = Paint::Solid;
      transformColor(f.color, cx, p.color);
      break;
    case FillStyle::Linear:
    case FillStyle::Radial:
    case FillStyle::Focal: {
      p.kind = Paint::Gradient;
      p.radial = f.type != FillStyle::Linear;
      p.spread = f.gradient.spread;
      p.inv = (m * f.matrix).inverted();
      const auto& st = f.gradient.stops;
      for (int i = 0; i < 256; ++i) {
        RGBA c;
        if (st.empty()) {
          c = RGBA{0, 0, 0, 0};
        } else if (i <= st.front().ratio) {
          c = st.front().color;
        } else if (i >= st.back().ratio) {
          c = st.back().color;
        } else {
          size_t k = 1;
          while (k < st.size() && st[k].ratio < i) ++k;
          if (k >= st.size()) k = st.size() - 1;
          const auto& a = st[k - 1];
          const auto& b = st[k];
          double t = b.ratio == a.ratio ? 0 : (i - a.ratio) / static_cast<double>(b.ratio - a.ratio);
          auto mix = [&](uint8_t x, uint8_t y) { return static_cast<uint8_t>(std::lround(x + (y - x) * t)); };
          c = RGBA{mix(a.color.r, b.color.r), mix(a.color.g, b.color.g), mix(a.color.b, b.color.b), mix(a.color.a, b.color.a)};
        }
        transformColor(c, cx, p.lut[i]);
      }
      break;
    }
    case FillStyle::Bitmap: {
      const Character* ch = movie ? movie->character(f.bitmapId) : nullptr;
      if (ch && ch->bitmap && ch->bitmap->width > 0 && !ch->bitmap->pixels.empty()) {
        p.kind = Paint::Bitmap;
        p.bitmap = ch->bitmap.get();
        p.repeat = f.repeat;
        p.inv = (m * f.matrix).inverted();
      } else {
        // A fill naming a missing bitmap draws nothing visible.
        p.kind = Paint::Solid;
        std::memset(p.color, 0, sizeof p.color);
      }
      break;
    }
  }
}

}  // namespace

void renderShape(const ShapeDef& shape, const MovieDef* movie, const Matrix& m, const ColorTransform& cx,
                 Surface& dst) {
  double scale = std::sqrt(std::fabs(m.a * m.d - m.b * m.c));
  // Style groups: paths that share a style table draw their fills, then their lines.
  size_t i = 0;
  std::vector<Pt> pts;
  while (i < shape.paths.size()) {
    auto fills = shape.paths[i].fills;
    size_t j = i;
    while (j < shape.paths.size() && shape.paths[j].fills == fills) ++j;
    size_t nFills = fills ? fills->size() : 0;
    for (size_t style = 1; style <= nFills; ++style) {
      std::vector<Seg> segs;
      for (size_t k = i; k < j; ++k) {
        const ShapePath& p = shape.paths[k];
        if (p.fill0 != style && p.fill1 != style) continue;
        if (p.fill0 == style && p.fill1 == style) continue;  // interior edge
        pts.clear();
        if (p.edges.empty()) continue;
        double sx, sy;
        m.apply(p.edges.front().x0, p.edges.front().y0, sx, sy);
        pts.push_back({sx, sy});
        for (auto& e : p.edges) {
          // A gap between edges (after a move) starts a new polyline.
          double ex, ey;
          m.apply(e.x0, e.y0, ex, ey);
          if (std::fabs(ex - pts.back().x) > 1e-6 || std::fabs(ey - pts.back().y) > 1e-6) {
            addPolyline(pts, segs, p.fill0 == style);
            pts.clear();
            pts.push_back({ex, ey});
          }
          flattenEdge(e, m, pts);
        }
        addPolyline(pts, segs, p.fill0 == style);
      }
      if (segs.empty()) continue;
      Paint paint;
      makePaint((*fills)[style - 1], movie, m, cx, paint);
      fillSegments(segs, shape.nonZero, paint, dst);
    }
    auto lines = shape.paths[i].lines;
    size_t nLines = lines ? lines->size() : 0;
    for (size_t style = 1; style <= nLines; ++style) {
      const LineStyle& ls = (*lines)[style - 1];
      double half = std::max(0.5, ls.width * scale / 2);
      std::vector<Seg> segs;
      for (size_t k = i; k < j; ++k) {
        const ShapePath& p = shape.paths[k];
        if (p.line != style || p.edges.empty()) continue;
        pts.clear();
        double sx, sy;
        m.apply(p.edges.front().x0, p.edges.front().y0, sx, sy);
        pts.push_back({sx, sy});
        for (auto& e : p.edges) {
          double ex, ey;
          m.apply(e.x0, e.y0, ex, ey);
          if (std::fabs(ex - pts.back().x) > 1e-6 || std::fabs(ey - pts.back().y) > 1e-6) {
            strokePolyline(pts, half, segs);
            pts.clear();
            pts.push_back({ex, ey});
          }
          flattenEdge(e, m, pts);
        }
        strokePolyline(pts, half, segs);
      }
      if (segs.empty()) continue;
      Paint paint;
      if (ls.hasFill)
        makePaint(ls.fill, movie, m, cx, paint);
      else
        transformColor(ls.color, cx, paint.color);
      fillSegments(segs, true, paint, dst);
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

  void drawChildren(DisplayObject* d, const Matrix& m, const ColorTransform& cx, Surface& target, bool asMask) {
    if (++depth > 100) {
      --depth;
      return;
    }
    for (auto it = d->children.begin(); it != d->children.end(); ++it) {
      DisplayObject* c = it->second;
      if (c->isMask) {
        // Clip layer: the objects up to clipDepth show only where the mask covers.
        int limit = c->clipDepth;
        Surface layer(target.width, target.height);
        Surface mask(target.width, target.height);
        drawObject(c, m, cx, mask, true);
        auto jt = std::next(it);
        for (; jt != d->children.end() && jt->first <= limit; ++jt) drawObject(jt->second, m, cx, layer, asMask);
        for (size_t p = 0; p < layer.pixels.size(); ++p) {
          uint32_t src = layer.pixels[p];
          if (!src) continue;
          float a = (mask.pixels[p] >> 24) / 255.f;
          if (a <= 0) continue;
          float s[4] = {((src >> 16) & 0xFF) / 255.f, ((src >> 8) & 0xFF) / 255.f, (src & 0xFF) / 255.f, (src >> 24) / 255.f};
          blendPixel(target.pixels[p], s, a);
        }
        it = std::prev(jt);
        continue;
      }
      drawObject(c, m, cx, target, asMask);
    }
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
  if (depth != 8 || interlace != 0 || w == 0 || h == 0 || w > 16384 || h > 16384) return false;
  int channels = type == 0 ? 1 : type == 2 ? 3 : type == 3 ? 1 : type == 4 ? 2 : type == 6 ? 4 : 0;
  if (!channels) return false;
  size_t stride = size_t(w) * channels;
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
      int a = x >= size_t(channels) ? out[x - channels] : 0;
      int b = prev ? prev[x] : 0;
      int c = prev && x >= size_t(channels) ? prev[x - channels] : 0;
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
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  argb.resize(size_t(w) * h);
  for (size_t i = 0; i < argb.size(); ++i) {
    const uint8_t* p = img.data() + i * channels;
    uint32_t r, g, b, a = 255;
    switch (type) {
      case 0: r = g = b = p[0]; break;
      case 4: r = g = b = p[0]; a = p[1]; break;
      case 2: r = p[0]; g = p[1]; b = p[2]; break;
      case 6: r = p[0]; g = p[1]; b = p[2]; a = p[3]; break;
      default: {
        size_t k = p[0];
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
