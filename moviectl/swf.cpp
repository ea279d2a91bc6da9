// SWF container: header, decompression, tag walk and the decoding of the tags the player
// uses into a MovieDef. Unknown tags are skipped by their length; every tag body is read
// through its own ByteReader so a malformed tag cannot disturb its neighbours.
#include "moviectl/swf.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "moviectl/raster_jpeg.h"
#include "moviectl/raster_morph.h"

namespace moviectl {

// ---------------------------------------------------------------------------------------
// Geometry helpers

Matrix Matrix::operator*(const Matrix& m) const {
  Matrix r;
  r.a = a * m.a + c * m.b;
  r.b = b * m.a + d * m.b;
  r.c = a * m.c + c * m.d;
  r.d = b * m.c + d * m.d;
  r.tx = a * m.tx + c * m.ty + tx;
  r.ty = b * m.tx + d * m.ty + ty;
  return r;
}

Matrix Matrix::inverted() const {
  double det = a * d - b * c;
  Matrix r;
  if (det == 0 || !std::isfinite(det)) {
    r.a = r.d = 0;
    r.b = r.c = 0;
    r.tx = -tx;
    r.ty = -ty;
    return r;
  }
  r.a = d / det;
  r.b = -b / det;
  r.c = -c / det;
  r.d = a / det;
  r.tx = -(r.a * tx + r.c * ty);
  r.ty = -(r.b * tx + r.d * ty);
  return r;
}

Rect transformRect(const Matrix& m, const Rect& r) {
  double xs[4], ys[4];
  m.apply(r.xmin, r.ymin, xs[0], ys[0]);
  m.apply(r.xmax, r.ymin, xs[1], ys[1]);
  m.apply(r.xmin, r.ymax, xs[2], ys[2]);
  m.apply(r.xmax, r.ymax, xs[3], ys[3]);
  // Far-off or broken transforms saturate instead of overflowing the integer fields.
  auto clamp = [](double v) {
    if (!(v > -2147483648.0)) return INT32_MIN;
    if (!(v < 2147483647.0)) return INT32_MAX;
    return static_cast<int32_t>(v);
  };
  Rect o;
  o.xmin = clamp(std::floor(*std::min_element(xs, xs + 4)));
  o.xmax = clamp(std::ceil(*std::max_element(xs, xs + 4)));
  o.ymin = clamp(std::floor(*std::min_element(ys, ys + 4)));
  o.ymax = clamp(std::ceil(*std::max_element(ys, ys + 4)));
  return o;
}

ColorTransform ColorTransform::operator*(const ColorTransform& in) const {
  ColorTransform r;
  r.rm = rm * in.rm;
  r.gm = gm * in.gm;
  r.bm = bm * in.bm;
  r.am = am * in.am;
  r.ra = rm * in.ra + ra;
  r.ga = gm * in.ga + ga;
  r.ba = bm * in.ba + ba;
  r.aa = am * in.aa + aa;
  return r;
}

int Timeline::findLabel(const std::string& label) const {
  auto lower = [](std::string s) {
    for (auto& ch : s)
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
  };
  std::string want = lower(label);
  for (size_t i = 0; i < frames.size(); ++i)
    for (auto& l : frames[i].labels)
      if (lower(l) == want) return static_cast<int>(i);
  return -1;
}

// ---------------------------------------------------------------------------------------
// ByteReader

void ByteReader::skip(size_t n) {
  align();
  if (n > remaining()) {
    pos_ = n_;
    overrun_ = true;
  } else {
    pos_ += n;
  }
}

uint8_t ByteReader::u8() {
  align();
  if (pos_ >= n_) {
    overrun_ = true;
    return 0;
  }
  return p_[pos_++];
}

uint16_t ByteReader::u16() {
  uint16_t lo = u8();
  uint16_t hi = u8();
  return static_cast<uint16_t>(lo | (hi << 8));
}

uint32_t ByteReader::u32() {
  uint32_t lo = u16();
  uint32_t hi = u16();
  return lo | (hi << 16);
}

float ByteReader::f32() {
  uint32_t v = u32();
  float f;
  std::memcpy(&f, &v, 4);
  return f;
}

double ByteReader::f64Swapped() {
  uint64_t hi = u32();
  uint64_t lo = u32();
  uint64_t v = (hi << 32) | lo;
  double d;
  std::memcpy(&d, &v, 8);
  return d;
}

std::string ByteReader::cstr() {
  align();
  size_t start = pos_;
  while (pos_ < n_ && p_[pos_] != 0) ++pos_;
  std::string s(reinterpret_cast<const char*>(p_ + start), pos_ - start);
  if (pos_ < n_)
    ++pos_;
  else
    overrun_ = true;
  return s;
}

uint32_t ByteReader::ub(unsigned bits) {
  uint32_t v = 0;
  for (unsigned i = 0; i < bits; ++i) {
    if (bitCount_ == 0) {
      if (pos_ >= n_) {
        overrun_ = true;
        bitBuf_ = 0;
      } else {
        bitBuf_ = p_[pos_++];
      }
      bitCount_ = 8;
    }
    --bitCount_;
    v = (v << 1) | ((bitBuf_ >> bitCount_) & 1);
  }
  return v;
}

int32_t ByteReader::sb(unsigned bits) {
  if (bits == 0) return 0;
  uint32_t v = ub(bits);
  if (bits < 32 && (v & (1u << (bits - 1)))) v |= ~0u << bits;
  return static_cast<int32_t>(v);
}

Rect ByteReader::rect() {
  align();
  unsigned n = ub(5);
  Rect r;
  r.xmin = sb(n);
  r.xmax = sb(n);
  r.ymin = sb(n);
  r.ymax = sb(n);
  align();
  return r;
}

Matrix ByteReader::matrix() {
  align();
  Matrix m;
  if (ub(1)) {
    unsigned n = ub(5);
    m.a = fb(n);
    m.d = fb(n);
  }
  if (ub(1)) {
    unsigned n = ub(5);
    m.b = fb(n);
    m.c = fb(n);
  }
  unsigned n = ub(5);
  m.tx = sb(n);
  m.ty = sb(n);
  align();
  return m;
}

ColorTransform ByteReader::cxform(bool withAlpha) {
  align();
  ColorTransform c;
  bool hasAdd = ub(1), hasMult = ub(1);
  unsigned n = ub(4);
  if (hasMult) {
    c.rm = sb(n) / 256.0;
    c.gm = sb(n) / 256.0;
    c.bm = sb(n) / 256.0;
    if (withAlpha) c.am = sb(n) / 256.0;
  }
  if (hasAdd) {
    c.ra = sb(n);
    c.ga = sb(n);
    c.ba = sb(n);
    if (withAlpha) c.aa = sb(n);
  }
  align();
  return c;
}

RGBA ByteReader::rgb() {
  RGBA c;
  c.r = u8();
  c.g = u8();
  c.b = u8();
  return c;
}

RGBA ByteReader::rgba() {
  RGBA c = rgb();
  c.a = u8();
  return c;
}

// ---------------------------------------------------------------------------------------
// Header and decompression

const char* loadErrorText(LoadError e) {
  switch (e) {
    case LoadError::None: return "no error";
    case LoadError::TooShort: return "file too short for a movie header";
    case LoadError::BadSignature: return "not a movie file";
    case LoadError::Lzma: return "LZMA-compressed movies are not supported";
    case LoadError::BadVersion: return "unsupported movie version";
    case LoadError::BadCompression: return "damaged compressed movie";
  }
  return "unknown error";
}

static bool checkSignature(const uint8_t* p, size_t n, LoadError& err) {
  if (n < 8) {
    err = LoadError::TooShort;
    return false;
  }
  if (p[1] != 'W' || p[2] != 'S' || (p[0] != 'F' && p[0] != 'C' && p[0] != 'Z')) {
    err = LoadError::BadSignature;
    return false;
  }
  if (p[0] == 'Z') {
    err = LoadError::Lzma;
    return false;
  }
  if (p[3] == 0) {
    err = LoadError::BadVersion;
    return false;
  }
  return true;
}

// Inflates the body of a CWS file. A truncated or damaged stream keeps what was inflated.
static bool inflateBody(const uint8_t* p, size_t n, size_t want, Bytes& out) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  size_t old = out.size();
  out.resize(old + want);
  zs.next_in = const_cast<Bytes::value_type*>(p);
  zs.avail_in = static_cast<uInt>(std::min<size_t>(n, 0x7fffffff));
  zs.next_out = out.data() + old;
  zs.avail_out = static_cast<uInt>(want);
  int rc = Z_OK;
  while (zs.avail_out > 0 && rc == Z_OK) rc = inflate(&zs, Z_NO_FLUSH);
  size_t got = want - zs.avail_out;
  inflateEnd(&zs);
  out.resize(old + got);
  return got > 0 || rc == Z_STREAM_END;
}

