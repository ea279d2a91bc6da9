// Plays the cases of the shared SWF corpus headless and compares them with their expected
// output. The list of cases that pass is kept in the repository: the run fails when a listed
// case stops passing, and `--update` rewrites the list from the current results.
//
//   corpus_runner CORPUS_DIR BASELINE_FILE [--update] [--every N] [--verbose] [--only CASE]
//                 [--dump DIR]   (rendered image cases as PPM files, trace output as text)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "moviectl/player.h"
#include "moviectl/raster.h"

namespace {

using namespace moviectl;

std::string dumpDir;

std::string readFile(const std::string& path, bool& ok) {
  std::ifstream f(path, std::ios::binary);
  ok = static_cast<bool>(f);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::map<std::string, std::string> readMeta(const std::string& path) {
  bool ok;
  std::string text = readFile(path, ok);
  std::map<std::string, std::string> m;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}

struct Outcome {
  bool ran = false;  // false: the comparison kind is not supported yet
  bool pass = false;
  std::string detail;
};

Outcome checkHeader(const std::string& swf, std::map<std::string, std::string>& meta) {
  Outcome o;
  o.ran = true;
  SwfHeader h;
  LoadError err;
  bool ok = readSwfHeader(reinterpret_cast<const uint8_t*>(swf.data()), swf.size(), h, &err);
  if (meta["hdr_signature"] == "ZWS") {
    o.pass = !ok && err == LoadError::Lzma;
    if (!o.pass) o.detail = "LZMA movie not refused";
    return o;
  }
  std::ostringstream got;
  got << h.signature << " " << int(h.version) << " " << h.fileLength << " " << h.frameSize.xmin << " "
      << h.frameSize.xmax << " " << h.frameSize.ymin << " " << h.frameSize.ymax << " " << h.frameRateRaw << " "
      << h.frameCount;
  std::string want = meta["hdr_signature"] + " " + meta["hdr_version"] + " " + meta["hdr_file_length"] + " " +
                     meta["hdr_xmin_twips"] + " " + meta["hdr_xmax_twips"] + " " + meta["hdr_ymin_twips"] + " " +
                     meta["hdr_ymax_twips"] + " " + meta["hdr_frame_rate_raw"] + " " + meta["hdr_frame_count"];
  o.pass = ok && got.str() == want;
  if (!o.pass) o.detail = "header " + got.str() + " want " + want;
  return o;
}

Outcome runCase(const std::string& dir, std::map<std::string, std::string>& meta) {
  Outcome o;
  bool ok;
  std::string swf = readFile(dir + "/test.swf", ok);
  if (!ok) {
    o.ran = true;
    o.detail = "cannot read test.swf";
    return o;
  }
  const std::string& compare = meta["compare"];
  if (compare == "header") return checkHeader(swf, meta);
  bool wantTrace = compare == "trace" || compare == "image+trace";
  bool wantImage = compare == "image" || compare == "image+trace";
  bool headerRun = compare == "header+run";

  int frames = std::atoi(meta["frames"].c_str());
  if (frames < 1) frames = 1;
  Player player;
  player.setRandomSeed(1);
  std::string trace;
  bool quit = false;
  // After a quit command the frame in progress finishes (handlers it queued, such as unload
  // handlers of clips removed by the quitting script, still trace); no further frame runs.
  player.onTrace = [&](const std::string& t) {
    trace += t;
    trace += '\n';
  };
  player.onFSCommand = [&](const std::string& cmd, const std::string&) {
    if (namesEqual(cmd, "quit", false)) quit = true;
  };
  LoadError err;
  player.load(reinterpret_cast<const uint8_t*>(swf.data()), swf.size(), &err);
  for (int f = 1; f < frames && !quit && player.loaded(); ++f) player.advance();
  o.ran = true;
  if (headerRun) {
    Outcome h = checkHeader(swf, meta);
    o.pass = h.pass;
    o.detail = h.detail;
    return o;
  }
  std::string imageDetail;
  if (wantImage) {
    std::string png = readFile(dir + "/expected.png", ok);
    int w = 0, h = 0;
    std::vector<uint32_t> want;
    if (!ok || !decodePng(reinterpret_cast<const uint8_t*>(png.data()), png.size(), w, h, want)) {
      o.detail = "cannot read expected.png";
      return o;
    }
    Surface surface(w, h);
    RenderOptions ro;
    if (auto m = player.movie()) {
      const Rect& fr = m->header.frameSize;
      ro.view.a = ro.view.d = 1.0 / 20;
      ro.view.tx = -fr.xmin / 20.0;
      ro.view.ty = -fr.ymin / 20.0;
    }
    renderPlayer(player, surface, ro);
    if (!dumpDir.empty()) {
      // Rendered frame as a binary PPM, for looking at differences by eye.
      std::string name = meta["set"] + "-" + meta["case"] + ".ppm";
      std::ofstream f(dumpDir + "/" + name, std::ios::binary);
      f << "P6\n" << w << " " << h << "\n255\n";
      for (uint32_t px : surface.pixels) {
        char rgb[3] = {static_cast<char>(px >> 16), static_cast<char>(px >> 8), static_cast<char>(px)};
        f.write(rgb, 3);
      }
    }
    int tolerance = std::atoi(meta["image_tolerance"].c_str());
    long allowed = std::atol(meta["image_max_outliers"].c_str());
    long outliers = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      uint32_t g = surface.pixels[i], e = want[i];
      unsigned ga = g >> 24;
      for (int sh = 0; sh < 32; sh += 8) {
        int gv = (g >> sh) & 0xFF;
        if (sh < 24 && ga > 0 && ga < 255) gv = std::min(255, gv * 255 / static_cast<int>(ga));
        int ev = (e >> sh) & 0xFF;
        if (std::abs(gv - ev) > tolerance) ++outliers;
      }
    }
    if (outliers > allowed) imageDetail = "image: " + std::to_string(outliers) + " channel values off";
    if (!wantTrace) {
      o.pass = imageDetail.empty();
      o.detail = imageDetail;
      return o;
    }
  }
  std::string expected = readFile(dir + "/expected.txt", ok);
  std::string want;
  for (size_t i = 0; i < expected.size(); ++i)
    if (!(expected[i] == '\r' && i + 1 < expected.size() && expected[i + 1] == '\n')) want += expected[i];
  std::string got;
  for (char c : trace)
    if (c != 0) got += c;
  if (!dumpDir.empty()) {
    std::ofstream f(dumpDir + "/" + meta["set"] + "-" + meta["case"] + ".txt", std::ios::binary);
    f << got;
  }
  o.pass = got == want && imageDetail.empty();
  if (!imageDetail.empty()) o.detail = imageDetail;
  if (got != want) {
    // First differing line, for the verbose listing.
    std::istringstream a(got), b(want);
    std::string la, lb;
    int line = 1;
    while (true) {
      bool ea = !std::getline(a, la), eb = !std::getline(b, lb);
      if (ea && eb) break;
      if (ea) la = "<end>";
      if (eb) lb = "<end>";
      if (la != lb) {
        o.detail = "line " + std::to_string(line) + ": got [" + la + "] want [" + lb + "]";
        break;
      }
      ++line;
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: corpus_runner CORPUS_DIR BASELINE_FILE [--update] [--every N] [--verbose] [--only CASE]\n");
    return 2;
  }
  std::string corpus = argv[1], baselinePath = argv[2];
  bool update = false, verbose = false;
  int every = 1;
  std::string only;
  for (int i = 3; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--update")) update = true;
    else if (!std::strcmp(argv[i], "--verbose")) verbose = true;
    else if (!std::strcmp(argv[i], "--every") && i + 1 < argc) every = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
    else if (!std::strcmp(argv[i], "--dump") && i + 1 < argc) dumpDir = argv[++i];
  }
  bool ok;
  std::string manifest = readFile(corpus + "/manifest.tsv", ok);
  if (!ok) {
    std::fprintf(stderr, "cannot read %s/manifest.tsv\n", corpus.c_str());
    return 2;
  }
  std::set<std::string> baseline;
  {
    std::string b = readFile(baselinePath, ok);
    std::istringstream in(b);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line[0] != '#') baseline.insert(line);
    }
  }
  std::istringstream in(manifest);
  std::string line;
  std::getline(in, line);  // column names
  struct Count {
    int pass = 0, ran = 0, total = 0;
  };
  std::map<std::string, Count> perSet;
  std::set<std::string> passing;
  std::vector<std::string> regressions;
  int index = 0;
  auto start = std::chrono::steady_clock::now();
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::string set = line.substr(0, line.find('\t'));
    std::string rest = line.substr(set.size() + 1);
    std::string name = rest.substr(0, rest.find('\t'));
    std::string id = set + "/" + name;
    if (!only.empty() && id != only && name != only) continue;
    if (index++ % every != 0) continue;
    auto meta = readMeta(corpus + "/" + id + "/meta.txt");
    Outcome o = runCase(corpus + "/" + id, meta);
    Count& c = perSet[set];
    ++c.total;
    if (o.ran) ++c.ran;
    if (o.pass) {
      ++c.pass;
      passing.insert(id);
    } else if (baseline.count(id)) {
      regressions.push_back(id + "  " + o.detail);
    }
    if (verbose && o.ran) std::printf("%s %s  %s\n", o.pass ? "PASS" : "FAIL", id.c_str(), o.detail.c_str());
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int tp = 0, tr = 0, tt = 0;
  for (auto& kv : perSet) {
    std::printf("%-20s %4d passed of %4d run (%d cases)\n", kv.first.c_str(), kv.second.pass, kv.second.ran, kv.second.total);
    tp += kv.second.pass;
    tr += kv.second.ran;
    tt += kv.second.total;
  }
  std::printf("%-20s %4d passed of %4d run (%d cases) in %.1f s\n", "total", tp, tr, tt, secs);
  if (update) {
    // Keep listed cases that were not run this time (subset runs) and add the new passes.
    std::set<std::string> out = passing;
    if (every > 1 || !only.empty())
      for (auto& b : baseline)
        if (!regressions.empty() || true) out.insert(b);
    for (auto& r : regressions) out.erase(r.substr(0, r.find(' ')));
    std::ofstream f(baselinePath, std::ios::binary);
    f << "# Corpus cases that pass; the corpus test fails when one of them stops passing.\n";
    f << "# Regenerate with: corpus_runner CORPUS_DIR THIS_FILE --update\n";
    for (auto& p : out) f << p << "\n";
    std::printf("baseline updated: %zu cases\n", out.size());
    return 0;
  }
  for (auto& r : regressions) std::printf("REGRESSION %s\n", r.c_str());
  return regressions.empty() ? 0 : 1;
}
