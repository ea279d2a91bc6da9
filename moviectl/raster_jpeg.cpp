// Baseline JPEG decoder: markers, Huffman-coded blocks, inverse DCT, upsampling, colour.
#include "moviectl/raster_jpeg.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <zlib.h>

#include "moviectl/raster.h"

namespace moviectl {

namespace {

// Order in which the 64 coefficients of a block are stored.
const uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                             41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                             30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct Huffman {
  bool defined = false;
  // Canonical code: for each length, the largest code and where its values start.
  int maxCode[18];
  int valPtr[17];
  int minCode[17];
  uint8_t values[256];
};

struct Component {
  int id = 0, h = 1, v = 1, tq = 0;
  int td = 0, ta = 0;       // Huffman tables of the current scan
  int dcPred = 0;
  int blocksWide = 0, blocksHigh = 0;  // blocks in the plane (whole MCUs)
  std::vector<uint8_t> plane;          // blocksWide * 8 x blocksHigh * 8 samples
};

class Decoder {
 public:
  explicit Decoder(size_t maxPixels) : maxPixels_(maxPixels) {}

  // Reads markers (tables, frame header, scans) from one block of data.
  bool feed(const uint8_t* p, size_t n) {
    p_ = p;
    n_ = n;
    pos_ = 0;
    while (pos_ + 1 < n_) {
      if (p_[pos_] != 0xFF) {
        ++pos_;  // junk between segments
        continue;
      }
      uint8_t m = p_[pos_ + 1];
      pos_ += 2;
      if (m == 0xFF) {
        --pos_;  // fill byte
        continue;
      }
      if (m == 0xD8 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;  // no length
      if (m == 0xD9) {
        // An end marker before any scan separates tables from the image in older files.
        if (scanned_) return true;
        continue;
      }
      if (pos_ + 2 > n_) return scanned_;
      size_t len = (size_t(p_[pos_]) << 8) | p_[pos_ + 1];
      if (len < 2 || pos_ + len > n_) return scanned_;
      const uint8_t* seg = p_ + pos_ + 2;
      size_t segLen = len - 2;
      pos_ += len;
      switch (m) {
        case 0xDB:
          if (!quantTables(seg, segLen)) return false;
          break;
        case 0xC4:
          if (!huffTables(seg, segLen)) return false;
          break;
        case 0xDD:
          if (segLen < 2) return false;
          restartInterval_ = (seg[0] << 8) | seg[1];
          break;
        case 0xC0:
        case 0xC1:
          if (!frame(seg, segLen)) return false;
          break;
        case 0xDA:
          if (!scan(seg, segLen)) return false;
          break;
        default:
          // Progressive, lossless, hierarchical and arithmetic-coded frames are not read.
          if (m >= 0xC2 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) return false;
          break;  // application data, comments
      }
    }
    return true;
  }

  bool finish(JpegImage& out) {
    if (!scanned_ || comps_.empty()) return false;
    out.width = width_;
    out.height = height_;
    out.pixels.assign(size_t(width_) * height_, 0xFF000000u);
    for (uint32_t y = 0; y < height_; ++y)
      for (uint32_t x = 0; x < width_; ++x) {
        int s[3] = {0, 0, 0};
        for (size_t i = 0; i < comps_.size() && i < 3; ++i) s[i] = sample(comps_[i], x, y);
        int r, g, b;
        if (comps_.size() >= 3) {
          double yy = s[0], cb = s[1] - 128.0, cr = s[2] - 128.0;
          r = static_cast<int>(std::lround(yy + 1.402 * cr));
          g = static_cast<int>(std::lround(yy - 0.344136 * cb - 0.714136 * cr));
          b = static_cast<int>(std::lround(yy + 1.772 * cb));
        } else {
          r = g = b = s[0];
        }
        auto c8 = [](int v) { return static_cast<uint32_t>(std::clamp(v, 0, 255)); };
        out.pixels[size_t(y) * width_ + x] = 0xFF000000u | (c8(r) << 16) | (c8(g) << 8) | c8(b);
      }
    return true;
  }

 private:
  // A component's value at image pixel (x, y). Subsampled components are interpolated
  // between the centres of their samples (what decoders call fancy upsampling), with the
  // edge samples repeated beyond the image.
  int sample(const Component& c, uint32_t x, uint32_t y) const {
    const size_t stride = size_t(c.blocksWide) * 8;
    if (c.h == hMax_ && c.v == vMax_) return c.plane[size_t(y) * stride + x];
    int compW = (int(width_) * c.h + hMax_ - 1) / hMax_, compH = (int(height_) * c.v + vMax_ - 1) / vMax_;
    double fx = (x + 0.5) * c.h / hMax_ - 0.5, fy = (y + 0.5) * c.v / vMax_ - 0.5;
    int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    double wx = fx - x0, wy = fy - y0;
    auto at = [&](int px, int py) {
      px = std::clamp(px, 0, compW - 1);
      py = std::clamp(py, 0, compH - 1);
      return double(c.plane[size_t(py) * stride + size_t(px)]);
    };
    double top = at(x0, y0) * (1 - wx) + at(x0 + 1, y0) * wx;
    double bottom = at(x0, y0 + 1) * (1 - wx) + at(x0 + 1, y0 + 1) * wx;
    return static_cast<int>(std::lround(top * (1 - wy) + bottom * wy));
  }

  bool quantTables(const uint8_t* s, size_t n) {
    size_t i = 0;
    while (i < n) {
      int pq = s[i] >> 4, tq = s[i] & 15;
      ++i;
      if (tq > 3 || pq > 1) return false;
      size_t need = pq ? 128 : 64;
      if (i + need > n) return false;
      for (int k = 0; k < 64; ++k) quant_[tq][kZigzag[k]] = pq ? (s[i + 2 * k] << 8) | s[i + 2 * k + 1] : s[i + k];
      i += need;
    }
    return true;
  }

  bool huffTables(const uint8_t* s, size_t n) {
    size_t i = 0;
    while (i < n) {
      int tc = s[i] >> 4, th = s[i] & 15;
      ++i;
      if (tc > 1 || th > 3 || i + 16 > n) return false;
      Huffman& t = huff_[tc][th];
      const uint8_t* counts = s + i;
      i += 16;
      int total = 0;
      for (int k = 0; k < 16; ++k) total += counts[k];
      if (total > 256 || i + total > n) return false;
      std::memcpy(t.values, s + i, total);
      i += total;
      int code = 0, k = 0;
      for (int len = 1; len <= 16; ++len) {
        t.valPtr[len] = k;
        t.minCode[len] = code;
        code += counts[len - 1];
        k += counts[len - 1];
        t.maxCode[len] = counts[len - 1] ? code - 1 : -1;
        code <<= 1;
      }
      t.maxCode[17] = 0x7FFFFFFF;
      t.defined = true;
    }
    return true;
  }

  bool frame(const uint8_t* s, size_t n) {
    if (n < 6 || s[0] != 8 || framed_) return false;
    height_ = (s[1] << 8) | s[2];
    width_ = (s[3] << 8) | s[4];
    int nc = s[5];
    if (width_ == 0 || height_ == 0 || size_t(width_) * height_ > maxPixels_) return false;
    if ((nc != 1 && nc != 3) || n < 6 + size_t(nc) * 3) return false;
    comps_.resize(nc);
    for (int i = 0; i < nc; ++i) {
      Component& c = comps_[i];
      c.id = s[6 + i * 3];
      c.h = s[7 + i * 3] >> 4;
      c.v = s[7 + i * 3] & 15;
      c.tq = s[8 + i * 3];
      if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.tq > 3) return false;
      hMax_ = std::max(hMax_, c.h);
      vMax_ = std::max(vMax_, c.v);
    }
    mcusWide_ = (width_ + 8 * hMax_ - 1) / (8 * hMax_);
    mcusHigh_ = (height_ + 8 * vMax_ - 1) / (8 * vMax_);
    for (Component& c : comps_) {
      c.blocksWide = mcusWide_ * c.h;
      c.blocksHigh = mcusHigh_ * c.v;
      // Mid-grey until a scan says otherwise.
      c.plane.assign(size_t(c.blocksWide) * 8 * size_t(c.blocksHigh) * 8, 128);
    }
    framed_ = true;
    return true;
  }

