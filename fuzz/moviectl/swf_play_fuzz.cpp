// Arbitrary bytes as a movie: load, play a few frames with mouse and key input, read
// variables through the host interface. Tight limits keep each run short.
#include <cstddef>
#include <cstdint>
#include <string>

#include "moviectl/player.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  moviectl::PlayerLimits limits;
  limits.maxActionsPerRun = 20000;
  limits.maxDisplayObjects = 2000;
  limits.maxObjects = 200000;
  limits.maxCallDepth = 64;
  moviectl::Player player(limits);
  player.onTrace = [](const std::string&) {};
  player.onFSCommand = [](const std::string&, const std::string&) {};
  if (!player.load(data, size)) return 0;
  for (int frame = 0; frame < 4; ++frame) {
    player.mouseMove(100.0 * frame, 80.0 * frame);
    if (frame == 1) player.mouseDown();
    if (frame == 2) player.mouseUp();
    if (frame == 3) player.keyDown(13, 13);
    player.advance();
  }
  std::string out;
  player.getVariable("/:x", out);
  player.setVariable("_root.y", "1");
  player.callLabel("/", "start");
  return 0;
}