static void parseHeaderFields(ByteReader& r, SwfHeader& h) {
  h.frameSize = r.rect();
  h.frameRateRaw = r.u16();
  h.frameCount = r.u16();
}

bool readSwfHeader(const uint8_t* p, size_t n, SwfHeader& out, LoadError* errOut) {
  LoadError err = LoadError::None;
  bool ok = checkSignature(p, n, err);
  if (ok) {
    Bytes head(p, p + 8);
    if (p[0] == 'C') {
      if (!inflateBody(p + 8, n - 8, 64, head)) {
        err = LoadError::BadCompression;
        ok = false;
      }
    } else {
      head.insert(head.end(), p + 8, p + std::min<size_t>(n, 8 + 64));
    }
    if (ok) {
      std::memcpy(out.signature, p, 3);
      out.version = p[3];
      out.fileLength = p[4] | (p[5] << 8) | (p[6] << 16) | (uint32_t(p[7]) << 24);
      ByteReader r(head.data() + 8, head.size() - 8);
      parseHeaderFields(r, out);
    }
  }
  if (errOut) *errOut = err;
  return ok;
}

std::string latin1ToUtf8(const std::string& s) {
  // Windows-1252 differs from Latin-1 in 0x80-0x9F.
  static const uint16_t cp1252[32] = {
      0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  std::string o;
  o.reserve(s.size());
  for (unsigned char ch : s) {
    uint32_t cp = ch;
    if (ch >= 0x80 && ch < 0xA0) cp = cp1252[ch - 0x80];
    if (cp < 0x80) {
      o += static_cast<char>(cp);
    } else if (cp < 0x800) {
      o += static_cast<char>(0xC0 | (cp >> 6));
      o += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      o += static_cast<char>(0xE0 | (cp >> 12));
      o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      o += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return o;
}

// ---------------------------------------------------------------------------------------
// Tag decoding

namespace {

struct Parser {
  MovieDef& movie;
  const ParseLimits& limits;
  std::shared_ptr<const Bytes> data;
  size_t edgeBudget;
  Bytes jpegTables;  // shared tables of DefineBits images

  std::string text(ByteReader& r) {
    std::string s = r.cstr();
    return movie.version() <= 5 ? latin1ToUtf8(s) : s;
  }

  ActionCode codeAt(size_t offset, size_t length) {
    ActionCode c;
    c.data = data;
    c.offset = static_cast<uint32_t>(offset);
    c.length = static_cast<uint32_t>(length);
    return c;
  }

  // Offset of a reader position inside the whole-file buffer.
  size_t absolute(const ByteReader& r) const { return static_cast<size_t>(r.data() - data->data()) + r.pos(); }

  void parseClipActions(ByteReader& r, PlaceInfo& p) {
    bool wide = movie.version() >= 6;
    r.u16();
    if (wide)
      r.u32();
    else
      r.u16();
    for (int guard = 0; guard < 4096 && r.remaining() > 0; ++guard) {
      uint32_t flags = wide ? r.u32() : r.u16();
      if (flags == 0 || r.overrun()) break;
      uint32_t size = r.u32();
      ClipAction a;
      // Bytes come little-endian: byte0 in bits 0-7 already matches the enum layout.
      a.events = flags;
      size_t start = r.pos();
      if (flags & EvKeyPress) {
        a.keyCode = r.u8();
        if (size > 0) --size;
        ++start;
      }
      size_t len = std::min<size_t>(size, r.remaining());
      a.code = codeAt(absolute(r), len);
      r.seek(start + len);
      p.clipActions.push_back(std::move(a));
    }
  }

  std::shared_ptr<PlaceInfo> parsePlace(ByteReader& r, int version) {
    auto p = std::make_shared<PlaceInfo>();
    p->tagVersion = version;
    if (version == 1) {
      p->hasCharacter = true;
      p->characterId = r.u16();
      p->depth = r.u16();
      p->hasMatrix = true;
      p->matrix = r.matrix();
      if (r.remaining() > 0) {
        p->hasCxform = true;
        p->cxform = r.cxform(false);
      }
      return p;
    }
    uint8_t f = r.u8();
    uint8_t f2 = version == 3 ? r.u8() : 0;
    p->depth = r.u16();
    p->move = f & 0x01;
    p->hasCharacter = f & 0x02;
    p->hasMatrix = f & 0x04;
    p->hasCxform = f & 0x08;
    p->hasRatio = f & 0x10;
    p->hasName = f & 0x20;
    p->hasClipDepth = f & 0x40;
    bool hasActions = f & 0x80;
    if (version == 3 && ((f2 & 0x08) || ((f2 & 0x10) && p->hasCharacter))) r.cstr();  // class name
    if (p->hasCharacter) p->characterId = r.u16();
    if (p->hasMatrix) p->matrix = r.matrix();
    if (p->hasCxform) p->cxform = r.cxform(true);
    if (p->hasRatio) p->ratio = r.u16();
    if (p->hasName) p->name = text(r);
    if (p->hasClipDepth) p->clipDepth = r.u16();
    if (version == 3) {
      // Filters, blend mode, bitmap caching and visibility are SWF 8 display features this
      // player does not draw; their bytes are skipped only where actions follow.
      if (hasActions) {
        if (f2 & 0x01) {
          uint8_t count = r.u8();
          for (int i = 0; i < count && !r.overrun(); ++i) skipFilter(r);
        }
        if (f2 & 0x02) r.u8();
        if (f2 & 0x04) r.u8();
        if (f2 & 0x20) {
          r.u8();
          r.u32();
        }
      }
    }
    if (hasActions && !r.overrun()) parseClipActions(r, *p);
    return p;
  }

  static void skipFilter(ByteReader& r) {
    uint8_t id = r.u8();
    switch (id) {
      case 0: r.skip(23); break;  // drop shadow
      case 1: r.skip(9); break;   // blur
      case 2: r.skip(15); break;  // glow
      case 3: r.skip(27); break;  // bevel
      case 4:
      case 7: {  // gradient glow / bevel
        uint8_t n = r.u8();
        r.skip(n * 5u + 19);
        break;
      }
      case 5: {  // convolution
        uint8_t x = r.u8(), y = r.u8();
        r.skip(8 + 4u * x * y + 5);
        break;
      }
      case 6: r.skip(80); break;  // colour matrix
      default: r.skip(r.remaining()); break;
    }
  }

  FillStyle parseFill(ByteReader& r, int shapeVersion) {
    FillStyle f;
    uint8_t type = r.u8();
    if (type == 0x00) {
      f.type = FillStyle::Solid;
      f.color = shapeVersion >= 3 ? r.rgba() : r.rgb();
    } else if (type == 0x10 || type == 0x12 || type == 0x13) {
      f.type = type == 0x10 ? FillStyle::Linear : type == 0x12 ? FillStyle::Radial : FillStyle::Focal;
      f.matrix = r.matrix();
      r.align();
      f.gradient.spread = static_cast<uint8_t>(r.ub(2));
      f.gradient.interpolation = static_cast<uint8_t>(r.ub(2));
      unsigned n = r.ub(4);
      for (unsigned i = 0; i < n; ++i) {
        Gradient::Stop s;
        s.ratio = r.u8();
        s.color = shapeVersion >= 3 ? r.rgba() : r.rgb();
        f.gradient.stops.push_back(s);
      }
      if (type == 0x13) f.gradient.focal = r.s16() / 256.0;
    } else if (type >= 0x40 && type <= 0x43) {
      f.type = FillStyle::Bitmap;
      f.bitmapId = r.u16();
      f.matrix = r.matrix();
      f.repeat = type == 0x40 || type == 0x42;
      f.smooth = type == 0x40 || type == 0x41;
    } else {
      // Unknown fill type: the rest of the style list cannot be trusted.
      r.skip(r.remaining());
    }
    return f;
  }

  void parseStyles(ByteReader& r, int v, std::vector<FillStyle>& fills,
                   std::vector<LineStyle>& lines) {
    unsigned n = r.u8();
    if (n == 0xFF && v >= 2) n = r.u16();
    for (unsigned i = 0; i < n && !r.overrun(); ++i) fills.push_back(parseFill(r, v));
    n = r.u8();
    if (n == 0xFF && v >= 2) n = r.u16();
    for (unsigned i = 0; i < n && !r.overrun(); ++i) {
      LineStyle l;
      l.width = r.u16();
      if (v == 4) {
        r.align();
        r.ub(2);
        unsigned join = r.ub(2);
        bool hasFill = r.ub(1);
        r.ub(11);
        if (join == 2) r.u16();
        if (hasFill) {
          l.hasFill = true;
          l.fill = parseFill(r, v);
          l.color = l.fill.type == FillStyle::Solid ? l.fill.color
                    : l.fill.gradient.stops.empty() ? RGBA{0, 0, 0, 255}
                                                    : l.fill.gradient.stops[0].color;
        } else {
          l.color = r.rgba();
        }
      } else {
        l.color = v >= 3 ? r.rgba() : r.rgb();
      }
      lines.push_back(l);
    }
  }

  std::shared_ptr<ShapeDef> parseShape(ByteReader& r, int v, bool hasStyles) {
    auto shape = std::make_shared<ShapeDef>();
    auto fills = std::make_shared<std::vector<FillStyle>>();
    auto lines = std::make_shared<std::vector<LineStyle>>();
    if (hasStyles) parseStyles(r, v, *fills, *lines);
    r.align();
    unsigned fillBits = r.ub(4), lineBits = r.ub(4);
    ShapePath cur;
    cur.fills = fills;
    cur.lines = lines;
    int32_t x = 0, y = 0;
    auto flush = [&]() {
      if (!cur.edges.empty()) shape->paths.push_back(cur);
      cur.edges.clear();
    };
    while (!r.overrun()) {
      if (r.ub(1)) {
        Edge e{};
        e.x0 = x;
        e.y0 = y;
        if (r.ub(1)) {
          unsigned n = r.ub(4) + 2;
          int32_t dx = 0, dy = 0;
          if (r.ub(1)) {
            dx = r.sb(n);
            dy = r.sb(n);
          } else if (r.ub(1)) {
            dy = r.sb(n);
          } else {
            dx = r.sb(n);
          }
          x += dx;
          y += dy;
          e.curve = false;
        } else {
          unsigned n = r.ub(4) + 2;
          e.cx = x + r.sb(n);
          e.cy = y + r.sb(n);
          x = e.cx + r.sb(n);
          y = e.cy + r.sb(n);
          e.curve = true;
        }
        e.x1 = x;
        e.y1 = y;
        if (edgeBudget == 0) break;
        --edgeBudget;
        cur.edges.push_back(e);
        continue;
      }
      unsigned flags = r.ub(5);
      if (flags == 0) break;
      flush();
      if (flags & 0x01) {
        unsigned n = r.ub(5);
        x = r.sb(n);
        y = r.sb(n);
      }
      if (flags & 0x02) cur.fill0 = r.ub(fillBits);
      if (flags & 0x04) cur.fill1 = r.ub(fillBits);
      if (flags & 0x08) cur.line = r.ub(lineBits);
      if ((flags & 0x10) && hasStyles) {
        fills = std::make_shared<std::vector<FillStyle>>();
        lines = std::make_shared<std::vector<LineStyle>>();
        parseStyles(r, v, *fills, *lines);
        cur.fills = fills;
        cur.lines = lines;
        cur.fill0 = cur.fill1 = cur.line = 0;
        r.align();
        fillBits = r.ub(4);
        lineBits = r.ub(4);
      }
    }
    flush();
    return shape;
  }

  void defineShape(ByteReader& r, int v) {
    Character c;
    c.kind = Character::Shape;
    c.id = r.u16();
    c.bounds = r.rect();
    bool nonZero = false;
    if (v == 4) {
      r.rect();
      nonZero = r.u8() & 0x04;
    }
    auto shape = parseShape(r, v, true);
    shape->bounds = c.bounds;
    shape->nonZero = nonZero;
    c.shape = shape;
    movie.characters[c.id] = std::move(c);
  }

  void defineBitsLossless(ByteReader& r, int v) {
    Character c;
    c.kind = Character::Bitmap;
    c.id = r.u16();
    uint8_t format = r.u8();
    uint32_t w = r.u16(), h = r.u16();
    auto bmp = std::make_shared<BitmapDef>();
    c.bounds = Rect{0, static_cast<int32_t>(w * 20), 0, static_cast<int32_t>(h * 20)};
    if (size_t(w) * h <= limits.maxBitmapPixels && w > 0 && h > 0 && !r.overrun()) {
      unsigned paletteSize = format == 3 ? r.u8() + 1u : 0;
      size_t colorBytes = v == 2 ? 4 : 3;
      size_t stride = format == 3 ? (w + 3) & ~size_t(3)
                      : format == 4 ? (w * 2 + 3) & ~size_t(3)
                                    : w * 4;
      size_t want = paletteSize * colorBytes + stride * h;
      Bytes raw;
      inflateBody(r.data() + r.pos(), r.remaining(), want, raw);
      raw.resize(want, 0);
      bmp->width = w;
      bmp->height = h;
      bmp->pixels.assign(size_t(w) * h, 0);
      auto premul = [](uint32_t a, uint32_t r_, uint32_t g, uint32_t b) {
        if (a < 255) {
          // Lossless2 data is premultiplied already in spirit but files often store colour
          // above alpha; clamp so the pixel stays valid premultiplied ARGB.
          r_ = std::min(r_, a);
          g = std::min(g, a);
          b = std::min(b, a);
        }
        return (a << 24) | (r_ << 16) | (g << 8) | b;
      };
      for (uint32_t yy = 0; yy < h; ++yy) {
        const uint8_t* row = raw.data() + paletteSize * colorBytes + stride * yy;
        for (uint32_t xx = 0; xx < w; ++xx) {
          uint32_t px = 0;
          if (format == 3) {
            unsigned idx = row[xx];
            if (idx < paletteSize) {
              const uint8_t* pc = raw.data() + idx * colorBytes;
              px = v == 2 ? premul(pc[3], pc[0], pc[1], pc[2]) : premul(255, pc[0], pc[1], pc[2]);
            }
          } else if (format == 4) {
            unsigned pix = (row[xx * 2] << 8) | row[xx * 2 + 1];
            unsigned rr = (pix >> 10) & 31, gg = (pix >> 5) & 31, bb = pix & 31;
            px = premul(255, rr * 255 / 31, gg * 255 / 31, bb * 255 / 31);
          } else {
            const uint8_t* pc = row + xx * 4;
            px = v == 2 ? premul(pc[0], pc[1], pc[2], pc[3]) : premul(255, pc[1], pc[2], pc[3]);
          }
          bmp->pixels[size_t(yy) * w + xx] = px;
        }
      }
    }
    c.bitmap = bmp;
    movie.characters[c.id] = std::move(c);
  }

  void defineButton(ByteReader& r, int v) {
    Character c;
    c.kind = Character::Button;
    c.id = r.u16();
    auto b = std::make_shared<ButtonDef>();
    size_t actionOffset = 0;
    size_t actionBase = 0;
    if (v == 2) {
      b->trackAsMenu = r.u8() & 1;
      actionBase = r.pos();
      actionOffset = r.u16();
    }
    while (!r.overrun()) {
      uint8_t f = r.u8();
      if (f == 0) break;
      ButtonRecord rec;
      rec.states = f & 0x0F;
      rec.characterId = r.u16();
      rec.depth = r.u16();
      rec.matrix = r.matrix();
      if (v == 2) {
        rec.cxform = r.cxform(true);
        if (f & 0x10) {
          uint8_t n = r.u8();
          for (int i = 0; i < n && !r.overrun(); ++i) skipFilter(r);
        }
        if (f & 0x20) r.u8();
      }
      b->records.push_back(rec);
    }
    if (v == 1) {
      ButtonCondAction a;
      a.conditions = 0x08;  // released over the button
      a.code = codeAt(absolute(r), r.remaining());
      b->actions.push_back(a);
    } else if (actionOffset != 0) {
      size_t pos = actionBase + actionOffset;
      for (int guard = 0; guard < 4096 && pos + 4 <= r.size(); ++guard) {
        r.seek(pos);
        uint16_t size = r.u16();
        ButtonCondAction a;
        a.conditions = r.u16();
        size_t start = r.pos();
        size_t end = size ? std::min(pos + size, r.size()) : r.size();
        if (end < start) end = start;
        a.code = codeAt(absolute(r), end - start);
        b->actions.push_back(a);
        if (size == 0) break;
        pos += size;
      }
    }
    c.button = b;
    movie.characters[c.id] = std::move(c);
  }

  void defineEditText(ByteReader& r) {
    Character c;
    c.kind = Character::EditText;
    c.id = r.u16();
    c.bounds = r.rect();
    auto t = std::make_shared<TextDef>();
    t->bounds = c.bounds;
    uint16_t f = static_cast<uint16_t>((r.u8() << 8) | r.u8());
    bool hasText = f & 0x8000, hasColor = f & 0x0400, hasMax = f & 0x0200, hasFont = f & 0x0100;
    bool hasFontClass = f & 0x0080, hasLayout = f & 0x0020;
    if (hasFont) r.u16();
    if (hasFontClass) r.cstr();
    if (hasFont || hasFontClass) r.u16();
    if (hasColor) r.rgba();
    if (hasMax) r.u16();
    if (hasLayout) r.skip(9);
    t->variableName = text(r);
    if (hasText) t->initialText = text(r);
    c.text = t;
    movie.characters[c.id] = std::move(c);
  }

  void parseTimeline(ByteReader& r, Timeline& tl, int declared, int nesting) {
    Frame cur;
    bool pending = false;
    while (r.remaining() >= 2) {
      uint16_t head = r.u16();
      unsigned code = head >> 6;
      size_t len = head & 0x3F;
      if (len == 0x3F) len = r.u32();
      if (r.overrun()) break;
      len = std::min(len, r.remaining());
      size_t start = r.pos();
      ByteReader t(r.data() + start, len);
      r.skip(len);
      if (code == 0) break;
      switch (code) {
        case 1:  // ShowFrame
          if (tl.frames.size() < limits.maxFrames) tl.frames.push_back(std::move(cur));
          cur = Frame();
          pending = false;
          continue;
        case 4:
        case 26:
        case 70: {
          FrameTag ft;
          ft.kind = FrameTag::Place;
          ft.place = parsePlace(t, code == 4 ? 1 : code == 26 ? 2 : 3);
          cur.tags.push_back(std::move(ft));
          break;
        }
        case 5:
        case 28: {
          FrameTag ft;
          ft.kind = FrameTag::Remove;
          if (code == 5) t.u16();
          ft.depth = t.u16();
          cur.tags.push_back(std::move(ft));
          break;
        }
        case 12: {
          FrameTag ft;
          ft.kind = FrameTag::Action;
          ft.action = codeAt(absolute(t), len);
          cur.tags.push_back(std::move(ft));
          break;
        }
        case 59: {
          uint16_t id = t.u16();
          if (len >= 2) cur.initActions.emplace_back(id, codeAt(absolute(t), len - 2));
          break;
        }
        case 43:
          cur.labels.push_back(text(t));
          break;
        case 9:
          if (nesting == 0 && !movie.hasBackground) {
            movie.background = t.rgb();
            movie.hasBackground = true;
          }
          break;
        case 69:
          if (nesting == 0 && (t.u8() & 0x08)) movie.as3 = true;
          break;
        case 72:
        case 82:
          movie.as3 = true;
          break;
        case 2: defineShape(t, 1); break;
        case 22: defineShape(t, 2); break;
        case 32: defineShape(t, 3); break;
        case 83: defineShape(t, 4); break;
        case 20: defineBitsLossless(t, 1); break;
        case 36: defineBitsLossless(t, 2); break;
        case 7: defineButton(t, 1); break;
        case 34: defineButton(t, 2); break;
        case 23: {
          uint16_t id = t.u16();
          ColorTransform cx = t.cxform(false);
          auto it = movie.characters.find(id);
          if (it != movie.characters.end() && it->second.button)
            for (auto& rec : it->second.button->records) rec.cxform = cx;
          break;
        }
        case 37: defineEditText(t); break;
        case 11:
        case 33: {
          Character c;
          c.kind = Character::Text;
          c.id = t.u16();
          c.bounds = t.rect();
          movie.characters[c.id] = std::move(c);
          break;
        }
        case 46:
        case 84: {
          Character c;
          c.kind = Character::Morph;
          c.id = t.u16();
          c.bounds = t.rect();
          c.morph = parseMorphShape(t, code == 84 ? 2 : 1, c.bounds,
                                    [&](ByteReader& r) { return parseShape(r, 3, false); });
          movie.characters[c.id] = std::move(c);
          break;
        }
        case 8:
          jpegTables.assign(t.data() + t.pos(), t.data() + t.pos() + t.remaining());
          break;
        case 6:
        case 21:
        case 35: {
          Character c;
          c.kind = Character::Bitmap;
          c.id = t.u16();
          size_t jpegSize = code == 35 ? t.u32() : t.remaining();
          const uint8_t* p = t.data() + t.pos();
          size_t n = std::min(jpegSize, t.remaining());
          c.bitmap = decodeBitmapTag(code == 6 ? &jpegTables : nullptr, p, n, p + n, t.remaining() - n,
                                     limits.maxBitmapPixels);
          if (c.bitmap) c.bounds = Rect{0, int32_t(c.bitmap->width * 20), 0, int32_t(c.bitmap->height * 20)};
          movie.characters[c.id] = std::move(c);
          break;
        }
        case 10:
        case 48:
        case 75: {
          Character c;
          c.kind = Character::Font;
          c.id = t.u16();
          movie.characters[c.id] = std::move(c);
          break;
        }
        case 56: {
          unsigned n = t.u16();
          for (unsigned i = 0; i < n && !t.overrun(); ++i) {
            uint16_t id = t.u16();
            std::string name = text(t);
            for (auto& ch : name)
              if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
            movie.exports[name] = id;
          }
          break;
        }
        case 39:
          if (nesting < 8) {
            Character c;
            c.kind = Character::Sprite;
            c.id = t.u16();
            int count = t.u16();
            auto sub = std::make_shared<Timeline>();
            ByteReader body(t.data() + t.pos(), t.remaining());
            parseTimeline(body, *sub, count, nesting + 1);
            c.sprite = sub;
            movie.characters[c.id] = std::move(c);
          }
          break;
        default:
          break;
      }
      pending = true;
    }
    // Tags after the last ShowFrame still belong to a frame the player reaches.
    if (pending && (!cur.tags.empty() || !cur.labels.empty() || !cur.initActions.empty()) &&
        tl.frames.size() < limits.maxFrames)
      tl.frames.push_back(std::move(cur));
    // Playback follows the frames really present; the declared count only matters when a
    // timeline has none.
    int count = !tl.frames.empty() ? static_cast<int>(tl.frames.size()) : declared;
    tl.frameCount = std::max(1, count);
  }
};

}  // namespace

std::shared_ptr<MovieDef> loadSwf(const uint8_t* p, size_t n, LoadError& err,
                                  const ParseLimits& limits) {
  err = LoadError::None;
  if (!checkSignature(p, n, err)) return nullptr;
  uint32_t fileLength = p[4] | (p[5] << 8) | (p[6] << 16) | (uint32_t(p[7]) << 24);
  size_t bodyWant = fileLength > 8 ? fileLength - 8 : 0;
  bodyWant = std::min(bodyWant, limits.maxUncompressed);
  auto data = std::make_shared<Bytes>(p, p + 8);
  if (p[0] == 'C') {
    if (!inflateBody(p + 8, n - 8, bodyWant, *data)) {
      err = LoadError::BadCompression;
      return nullptr;
    }
  } else {
    size_t take = std::min(n - 8, bodyWant);
    data->insert(data->end(), p + 8, p + 8 + take);
  }
  auto movie = std::make_shared<MovieDef>();
  movie->data = data;
  std::memcpy(movie->header.signature, p, 3);
  movie->header.version = p[3];
  movie->header.fileLength = fileLength;
  ByteReader r(data->data() + 8, data->size() - 8);
  parseHeaderFields(r, movie->header);
  Parser parser{*movie, limits, data, limits.maxEdgesPerShape * 4, {}};
  ByteReader tags(data->data() + 8 + r.pos(), r.remaining());
  parser.parseTimeline(tags, movie->root, movie->header.frameCount, 0);
  return movie;
}

}  // namespace moviectl
