// Scan conversion for the rasteriser: outlines in device pixels become per-pixel coverage.
//
// Every line of an outline adds the signed area it sweeps to a small accumulation buffer that
// spans the outline's bounds (clipped to the surface); a running sum along each row then gives
// the winding number averaged over each pixel, which the fill rule turns into coverage. This
// is exact for edges that do not share a pixel with another edge, costs one pass over the
// cells an edge crosses, and allocates nothing once the buffers have grown.
#pragma once

#include <cstdint>
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

// A run of pixels in one row that share a coverage (1..256, 256 = fully covered).
struct Span {
  int x, len;
  unsigned cover;
};

// Coverage of one fill, handed out row by row as runs of equal coverage.
class Coverage {
 public:
  // Accumulates `path` clipped to a width x height surface. False when nothing can show;
  // otherwise sweep() must follow before the next build().
  bool build(const PathSink& path, int width, int height);

  // Calls fn(y, spans, count) for each row that has coverage, spans in increasing x.
  template <class Fn>
  void sweep(bool nonZero, Fn&& fn) {
    for (int r = 0; r < h_; ++r)
      if (resolveRow(r, nonZero)) fn(y0_ + r, spans_.data(), spans_.size());
    dirty_ = false;
  }

 private:
  void cellLine(double x0, double y0, double x1, double y1);
  void addLine(double x0, double y0, double x1, double y1);
  bool resolveRow(int r, bool nonZero);

  int x0_ = 0, y0_ = 0, w_ = 0, h_ = 0, stride_ = 0;
  bool dirty_ = false;          // cells of the last build may still hold values
  std::vector<float> acc_;      // area differences, stride_ cells per row, zero between uses
  std::vector<int> rowLo_, rowHi_;  // cells touched in each row
  std::vector<Span> spans_;
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
