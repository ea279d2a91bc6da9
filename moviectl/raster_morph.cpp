// Morph shapes: reading the start/end style pairs and interpolating edges and styles.
#include "moviectl/raster_morph.h"

#include <algorithm>
#include <cmath>

namespace moviectl {

namespace {

// One morph fill style: the same type at both ends, with start and end values.
void parseMorphFill(ByteReader& r, FillStyle& a, FillStyle& b) {
  uint8_t type = r.u8();
  if (type == 0x00) {
    a.type = b.type = FillStyle::Solid;
    a.color = r.rgba();
    b.color = r.rgba();
  } else if (type == 0x10 || type == 0x12 || type == 0x13) {
    a.type = b.type = type == 0x10 ? FillStyle::Linear : type == 0x12 ? FillStyle::Radial : FillStyle::Focal;
    a.matrix = r.matrix();
    b.matrix = r.matrix();
    r.align();
    a.gradient.spread = b.gradient.spread = static_cast<uint8_t>(r.ub(2));
    a.gradient.interpolation = b.gradient.interpolation = static_cast<uint8_t>(r.ub(2));
    unsigned n = r.ub(4);
    for (unsigned i = 0; i < n && !r.overrun(); ++i) {
      Gradient::Stop s, e;
      s.ratio = r.u8();
      s.color = r.rgba();
      e.ratio = r.u8();
      e.color = r.rgba();
      a.gradient.stops.push_back(s);
      b.gradient.stops.push_back(e);
    }
    if (type == 0x13) {
      a.gradient.focal = r.s16() / 256.0;
      b.gradient.focal = r.s16() / 256.0;
    }
  } else if (type >= 0x40 && type <= 0x43) {
    a.type = b.type = FillStyle::Bitmap;
    a.bitmapId = b.bitmapId = r.u16();
    a.matrix = r.matrix();
    b.matrix = r.matrix();
    a.repeat = b.repeat = type == 0x40 || type == 0x42;
    a.smooth = b.smooth = type == 0x40 || type == 0x41;
  } else {
    // Unknown fill type: the rest of the style list cannot be trusted.
    r.skip(r.remaining());
  }
}

unsigned styleCount(ByteReader& r) {
  unsigned n = r.u8();
  return n == 0xFF ? r.u16() : n;
}

double mix(double a, double b, double t) { return a + (b - a) * t; }

uint8_t mix8(uint8_t a, uint8_t b, double t) { return static_cast<uint8_t>(std::lround(mix(a, b, t))); }

RGBA mixColor(const RGBA& a, const RGBA& b, double t) {
  return RGBA{mix8(a.r, b.r, t), mix8(a.g, b.g, t), mix8(a.b, b.b, t), mix8(a.a, b.a, t)};
}

Matrix mixMatrix(const Matrix& a, const Matrix& b, double t) {
  Matrix m;
  m.a = mix(a.a, b.a, t);
  m.b = mix(a.b, b.b, t);
  m.c = mix(a.c, b.c, t);
  m.d = mix(a.d, b.d, t);
  m.tx = mix(a.tx, b.tx, t);
  m.ty = mix(a.ty, b.ty, t);
  return m;
}

FillStyle mixFill(const FillStyle& a, const FillStyle& b, double t) {
  FillStyle f = a;
  f.color = mixColor(a.color, b.color, t);
  f.matrix = mixMatrix(a.matrix, b.matrix, t);
  f.gradient.focal = mix(a.gradient.focal, b.gradient.focal, t);
  for (size_t i = 0; i < f.gradient.stops.size() && i < b.gradient.stops.size(); ++i) {
    f.gradient.stops[i].ratio = mix8(a.gradient.stops[i].ratio, b.gradient.stops[i].ratio, t);
    f.gradient.stops[i].color = mixColor(a.gradient.stops[i].color, b.gradient.stops[i].color, t);
  }
  return f;
}

int32_t mixCoord(int32_t a, int32_t b, double t) { return static_cast<int32_t>(std::lround(mix(a, b, t))); }

// A straight edge as the equivalent curve, so it can blend with a curved partner.
Edge asCurve(Edge e) {
  if (!e.curve) {
    e.cx = static_cast<int32_t>((int64_t(e.x0) + e.x1) / 2);
    e.cy = static_cast<int32_t>((int64_t(e.y0) + e.y1) / 2);
    e.curve = true;
  }
  return e;
}

}  // namespace

std::shared_ptr<MorphDef> parseMorphShape(ByteReader& r, int version, const Rect& startBounds,
                                          const std::function<std::shared_ptr<ShapeDef>(ByteReader&)>& edges) {
  auto m = std::make_shared<MorphDef>();
  m->startBounds = startBounds;
  m->endBounds = r.rect();
  if (version == 2) {
    r.rect();  // edge bounds at both ends
    r.rect();
    r.u8();    // stroke scaling flags
  }
  uint32_t offset = r.u32();
  size_t endEdges = r.pos() + offset;  // the end shape's records start here
  unsigned n = styleCount(r);
  for (unsigned i = 0; i < n && !r.overrun(); ++i) {
    FillStyle a, b;
    parseMorphFill(r, a, b);
    m->startFills.push_back(a);
    m->endFills.push_back(b);
  }
  n = styleCount(r);
  for (unsigned i = 0; i < n && !r.overrun(); ++i) {
    LineStyle a, b;
    a.width = r.u16();
    b.width = r.u16();
    if (version == 2) {
      r.align();
      r.ub(2);  // start cap
      unsigned join = r.ub(2);
      bool hasFill = r.ub(1);
      r.ub(11);  // scaling, hinting, close and end cap flags
      if (join == 2) r.u16();
      if (hasFill) {
        a.hasFill = b.hasFill = true;
        parseMorphFill(r, a.fill, b.fill);
        a.color = a.fill.color;
        b.color = b.fill.color;
        if (a.fill.type != FillStyle::Solid && !a.fill.gradient.stops.empty()) {
          a.color = a.fill.gradient.stops[0].color;
          b.color = b.fill.gradient.stops[0].color;
        }
      } else {
        a.color = r.rgba();
        b.color = r.rgba();
      }
    } else {
      a.color = r.rgba();
      b.color = r.rgba();
    }
    m->startLines.push_back(a);
    m->endLines.push_back(b);
  }
  m->start = edges(r);
  r.seek(endEdges);
  m->end = edges(r);
  return m;
}

std::shared_ptr<ShapeDef> morphShapeAt(const MorphDef& m, uint16_t ratio) {
  const double t = ratio / 65535.0;
  auto fills = std::make_shared<std::vector<FillStyle>>();
  for (size_t i = 0; i < m.startFills.size(); ++i)
    fills->push_back(i < m.endFills.size() ? mixFill(m.startFills[i], m.endFills[i], t) : m.startFills[i]);
  auto lines = std::make_shared<std::vector<LineStyle>>();
  for (size_t i = 0; i < m.startLines.size(); ++i) {
    LineStyle l = m.startLines[i];
    if (i < m.endLines.size()) {
      const LineStyle& e = m.endLines[i];
      l.width = static_cast<uint16_t>(std::lround(mix(l.width, e.width, t)));
      l.color = mixColor(l.color, e.color, t);
      if (l.hasFill) l.fill = mixFill(l.fill, e.fill, t);
    }
    lines->push_back(l);
  }
  auto out = std::make_shared<ShapeDef>();
  out->bounds = Rect{mixCoord(m.startBounds.xmin, m.endBounds.xmin, t), mixCoord(m.startBounds.xmax, m.endBounds.xmax, t),
                     mixCoord(m.startBounds.ymin, m.endBounds.ymin, t), mixCoord(m.startBounds.ymax, m.endBounds.ymax, t)};
  if (!m.start) return out;
  // The end shape's edges, in order, pair with the start shape's edges in order.
  std::vector<const Edge*> ends;
  if (m.end)
    for (const ShapePath& p : m.end->paths)
      for (const Edge& e : p.edges) ends.push_back(&e);
  size_t k = 0;
  for (const ShapePath& p : m.start->paths) {
    ShapePath q = p;
    q.fills = fills;
    q.lines = lines;
    for (Edge& e : q.edges) {
      if (k >= ends.size()) break;  // a short end shape leaves the rest as it starts
      Edge a = e, b = *ends[k++];
      if (a.curve != b.curve) {
        a = asCurve(a);
        b = asCurve(b);
      }
      e.x0 = mixCoord(a.x0, b.x0, t);
      e.y0 = mixCoord(a.y0, b.y0, t);
      e.cx = mixCoord(a.cx, b.cx, t);
      e.cy = mixCoord(a.cy, b.cy, t);
      e.x1 = mixCoord(a.x1, b.x1, t);
      e.y1 = mixCoord(a.y1, b.y1, t);
      e.curve = a.curve;
    }
    out->paths.push_back(std::move(q));
  }
  return out;
}

}  // namespace moviectl