  // ---- entropy-coded data --------------------------------------------------------------

  int bit() {
    if (bitCount_ == 0) {
      uint8_t b = 0;
      if (pos_ < n_) {
        b = p_[pos_];
        if (b == 0xFF) {
          uint8_t next = pos_ + 1 < n_ ? p_[pos_ + 1] : 0;
          if (next == 0) {
            pos_ += 2;  // stuffed zero
          } else {
            b = 0;  // a marker: the data ran out; feed zeros and stay at the marker
          }
        } else {
          ++pos_;
        }
      }
      bitBuf_ = b;
      bitCount_ = 8;
    }
    --bitCount_;
    return (bitBuf_ >> bitCount_) & 1;
  }

  int bits(int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | bit();
    return v;
  }

  // A value of `n` bits as the signed magnitude the coefficients use.
  static int extend(int v, int n) { return n && v < (1 << (n - 1)) ? v - (1 << n) + 1 : v; }

  int decode(const Huffman& t) {
    int code = bit();
    for (int len = 1; len <= 16; ++len) {
      if (code <= t.maxCode[len]) return t.values[(t.valPtr[len] + code - t.minCode[len]) & 0xFF];
      code = (code << 1) | bit();
    }
    broken_ = true;  // no such code
    return 0;
  }

  void block(Component& c, int bx, int by) {
    int coef[64] = {0};
    const Huffman& dc = huff_[0][c.td];
    const Huffman& ac = huff_[1][c.ta];
    int s = decode(dc);
    if (s > 11) broken_ = true;
    int diff = s && s <= 11 ? extend(bits(s), s) : 0;
    c.dcPred += diff;
    coef[0] = c.dcPred * quant_[c.tq][0];
    for (int k = 1; k < 64 && !broken_;) {
      int rs = decode(ac);
      int r = rs >> 4, size = rs & 15;
      if (size == 0) {
        if (r != 15) break;  // end of block
        k += 16;
        continue;
      }
      k += r;
      if (k > 63) {
        broken_ = true;
        break;
      }
      coef[kZigzag[k]] = extend(bits(size), size) * quant_[c.tq][kZigzag[k]];
      ++k;
    }
    idct(coef, c.plane.data() + size_t(by) * 8 * c.blocksWide * 8 + size_t(bx) * 8, size_t(c.blocksWide) * 8);
  }

