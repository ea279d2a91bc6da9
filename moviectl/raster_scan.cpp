// Scan conversion: signed-area accumulation, curve flattening and stroke outlines.
#include "moviectl/raster_scan.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace moviectl {
namespace raster {

namespace {

constexpr double kTolerance = 0.1;  // largest distance in pixels between a curve and its lines

}  // namespace

void PathSink::clear() {
  lines_.clear();
  minX = minY = 1e300;
  maxX = maxY = -1e300;
}

void PathSink::line(double x0, double y0, double x1, double y1) {
  if (!(std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1))) return;
  if (y0 == y1) return;  // adds no area
  if (lines_.empty()) {
    minX = minY = 1e300;
    maxX = maxY = -1e300;
  }
  lines_.push_back({x0, y0, x1, y1});
  minX = std::min({minX, x0, x1});
  maxX = std::max({maxX, x0, x1});
  minY = std::min({minY, y0, y1});
  maxY = std::max({maxY, y0, y1});
}

void PathSink::polyline(const std::vector<Pt>& pts, bool reverse) {
  for (size_t i = 0; i + 1 < pts.size(); ++i) {
    const Pt& a = pts[i];
    const Pt& b = pts[i + 1];
    if (reverse)
      line(b.x, b.y, a.x, a.y);
    else
      line(a.x, a.y, b.x, b.y);
  }
}

bool Coverage::build(const PathSink& path, int width, int height) {
  if (path.empty() || width <= 0 || height <= 0) return false;
  if (!(path.maxX > 0 && path.minX < width && path.maxY > 0 && path.minY < height)) return false;
  // Bounds are clamped in floating point first: far-off outlines must not overflow an int.
  x0_ = static_cast<int>(std::floor(std::max(0.0, path.minX)));
  y0_ = static_cast<int>(std::floor(std::max(0.0, path.minY)));
  int x1 = static_cast<int>(std::ceil(std::min<double>(width, path.maxX)));
  int y1 = static_cast<int>(std::ceil(std::min<double>(height, path.maxY)));
  w_ = x1 - x0_;
  h_ = y1 - y0_;
  if (w_ <= 0 || h_ <= 0) return false;
  // Two spare cells per row take what edges on the right border spill past the last pixel.
  int stride = w_ + 2;
  size_t need = static_cast<size_t>(stride) * h_;
  if (dirty_) std::fill(acc_.begin(), acc_.end(), 0.f);  // the last build was never swept
  if (acc_.size() < need) acc_.resize(need, 0.f);
  stride_ = stride;
  rowLo_.assign(h_, stride);
  rowHi_.assign(h_, -1);
  dirty_ = true;
  for (const auto& l : path.lines()) addLine(l.x0 - x0_, l.y0 - y0_, l.x1 - x0_, l.y1 - y0_);
  return true;
}

// Clips a line to the columns 0..w: parts left of the buffer still cover every pixel to
// their right, so they become vertical lines on the left border; parts right of it cover
// nothing and are dropped.
void Coverage::addLine(double x0, double y0, double x1, double y1) {
  const double w = w_;
  if (x0 >= 0 && x1 >= 0 && x0 <= w && x1 <= w) {
    cellLine(x0, y0, x1, y1);
    return;
  }
  if (x0 <= 0 && x1 <= 0) {
    cellLine(0, y0, 0, y1);
    return;
  }
  if (x0 >= w && x1 >= w) return;
  double ts[4] = {0, 0, 0, 1};
  int n = 1;
  for (double edge : {0.0, w}) {
    double t = (edge - x0) / (x1 - x0);
    if (t > 0 && t < 1) ts[n++] = t;
  }
  ts[n++] = 1;
  if (n == 4 && ts[1] > ts[2]) std::swap(ts[1], ts[2]);
  for (int i = 0; i + 1 < n; ++i) {
    double ta = ts[i], tb = ts[i + 1];
    if (tb <= ta) continue;
    double xa = x0 + (x1 - x0) * ta, ya = y0 + (y1 - y0) * ta;
    double xb = x0 + (x1 - x0) * tb, yb = y0 + (y1 - y0) * tb;
    double mid = (xa + xb) / 2;
    if (mid < 0)
      cellLine(0, ya, 0, yb);
    else if (mid <= w)
      cellLine(std::clamp(xa, 0.0, w), ya, std::clamp(xb, 0.0, w), yb);
  }
}

