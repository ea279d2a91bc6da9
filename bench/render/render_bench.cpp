// Render benchmark: a 550x400 movie of 1,000 anti-aliased shapes (filled, stroked and both;
// straight and curved outlines; opaque and translucent; scaled and rotated instances) drawn
// again and again into one surface. Prints the median and minimum CPU time per frame and a
// checksum of the last frame's pixels, so a faster rasteriser can be checked for equal output.
//
//   render_bench [--frames N] [--shapes N] [--dump FILE.ppm]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "moviectl/player.h"
#include "moviectl/raster.h"
#include "swfgen.h"

namespace {

// Small deterministic generator so every run draws the same movie.
struct Lcg {
  uint32_t s = 12345;
  uint32_t next() {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  }
  double uniform(double lo, double hi) { return lo + (hi - lo) * (next() % 100000) / 100000.0; }
  int pick(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
};

std::string colour(Lcg& r, bool translucent) {
  char buf[16];
  if (translucent)
    std::snprintf(buf, sizeof buf, "#%06x%02x", r.next() & 0xFFFFFF, 0x60 + r.pick(0x80));
  else
    std::snprintf(buf, sizeof buf, "#%06x", r.next() & 0xFFFFFF);
  return buf;
}

std::string movieJson(int shapes) {
  Lcg r;
  const int symbols = 60;
  std::ostringstream j;
  j << "{\"version\": 8, \"width\": 550, \"height\": 400, \"fps\": 60, \"background\": \"#ffffff\", \"symbols\": [";
  for (int id = 1; id <= symbols; ++id) {
    double w = r.uniform(12, 60), h = r.uniform(12, 60);
    int kind = id % 4;
    int style = r.pick(3);  // 0 fill, 1 stroke, 2 both
    j << (id > 1 ? "," : "") << "{\"id\": " << id << ", \"type\": \"shape\", \"shapes\": [{";
    if (kind == 0) {
      j << "\"kind\": \"rect\", \"x\": " << -w / 2 << ", \"y\": " << -h / 2 << ", \"w\": " << w << ", \"h\": " << h;
    } else if (kind == 1) {
      j << "\"kind\": \"ellipse\", \"x\": " << -w / 2 << ", \"y\": " << -h / 2 << ", \"w\": " << w << ", \"h\": " << h;
    } else if (kind == 2) {
      // A star: sharp corners for the stroker and thin slivers for the coverage code.
      j << "\"kind\": \"polygon\", \"points\": [";
      for (int k = 0; k < 10; ++k) {
        double a = k * 3.14159265 / 5, rad = (k % 2 ? 0.45 : 1.0) * w / 2;
        j << (k ? "," : "") << "[" << rad * std::cos(a) << "," << rad * std::sin(a) << "]";
      }
      j << "]";
    } else {
      // A blob of quadratic curves.
      j << "\"kind\": \"path\", \"path\": \"M " << -w / 2 << " 0 Q " << -w / 2 << " " << -h / 2 << " 0 " << -h / 2
        << " Q " << w / 2 << " " << -h / 2 << " " << w / 2 << " 0 Q " << w / 2 << " " << h << " 0 " << h / 2
        << " Q " << -w << " " << h / 2 << " " << -w / 2 << " 0 Z\"";
    }
    if (style != 1) j << ", \"fill\": \"" << colour(r, r.pick(3) == 0) << "\"";
    if (style != 0) j << ", \"line\": \"" << colour(r, r.pick(4) == 0) << "\", \"lineWidth\": " << r.uniform(0.5, 4);
    j << "}]}";
  }
  j << "], \"frames\": [{\"place\": [";
  for (int i = 0; i < shapes; ++i) {
    j << (i ? "," : "") << "{\"id\": " << 1 + r.pick(symbols) << ", \"depth\": " << i + 1
      << ", \"x\": " << r.uniform(-10, 560) << ", \"y\": " << r.uniform(-10, 410)
      << ", \"scale\": " << r.uniform(0.5, 1.6) << ", \"rotation\": " << (r.pick(2) ? r.uniform(0, 360) : 0) << "}";
  }
  j << "]}]}";
  return j.str();
}

// CPU time of the process (not wall time), in milliseconds: steadier on a shared machine.
double cpuMs() { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
  int frames = 30, shapes = 1000;
  const char* dump = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) frames = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--shapes") && i + 1 < argc) shapes = std::clamp(std::atoi(argv[++i]), 1, 16000);
    else if (!std::strcmp(argv[i], "--dump") && i + 1 < argc) dump = argv[++i];
    else {
      std::fprintf(stderr, "usage: render_bench [--frames N] [--shapes N] [--dump FILE.ppm]\n");
      return 2;
    }
  }
  std::vector<uint8_t> swf;
  std::string error;
  if (!swfgen::generate(movieJson(shapes), swf, error)) {
    std::fprintf(stderr, "render_bench: cannot build the movie: %s\n", error.c_str());
    return 1;
  }
  moviectl::Player player;
  moviectl::LoadError err;
  if (!player.load(swf.data(), swf.size(), &err) || !player.movie()) {
    std::fprintf(stderr, "render_bench: the movie does not load\n");
    return 1;
  }
  moviectl::Surface surface(550, 400);
  moviectl::RenderOptions ro;
  ro.view = moviectl::stageTransform(player.movie()->header.frameSize, surface.width, surface.height,
                                     moviectl::ScaleMode::ShowAll);
  std::vector<double> times;
  for (int f = 0; f < frames; ++f) {
    double t0 = cpuMs();
    moviectl::renderPlayer(player, surface, ro);
    times.push_back(cpuMs() - t0);
  }
  uint64_t sum = 1469598103934665603ull;  // FNV-1a over the pixel words
  for (uint32_t px : surface.pixels) {
    sum ^= px;
    sum *= 1099511628211ull;
  }
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  std::printf("render %dx%d, %d shapes, %d frames: median %.2f ms, min %.2f ms per frame (CPU), checksum %016llx\n",
              surface.width, surface.height, shapes, frames, sorted[sorted.size() / 2], sorted.front(),
              static_cast<unsigned long long>(sum));
  if (dump) {
    FILE* f = std::fopen(dump, "wb");
    if (!f) {
      std::fprintf(stderr, "render_bench: cannot write %s\n", dump);
      return 1;
    }
    std::fprintf(f, "P6\n%d %d\n255\n", surface.width, surface.height);
    for (uint32_t px : surface.pixels) {
      unsigned char rgb[3] = {static_cast<unsigned char>(px >> 16), static_cast<unsigned char>(px >> 8),
                              static_cast<unsigned char>(px)};
      std::fwrite(rgb, 1, 3, f);
    }
    std::fclose(f);
  }
  return 0;
}