  static void idct(const int* in, uint8_t* out, size_t stride) {
    static float cosTable[8][8];
    static bool ready = false;
    if (!ready) {
      for (int x = 0; x < 8; ++x)
        for (int u = 0; u < 8; ++u)
          cosTable[x][u] = static_cast<float>((u ? 1.0 : std::sqrt(0.5)) * std::cos((2 * x + 1) * u * M_PI / 16) / 2);
      ready = true;
    }
    float tmp[64];
    for (int y = 0; y < 8; ++y)  // rows: frequency u -> position x
      for (int x = 0; x < 8; ++x) {
        float sum = 0;
        for (int u = 0; u < 8; ++u) sum += cosTable[x][u] * in[y * 8 + u];
        tmp[y * 8 + x] = sum;
      }
    for (int x = 0; x < 8; ++x)
      for (int y = 0; y < 8; ++y) {
        float sum = 0;
        for (int v = 0; v < 8; ++v) sum += cosTable[y][v] * tmp[v * 8 + x];
        int s = static_cast<int>(std::lround(sum + 128));
        out[y * stride + x] = static_cast<uint8_t>(std::clamp(s, 0, 255));
      }
  }

  // After a restart interval: byte-align, step over the RSTn marker, forget DC predictions.
  void restart() {
    bitCount_ = 0;
    while (pos_ + 1 < n_ && !(p_[pos_] == 0xFF && p_[pos_ + 1] != 0 && p_[pos_ + 1] != 0xFF)) ++pos_;
    // Only a restart marker is stepped over; any other marker ends the data where it is.
    if (pos_ + 1 < n_ && p_[pos_ + 1] >= 0xD0 && p_[pos_ + 1] <= 0xD7) pos_ += 2;
    for (Component& c : comps_) c.dcPred = 0;
  }

  bool scan(const uint8_t* s, size_t n) {
    if (!framed_ || n < 1) return false;
    int ns = s[0];
    if (ns < 1 || ns > 4 || n < 1 + size_t(ns) * 2 + 3) return false;
    std::vector<Component*> in;
    for (int i = 0; i < ns; ++i) {
      int id = s[1 + i * 2];
      Component* c = nullptr;
      for (Component& k : comps_)
        if (k.id == id) c = &k;
      if (!c) return false;
      c->td = s[2 + i * 2] >> 4;
      c->ta = s[2 + i * 2] & 15;
      if (c->td > 3 || c->ta > 3 || !huff_[0][c->td].defined || !huff_[1][c->ta].defined) return false;
      c->dcPred = 0;
      in.push_back(c);
    }
    bitCount_ = 0;
    broken_ = false;
    scanned_ = true;
    int sinceRestart = 0;
    auto nextUnit = [&]() {
      if (restartInterval_ && sinceRestart == restartInterval_) {
        restart();
        sinceRestart = 0;
      }
      ++sinceRestart;
    };
    if (ns == 1) {
      // One component alone: its blocks in raster order, only those covering the image.
      Component& c = *in[0];
      int compW = (int(width_) * c.h + hMax_ - 1) / hMax_, compH = (int(height_) * c.v + vMax_ - 1) / vMax_;
      int bw = (compW + 7) / 8, bh = (compH + 7) / 8;
      bw = std::max(1, std::min(bw, c.blocksWide));
      bh = std::max(1, std::min(bh, c.blocksHigh));
      for (int by = 0; by < bh && !broken_; ++by)
        for (int bx = 0; bx < bw && !broken_; ++bx) {
          nextUnit();
          block(c, bx, by);
        }
    } else {
      for (int my = 0; my < mcusHigh_ && !broken_; ++my)
        for (int mx = 0; mx < mcusWide_ && !broken_; ++mx) {
          nextUnit();
          for (Component* c : in)
            for (int v = 0; v < c->v; ++v)
              for (int h = 0; h < c->h; ++h) block(*c, mx * c->h + h, my * c->v + v);
        }
    }
    // Continue after the entropy-coded data: at the next marker that is not a restart.
    while (pos_ + 1 < n_ && !(p_[pos_] == 0xFF && p_[pos_ + 1] != 0 && !(p_[pos_ + 1] >= 0xD0 && p_[pos_ + 1] <= 0xD7)))
      ++pos_;
    return true;
  }