// Adds the signed area between the line and the right edge of the buffer, row by row, as
// differences along the row (the sweep's running sum turns them back into area).
void Coverage::cellLine(double x0, double y0, double x1, double y1) {
  if (y0 == y1) return;
  double dir = 1;
  if (y0 > y1) {
    std::swap(x0, x1);
    std::swap(y0, y1);
    dir = -1;
  }
  if (y1 <= 0 || y0 >= h_) return;
  const double dxdy = (x1 - x0) / (y1 - y0);
  const double w = w_;
  double x = x0, ys = y0;
  if (ys < 0) {
    x -= ys * dxdy;
    ys = 0;
  }
  const double ye = std::min(y1, static_cast<double>(h_));
  for (int yi = static_cast<int>(ys); yi < ye; ++yi) {
    // Plain comparisons rather than the library's min, max and clamp: this loop is hot, and
    // these compile to single instructions.
    double top = yi > ys ? yi : ys, bottom = yi + 1.0 < ye ? yi + 1.0 : ye;
    double dy = bottom - top;
    double xn = x + dxdy * dy;
    double d = dy * dir;
    double xa = x < xn ? x : xn, xb = x < xn ? xn : x;
    xa = xa < 0 ? 0 : xa > w ? w : xa;
    xb = xb < 0 ? 0 : xb > w ? w : xb;
    float* row = acc_.data() + static_cast<size_t>(yi) * stride_;
    // Both ends are within 0..w here, so truncation is floor (and cheaper than the call).
    int ia = static_cast<int>(xa), ib = static_cast<int>(xb);
    if (ib < xb) ++ib;
    double xaf = ia, xbc = ib;
    int& lo = rowLo_[yi];
    int& hi = rowHi_[yi];
    if (ia < lo) lo = ia;
    if (ib + 1 > hi) hi = ib + 1;
    if (ib <= ia + 1) {
      double xm = 0.5 * (xa + xb) - xaf;  // where the line crosses this row, on average
      row[ia] += static_cast<float>(d * (1 - xm));
      row[ia + 1] += static_cast<float>(d * xm);
    } else {
      double s = 1 / (xb - xa);
      double fa = xa - xaf;
      double a0 = 0.5 * s * (1 - fa) * (1 - fa);
      double fb = xb - xbc + 1;
      double am = 0.5 * s * fb * fb;
      row[ia] += static_cast<float>(d * a0);
      if (ib == ia + 2) {
        row[ia + 1] += static_cast<float>(d * (1 - a0 - am));
      } else {
        double a1 = s * (1.5 - fa);
        row[ia + 1] += static_cast<float>(d * (a1 - a0));
        float step = static_cast<float>(d * s);
        for (int k = ia + 2; k < ib - 1; ++k) row[k] += step;
        double a2 = a1 + (ib - ia - 3) * s;
        row[ib - 1] += static_cast<float>(d * (1 - a2 - am));
      }
      row[ib] += static_cast<float>(d * am);
    }
    x = xn;
  }
}

void flattenQuad(Pt p0, Pt c, Pt p1, std::vector<Pt>& out) {
  double ddx = p0.x - 2 * c.x + p1.x, ddy = p0.y - 2 * c.y + p1.y;
  // Lines through n equal steps stray from the curve by |p0 - 2c + p1| / (4 n^2) at most.
  double dd = std::sqrt(ddx * ddx + ddy * ddy);
  double steps = std::ceil(std::sqrt(dd / (4 * kTolerance)));
  int n = std::isfinite(steps) ? static_cast<int>(std::clamp(steps, 1.0, 100.0)) : 1;
  for (int i = 1; i < n; ++i) {
    double t = static_cast<double>(i) / n, u = 1 - t;
    out.push_back({u * u * p0.x + 2 * u * t * c.x + t * t * p1.x, u * u * p0.y + 2 * u * t * c.y + t * t * p1.y});
  }
  out.push_back(p1);
}

namespace {

// Points of a circular arc around `c` starting at c + v and turning by `sweep` radians
// (the start point itself is not added).
void arc(Pt c, Pt v, double sweep, double radius, std::vector<Pt>& out) {
  double maxStep = radius > kTolerance ? 2 * std::acos(1 - kTolerance / radius) : M_PI / 2;
  int n = static_cast<int>(std::clamp(std::ceil(std::fabs(sweep) / maxStep), 1.0, 64.0));
  double step = sweep / n, cs = std::cos(step), sn = std::sin(step);
  double x = v.x, y = v.y;
  for (int i = 1; i <= n; ++i) {
    double nx = x * cs - y * sn, ny = x * sn + y * cs;
    x = nx;
    y = ny;
    out.push_back({c.x + x, c.y + y});
  }
}

// Round join on the outer side of a turn from offset `from` to offset `to` around `c`, the
// turn having the given sine (cross) and cosine (dot). Gentle turns, as along a flattened
// curve, need no points between the two offsets.
void join(Pt c, Pt from, Pt to, double cross, double dot, double radius, std::vector<Pt>& out) {
  double halfCos = std::sqrt(std::max(0.0, (1 + dot) / 2));  // cosine of half the turn
  if (radius * (1 - halfCos) <= kTolerance) {
    out.push_back({c.x + to.x, c.y + to.y});
    return;
  }
  arc(c, from, std::atan2(cross, dot), radius, out);
}

// On the inner side of a turn the two offset lines cross at a distance `half * tan(turn / 2)`
// back from the joint along each segment. When that is at most half of both segments, the
// outline can simply turn at the crossing; otherwise (sharp turns, short segments) it returns
// -1 and the outline passes through the joint instead. `sine` is positive here.
double innerTrim(double sine, double cosine, double half, double lenA, double lenB) {
  if (cosine <= -0.9) return -1;
  double d = half * sine / (1 + cosine);
  return d <= 0.5 * lenA && d <= 0.5 * lenB ? d : -1;
}

}  // namespace

