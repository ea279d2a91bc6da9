// Scan conversion for the rasteriser: outlines in device pixels become per-pixel coverage.
//
// Every line of an outline adds the signed area it sweeps to a small accumulation buffer that
// spans the outline's bounds (clipped to the surface); a running sum along each row then gives
// the winding number averaged over each pixel, which the fill rule turns into coverage. This
// is exact for edges that do not share a pixel with another edge, costs one pass over the
// cells an edge crosses, and allocates nothing once the buffers have grown.
#pragma once

#include <cstdint>
#include <cstring>
#include <cmath>
#include <vector>

namespace moviectl {
namespace raster {

struct Pt {
  double x, y;
};

// The lines of one fill in device pixels, with their bounds.
class PathSink {
 public:
  struct Line {
    double x0, y0, x1, y1;
  };
  void clear();
  void line(double x0, double y0, double x1, double y1);  // horizontal and non-finite lines dropped
  void polyline(const std::vector<Pt>& pts, bool reverse = false);
  bool empty() const { return lines_.empty(); }
  const std::vector<Line>& lines() const { return lines_; }
  double minX = 0, minY = 0, maxX = 0, maxY = 0;

 private:
  std::vector<Line> lines_;
};

// Coverage of one fill, handed out as runs of pixels with equal coverage.
class Coverage {
 public:
  // Accumulates `path` clipped to a width x height surface. False when nothing can show;
  // otherwise sweep() must follow before the next build().
  bool build(const PathSink& path, int width, int height);

  // Calls run(y, x, len, cover) for each run of pixels with equal coverage (1..256, where
  // 256 is full), row by row and left to right.
  template <class Run>
  void sweep(bool nonZero, Run&& run) {
    for (int r = 0; r < h_; ++r) {
      int lo = rowLo_[r], hi = rowHi_[r];
      if (lo > hi) continue;
      // The running sum of a row's area differences is its coverage; cells are cleared on the
      // way. Past the last touched cell the coverage no longer changes.
      float* row = acc_.data() + static_cast<size_t>(r) * stride_;
      const int end = hi < w_ - 1 ? hi : w_ - 1, y = y0_ + r;
      float sum = 0;
      unsigned cur = 0;
      int start = lo;
      for (int x = lo; x <= end; ++x) {
        x = skipEmpty(row, x, end);
        if (row[x] == 0) continue;
        sum += row[x];
        row[x] = 0;
        unsigned c = coverOf(sum, nonZero);
        if (c != cur) {
          if (cur) run(y, x0_ + start, x - start, cur);
          cur = c;
          start = x;
        }
      }
      for (int x = end + 1; x <= hi; ++x) row[x] = 0;
      if (cur) run(y, x0_ + start, w_ - start, cur);
    }
    dirty_ = false;
  }

 private:
  void cellLine(double x0, double y0, double x1, double y1);
  void addLine(double x0, double y0, double x1, double y1);

  // Most cells inside a shape hold nothing (the coverage stays as on the left): skips them
  // four at a time, stopping at a cell that may hold something.
  static int skipEmpty(const float* row, int x, int end) {
    while (x + 3 <= end) {
      uint64_t a, b;
      std::memcpy(&a, row + x, 8);
      std::memcpy(&b, row + x + 2, 8);
      if (a | b) break;
      x += 4;
    }
    return x;
  }

  // The fill rule applied to a winding number averaged over a pixel, as 0..256.
  static unsigned coverOf(float sum, bool nonZero) {
    float a = std::fabs(sum);
    if (!nonZero && a > 1) {
      a = std::fmod(a, 2.f);
      if (a > 1) a = 2 - a;
    }
    return a >= 1 ? 256u : static_cast<unsigned>(a * 256 + 0.5f);
  }

  int x0_ = 0, y0_ = 0, w_ = 0, h_ = 0, stride_ = 0;
  bool dirty_ = false;              // cells of the last build may still hold values
  std::vector<float> acc_;          // area differences, stride_ cells per row, zero between uses
  std::vector<int> rowLo_, rowHi_;  // cells touched in each row
};

// Quadratic curve p0-c-p1 as lines close to it (within about a tenth of a pixel); the points
// after p0 are appended to `out`.
void flattenQuad(Pt p0, Pt c, Pt p1, std::vector<Pt>& out);

// The outline of a stroke along `pts` with round joins and caps, `half` pixels each side, as
// closed contours to fill with the non-zero rule. A polyline whose points all coincide gives
// a round dot.
void strokeOutline(const std::vector<Pt>& pts, double half, PathSink& out);

}  // namespace raster
}  // namespace moviectl