  size_t maxPixels_;
  const uint8_t* p_ = nullptr;
  size_t n_ = 0, pos_ = 0;
  uint32_t bitBuf_ = 0;
  int bitCount_ = 0;
  bool broken_ = false, framed_ = false, scanned_ = false;
  int quant_[4][64] = {};
  Huffman huff_[2][4];
  int restartInterval_ = 0;
  uint32_t width_ = 0, height_ = 0;
  int hMax_ = 1, vMax_ = 1, mcusWide_ = 0, mcusHigh_ = 0;
  std::vector<Component> comps_;
};

}  // namespace

bool decodeJpeg(const uint8_t* tables, size_t tablesSize, const uint8_t* data, size_t size, size_t maxPixels,
                JpegImage& out) {
  Decoder d(maxPixels);
  if (tables && tablesSize && !d.feed(tables, tablesSize)) return false;
  if (!d.feed(data, size)) return false;
  return d.finish(out);
}

std::shared_ptr<BitmapDef> decodeBitmapTag(const Bytes* tables, const uint8_t* data, size_t size,
                                           const uint8_t* alpha, size_t alphaSize, size_t maxPixels) {
  auto bmp = std::make_shared<BitmapDef>();
  static const uint8_t pngSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  if (size >= 8 && std::memcmp(data, pngSignature, 8) == 0) {
    // Later movies may carry a PNG image in the same tags.
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    if (!decodePng(data, size, w, h, px) || size_t(w) * h > maxPixels) return nullptr;
    bmp->width = w;
    bmp->height = h;
    bmp->pixels = std::move(px);
    for (uint32_t& p : bmp->pixels) {
      uint32_t a = p >> 24;
      auto m = [&](int sh) { return ((p >> sh & 0xFF) * a + 127) / 255; };
      p = (a << 24) | (m(16) << 16) | (m(8) << 8) | m(0);
    }
    return bmp;
  }
  JpegImage img;
  if (!decodeJpeg(tables ? tables->data() : nullptr, tables ? tables->size() : 0, data, size, maxPixels, img))
    return nullptr;
  bmp->width = img.width;
  bmp->height = img.height;
  bmp->pixels = std::move(img.pixels);
  if (alpha && alphaSize) {
    // One alpha byte per pixel, compressed; what the data does not cover stays opaque.
    std::vector<uint8_t> a(bmp->pixels.size(), 255);
    z_stream zs{};
    if (inflateInit(&zs) == Z_OK) {
      zs.next_in = const_cast<uint8_t*>(alpha);
      zs.avail_in = static_cast<uInt>(std::min<size_t>(alphaSize, 0x7fffffff));
      zs.next_out = a.data();
      zs.avail_out = static_cast<uInt>(a.size());
      int rc = Z_OK;
      while (zs.avail_out > 0 && rc == Z_OK) rc = inflate(&zs, Z_NO_FLUSH);
      inflateEnd(&zs);
    }
    // The colour data of such images is premultiplied already; channels above their alpha
    // (compression noise) are clamped so the pixel stays valid.
    for (size_t i = 0; i < a.size(); ++i) {
      uint32_t p = bmp->pixels[i], k = a[i];
      auto m = [&](int sh) { return std::min(p >> sh & 0xFF, k); };
      bmp->pixels[i] = (k << 24) | (m(16) << 16) | (m(8) << 8) | m(0);
    }
  }
  return bmp;
}

}  // namespace moviectl