void strokeOutline(const std::vector<Pt>& in, double half, PathSink& out) {
  if (in.empty() || !(half > 0)) return;
  // Working buffers kept from call to call.
  thread_local std::vector<Pt> p, dir, nrm, ring;
  thread_local std::vector<double> len;
  p.clear();
  ring.clear();
  // Consecutive duplicates carry no direction.
  for (const Pt& q : in)
    if (p.empty() || std::fabs(q.x - p.back().x) > 1e-9 || std::fabs(q.y - p.back().y) > 1e-9) p.push_back(q);
  if (p.size() == 1) {
    ring.push_back({p[0].x + half, p[0].y});
    arc(p[0], {half, 0}, 2 * M_PI, half, ring);
    ring.push_back(ring.front());
    out.polyline(ring);
    return;
  }
  size_t n = p.size() - 1;  // segments
  dir.resize(n);
  nrm.resize(n);
  len.resize(n);
  for (size_t i = 0; i < n; ++i) {
    double dx = p[i + 1].x - p[i].x, dy = p[i + 1].y - p[i].y;
    len[i] = std::sqrt(dx * dx + dy * dy);
    dir[i] = {dx / len[i], dy / len[i]};
    nrm[i] = {-dir[i].y * half, dir[i].x * half};
  }
  auto add = [](Pt a, Pt b) { return Pt{a.x + b.x, a.y + b.y}; };
  auto neg = [](Pt a) { return Pt{-a.x, -a.y}; };
  // One side forward, round cap, the other side backward, round cap. At a joint the outer
  // side gets an arc; the inner side turns where its two offset lines cross, or, where that
  // is not on both segments, passes through the joint itself, which keeps every part of the
  // stroke wound the same way even when segments are shorter than the width.
  ring.push_back(add(p[0], nrm[0]));
  for (size_t i = 0; i < n; ++i) {
    ring.push_back(add(p[i + 1], nrm[i]));
    if (i + 1 == n) break;
    double cross = dir[i].x * dir[i + 1].y - dir[i].y * dir[i + 1].x;
    double dot = dir[i].x * dir[i + 1].x + dir[i].y * dir[i + 1].y;
    if (cross <= 0) {
      join(p[i + 1], nrm[i], nrm[i + 1], cross, dot, half, ring);
    } else if (double d = innerTrim(cross, dot, half, len[i], len[i + 1]); d >= 0) {
      ring.back() = {ring.back().x - dir[i].x * d, ring.back().y - dir[i].y * d};
    } else {
      ring.push_back(p[i + 1]);
      ring.push_back(add(p[i + 1], nrm[i + 1]));
    }
  }
  arc(p[n], nrm[n - 1], -M_PI, half, ring);
  for (size_t i = n; i-- > 0;) {
    ring.push_back(add(p[i], neg(nrm[i])));
    if (i == 0) break;
    double cross = dir[i - 1].x * dir[i].y - dir[i - 1].y * dir[i].x;
    double dot = dir[i - 1].x * dir[i].x + dir[i - 1].y * dir[i].y;
    if (cross > 0) {
      join(p[i], neg(nrm[i]), neg(nrm[i - 1]), -cross, dot, half, ring);
    } else if (double d = innerTrim(-cross, dot, half, len[i], len[i - 1]); d >= 0) {
      ring.back() = {ring.back().x + dir[i].x * d, ring.back().y + dir[i].y * d};
    } else {
      ring.push_back(p[i]);
      ring.push_back(add(p[i], neg(nrm[i - 1])));
    }
  }
  arc(p[0], neg(nrm[0]), -M_PI, half, ring);
  ring.push_back(ring.front());
  out.polyline(ring);
}

}  // namespace raster
}  // namespace moviectl
