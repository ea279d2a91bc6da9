// Renders the first frame of a test movie at one pixel per twenty twips onto a 550x400 surface.
#pragma once

#include <gtest/gtest.h>

#include "moviectl/player.h"
#include "moviectl/raster.h"
#include "tests/moviectl/swf_builder.h"

namespace swftest {

inline moviectl::Surface renderMovie(const Tags& t) {
  moviectl::Player player;
  Bytes swf = movie(t);
  EXPECT_TRUE(player.load(swf.data(), swf.size()));
  moviectl::Surface s(550, 400);
  moviectl::RenderOptions ro;
  ro.view.a = ro.view.d = 1.0 / 20;
  moviectl::renderPlayer(player, s, ro);
  return s;
}

}  // namespace swftest
