// Movie control core: reader, interpreter, timeline and the host operations, with movies
// assembled by hand so each test shows the behaviour it pins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "moviectl/player.h"
#include "moviectl/raster.h"
#include "swf_builder.h"

using namespace moviectl;
using namespace swftest;

namespace {

struct MovieRun {
  Player player;
  std::vector<std::string> trace;
  std::vector<std::pair<std::string, std::string>> commands;
  explicit MovieRun(const Bytes& swf, PlayerLimits limits = {}) : player(limits) {
    player.onTrace = [this](const std::string& t) { trace.push_back(t); };
    player.onFSCommand = [this](const std::string& c, const std::string& a) { commands.emplace_back(c, a); };
    LoadError err;
    loaded = player.load(swf.data(), swf.size(), &err);
  }
  bool loaded = false;
};

Asm traceVar(const std::string& name) { return Asm().push(name).getVar().trace(); }

}  // namespace

// --- reader ------------------------------------------------------------------------------

TEST(SwfReader, PlainAndCompressedHeadersAgree) {
  Tags t;
  t.showFrame().showFrame().showFrame();
  for (bool compress : {false, true}) {
    Bytes swf = movie(t, 6, 3, compress);
    SwfHeader h;
    ASSERT_TRUE(readSwfHeader(swf.data(), swf.size(), h));
    EXPECT_EQ(h.version, 6);
    EXPECT_EQ(h.frameCount, 3);
    EXPECT_EQ(h.frameSize.xmax, 11000);
    EXPECT_EQ(h.frameSize.ymax, 8000);
    EXPECT_EQ(h.frameRateRaw, 12 << 8);
    LoadError err;
    auto m = loadSwf(swf.data(), swf.size(), err);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->root.frameCount, 3);
  }
}

TEST(SwfReader, RefusesWhatItCannotPlay) {
  struct Case {
    Bytes bytes;
    LoadError want;
  } cases[] = {
      {{'F', 'W', 'S'}, LoadError::TooShort},
      {{'G', 'I', 'F', '8', '9', 'a', 0, 0}, LoadError::BadSignature},
      {{'Z', 'W', 'S', 13, 40, 0, 0, 0, 1, 2, 3, 4}, LoadError::Lzma},
      {{'F', 'W', 'S', 0, 20, 0, 0, 0, 0, 0, 0, 0}, LoadError::BadVersion},
      {{'C', 'W', 'S', 7, 100, 0, 0, 0, 0xde, 0xad, 0xbe, 0xef}, LoadError::BadCompression},
  };
  for (auto& c : cases) {
    LoadError err = LoadError::None;
    EXPECT_FALSE(loadSwf(c.bytes.data(), c.bytes.size(), err));
    EXPECT_EQ(err, c.want);
  }
}

TEST(SwfReader, TruncatedAndOversizedTagsAreSafe) {
  Tags t;
  t.doAction(traceVar("x")).showFrame();
  Bytes swf = movie(t);
  // Every prefix of the file either fails cleanly or loads and plays.
  for (size_t n = 0; n <= swf.size(); ++n) {
    MovieRun r(Bytes(swf.begin(), swf.begin() + static_cast<long>(n)));
    if (r.loaded) r.player.advance();
  }
  // A tag that claims more bytes than the file holds.
  Bytes bad = swf;
  bad.push_back(0x7F);
  bad.push_back(0x03);  // code 13, long length follows
  bad.insert(bad.end(), {0xFF, 0xFF, 0xFF, 0x7F});
  MovieRun r(bad);
  EXPECT_TRUE(r.loaded);
}

TEST(SwfReader, UnknownTagsAreSkippedByLength) {
  Tags t;
  t.tag(200, Bytes(70, 0xAB)).doAction(Asm().push("after").trace()).showFrame();
  MovieRun r(movie(t));
  ASSERT_TRUE(r.loaded);
  EXPECT_EQ(r.trace, std::vector<std::string>{"after"});
}

// --- interpreter -------------------------------------------------------------------------

TEST(Avm1, ArithmeticStringsAndConversionsFollowTheVersion) {
  struct Case {
    int version;
    Asm code;
    std::string want;
  } cases[] = {
      {7, Asm().push(1.5).push(2.0).op(0x47).trace(), "3.5"},
      {7, Asm().push("a").push(2.0).op(0x47).trace(), "a2"},
      {6, Asm().push("undefinedVar").getVar().trace(), "undefined"},
      {6, Asm().push("x").push("undefinedVar").getVar().op(0x21).trace(), "x"},
      {7, Asm().push("x").push("undefinedVar").getVar().op(0x21).trace(), "xundefined"},
      {7, Asm().push(1.0).push(3.0).op(0x0D).trace(), "0.333333333333333"},
      {4, Asm().push(1.0).push(0.0).op(0x0D).trace(), "#ERROR#"},
      {7, Asm().push(1e21).trace(), "1e+21"},
      {7, Asm().push(0.000001).trace(), "1e-6"},
      {6, Asm().push("0x10").op(0x4A).trace(), "16"},
      {5, Asm().push("0x10").op(0x4A).trace(), "NaN"},
      {4, Asm().push(1.0).push(1.0).op(0x0E).trace(), "1"},
      {7, Asm().push("abcdef").push(2.0).push(3.0).op(0x15).trace(), "bcd"},
  };
  for (auto& c : cases) {
    Tags t;
    t.doAction(c.code).showFrame();
    MovieRun r(movie(t, c.version));
    ASSERT_EQ(r.trace.size(), 1u) << c.want;
    EXPECT_EQ(r.trace[0], c.want) << "version " << c.version;
  }
}

TEST(Avm1, VariablesByPath) {
  Tags sprite;
  sprite.showFrame();
  Tags t;
  t.sprite(1, 1, sprite).place(1, 1, "clip");
  Asm a;
  a.push("/clip:v").push("slash").setVar();
  a.push("_root.clip.w").push("dotted").setVar();
  a.push("_level0.top").push("level").setVar();
  a.push("clip.v").getVar().trace();
  a.push("/clip:w").getVar().trace();
  a.push("top").getVar().trace();
  a.push("_root.clip").getVar().trace();
  a.push("nowhere.v").push("lost").setVar();
  a.push("nowhere.v").getVar().trace();
  t.doAction(a).showFrame();
  MovieRun r(movie(t, 7));
  EXPECT_EQ(r.trace, (std::vector<std::string>{"slash", "dotted", "level", "_level0.clip", "undefined"}));
}

TEST(Avm1, FsCommandReachesTheHostWithBothStrings) {
  Tags t;
  Asm a;
  a.fscommand("Nerva_Run", "OPEN_WORD");
  // GetURL2 form built from stack values.
  a.push("FSCommand:quit").push("now").rec(0x9A, {0});
  t.doAction(a).showFrame();
  MovieRun r(movie(t));
  ASSERT_EQ(r.commands.size(), 2u);
  EXPECT_EQ(r.commands[0], std::make_pair(std::string("Nerva_Run"), std::string("OPEN_WORD")));
  EXPECT_EQ(r.commands[1], std::make_pair(std::string("quit"), std::string("now")));
  EXPECT_TRUE(r.player.quitRequested());
}

TEST(Avm1, EndlessLoopStopsTheScriptNotTheMovie) {
  Tags t;
  // frame 1: trace, then loop forever; frame 2: trace again.
  Asm loop;
  loop.push("one").trace().jump(-5);
  t.doAction(loop).showFrame();
  t.doAction(Asm().push("two").trace().stop()).showFrame();
  PlayerLimits lim;
  lim.maxActionsPerRun = 10000;
  MovieRun r(movie(t, 7, 2), lim);
  r.player.advance();
  EXPECT_TRUE(r.player.limitHit());
  ASSERT_FALSE(r.trace.empty());
  EXPECT_EQ(r.trace.back(), "two");
}

TEST(Avm1, RunawayRecursionIsCut) {
  // function f() { f(); } f(); trace("after");
  Asm body;
  body.push(0.0).push("f").op(0x3D).op(0x17);
  Bytes def;
  str(def, "f");
  u16(def, 0);
  Bytes code = body.b;
  u16(def, static_cast<unsigned>(code.size()));
  Asm a;
  a.rec(0x9B, def);
  a.b.insert(a.b.end(), code.begin(), code.end());
  a.push(0.0).push("f").op(0x3D).op(0x17);
  Tags t;
  t.doAction(a).showFrame();
  t.doAction(Asm().push("next frame").trace()).showFrame();
  MovieRun r(movie(t, 7, 2));
  r.player.advance();
  EXPECT_TRUE(r.player.limitHit());
  EXPECT_EQ(r.trace, std::vector<std::string>{"next frame"});
}

// --- timeline and host operations ------------------------------------------------------------

TEST(Timeline, HostOperationsUseZeroBasedFrames) {
  Tags t;
  t.doAction(Asm().stop()).showFrame();
  t.label("second").doAction(Asm().push("at two").trace()).showFrame();
  t.label("third").doAction(Asm().push("at three").trace()).showFrame();
  MovieRun r(movie(t, 7, 3));
  EXPECT_EQ(r.player.totalFrames(), 3);
  EXPECT_EQ(r.player.currentFrame("/"), 0);
  EXPECT_TRUE(r.player.gotoFrame("/", 2, false));
  EXPECT_EQ(r.player.currentFrame("_level0"), 2);
  EXPECT_EQ(r.player.currentLabel("/"), "third");
  // Calling a label runs its actions without moving the playhead.
  EXPECT_TRUE(r.player.callLabel("/", "second"));
  EXPECT_EQ(r.player.currentFrame("/"), 2);
  EXPECT_EQ(r.trace, (std::vector<std::string>{"at three", "at two"}));
  EXPECT_FALSE(r.player.callLabel("/", "missing"));
  EXPECT_FALSE(r.player.gotoFrame("/nosuchclip", 0, false));
}

TEST(Timeline, GetVariableFailsForUndefinedAndSetVariableRoundTrips) {
  Tags sprite;
  sprite.showFrame();
  Tags t;
  t.sprite(1, 1, sprite).place(1, 1, "box");
  t.doAction(Asm().push("n").push(5.0).setVar()).showFrame();
  MovieRun r(movie(t));
  std::string out;
  EXPECT_TRUE(r.player.getVariable("n", out));
  EXPECT_EQ(out, "5");
  EXPECT_FALSE(r.player.getVariable("never", out));
  EXPECT_FALSE(r.player.getVariable("/nobox:x", out));
  EXPECT_TRUE(r.player.setVariable("/box:label", "hello"));
  EXPECT_TRUE(r.player.getVariable("box.label", out));
  EXPECT_EQ(out, "hello");
  EXPECT_TRUE(r.player.setVariable("_root.box.other", "x"));
  EXPECT_TRUE(r.player.getVariable("/box:other", out));
  EXPECT_EQ(out, "x");
  EXPECT_TRUE(r.player.getVariable("_root.box._name", out));
  EXPECT_EQ(out, "box");
  EXPECT_TRUE(r.player.setProperty("/box", 0, "12.5"));
  EXPECT_TRUE(r.player.getProperty("/box", 0, out));
  EXPECT_EQ(out, "12.5");
}

TEST(Timeline, GotoBackwardsRebuildsTheDisplayList) {
  Tags sprite;
  sprite.showFrame();
  Tags t;
  t.sprite(1, 1, sprite);
  t.place(1, 1, "a").doAction(Asm().stop()).showFrame();
  t.remove(1).place(1, 2, "b").showFrame();
  MovieRun r(movie(t, 7, 2));
  std::string out;
  r.player.gotoFrame("/", 1, false);
  EXPECT_FALSE(r.player.getVariable("a._name", out));
  EXPECT_TRUE(r.player.getVariable("b._name", out));
  r.player.gotoFrame("/", 0, false);
  EXPECT_TRUE(r.player.getVariable("a._name", out));
  EXPECT_FALSE(r.player.getVariable("b._name", out));
}

TEST(Timeline, SpritesPlayTheirOwnTimelines) {
  Tags sprite;
  sprite.doAction(Asm().push("s1").trace()).showFrame();
  sprite.doAction(Asm().push("s2").trace()).showFrame();
  Tags t;
  t.sprite(1, 2, sprite).place(1, 1, "kid").doAction(Asm().push("root").trace().stop()).showFrame();
  MovieRun r(movie(t, 7, 1));
  r.player.advance();
  r.player.advance();
  EXPECT_EQ(r.trace, (std::vector<std::string>{"root", "s1", "s2", "s1"}));
}

TEST(Timeline, SelfNestingSpriteIsBounded) {
  Tags sprite;
  sprite.place(1, 1, "again").showFrame();
  Tags t;
  t.sprite(1, 1, sprite).place(1, 1, "top").showFrame();
  MovieRun r(movie(t));
  EXPECT_TRUE(r.loaded);
  EXPECT_TRUE(r.player.limitHit());
  EXPECT_LT(r.player.displayObjectCount(), 200u);
}

// --- rasteriser ------------------------------------------------------------------------------

namespace {

uint32_t pixelAfterLoad(const Tags& t, int x, int y, int w = 550, int h = 400) {
  Player player;
  Bytes swf = movie(t);
  EXPECT_TRUE(player.load(swf.data(), swf.size()));
  Surface s(w, h);
  RenderOptions ro;
  ro.view = stageTransform(Rect{0, 11000, 0, 8000}, w, h, ScaleMode::ShowAll);
  renderPlayer(player, s, ro);
  return s.at(x, y);
}

}  // namespace

TEST(Raster, SolidShapeCoversItsAreaWithSoftEdges) {
  Tags t;
  t.tag(9, {0, 0, 255});  // blue background
  t.rectShape(1, 2000, 1000, 255, 0, 0);  // 100 x 50 pixels of red
  // place at (10.5, 20) pixels: the left edge falls in the middle of a pixel
  Bytes p;
  u8(p, 0x06);
  u16(p, 1);
  u16(p, 1);
  BitWriter bw{p};
  bw.bits(0, 1);
  bw.bits(0, 1);
  bw.bits(12, 5);
  bw.bits(210, 12);
  bw.bits(400, 12);
  bw.flush();
  t.tag(26, p).showFrame();
  EXPECT_EQ(pixelAfterLoad(t, 50, 40), 0xFFFF0000u);   // inside
  EXPECT_EQ(pixelAfterLoad(t, 5, 40), 0xFF0000FFu);    // left of it
  EXPECT_EQ(pixelAfterLoad(t, 50, 75), 0xFF0000FFu);   // below it
  uint32_t edge = pixelAfterLoad(t, 10, 40);            // half covered
  int red = (edge >> 16) & 0xFF, blue = edge & 0xFF;
  EXPECT_NEAR(red, 128, 20);
  EXPECT_NEAR(blue, 127, 20);
}

TEST(Raster, ScaleModesAndAlignment) {
  Rect movieFrame{0, 2000, 0, 1000};  // 100 x 50 pixels
  struct Case {
    ScaleMode mode;
    unsigned align;
    double a, d, tx, ty;
  } cases[] = {
      {ScaleMode::ShowAll, 0, 0.1, 0.1, 0, 50},         // 200x200 view: scale 2, centred vertically
      {ScaleMode::NoBorder, 0, 0.2, 0.2, -100, 0},       // scale 4, centred horizontally
      {ScaleMode::ExactFit, 0, 0.1, 0.2, 0, 0},
      {ScaleMode::NoScale, AlignLeft | AlignTop, 0.05, 0.05, 0, 0},
      {ScaleMode::NoScale, AlignRight | AlignBottom, 0.05, 0.05, 100, 150},
  };
  for (auto& c : cases) {
    Matrix m = stageTransform(movieFrame, 200, 200, c.mode, c.align);
    EXPECT_DOUBLE_EQ(m.a, c.a);
    EXPECT_DOUBLE_EQ(m.d, c.d);
    EXPECT_DOUBLE_EQ(m.tx, c.tx);
    EXPECT_DOUBLE_EQ(m.ty, c.ty);
  }
}

TEST(Raster, PngReaderRejectsDamage) {
  std::vector<uint32_t> px;
  int w, h;
  Bytes junk = {137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  EXPECT_FALSE(decodePng(junk.data(), junk.size(), w, h, px));
  Bytes notPng(40, 0x55);
  EXPECT_FALSE(decodePng(notPng.data(), notPng.size(), w, h, px));
}

// --- buttons ---------------------------------------------------------------------------------

namespace {

// DefineButton2 over shape 1 with one action block per condition.
Bytes button2(uint16_t id, const std::vector<std::pair<uint16_t, Asm>>& actions) {
  Bytes p;
  u16(p, id);
  u8(p, 0);
  Bytes records;
  u8(records, 0x0F);  // up, over, down and hit
  u16(records, 1);
  u16(records, 1);
  u8(records, 0);  // matrix
  u8(records, 0);  // colour transform
  u8(records, 0);  // end of records
  u16(p, static_cast<unsigned>(records.size() + 2));
  p.insert(p.end(), records.begin(), records.end());
  for (size_t i = 0; i < actions.size(); ++i) {
    Bytes code = actions[i].second.end();
    u16(p, i + 1 == actions.size() ? 0 : static_cast<unsigned>(code.size() + 4));
    u16(p, actions[i].first);
    p.insert(p.end(), code.begin(), code.end());
  }
  return p;
}

}  // namespace

TEST(Buttons, MouseAndKeyTransitionsRunTheirActions) {
  Tags t;
  t.rectShape(1, 2000, 1000, 0, 200, 0);
  t.tag(34, button2(2, {{0x0004, Asm().push("press").trace()},
                        {0x0008, Asm().fscommand("released", "btn")},
                        {0x0040, Asm().push("outside").trace()},
                        {static_cast<uint16_t>(13 << 9), Asm().push("enter").trace()}}));
  t.place(2, 1, "btn").showFrame();
  MovieRun r(movie(t));
  ASSERT_TRUE(r.loaded);
  DisplayObject* button = r.player.findTarget("/btn");
  ASSERT_TRUE(button);

  r.player.mouseMove(3000, 3000);  // outside
  r.player.mouseDown();
  r.player.mouseUp();
  EXPECT_TRUE(r.trace.empty());

  r.player.mouseMove(400, 400);
  EXPECT_EQ(button->buttonState, 1);
  r.player.mouseDown();
  EXPECT_EQ(button->buttonState, 2);
  r.player.mouseUp();
  EXPECT_EQ(r.trace, std::vector<std::string>{"press"});
  ASSERT_EQ(r.commands.size(), 1u);
  EXPECT_EQ(r.commands[0].first, "released");

  // Pressed over the button, released elsewhere.
  r.player.mouseDown();
  r.player.mouseMove(5000, 5000);
  r.player.mouseUp();
  EXPECT_EQ(button->buttonState, 0);
  EXPECT_EQ(r.trace.back(), "outside");
  EXPECT_EQ(r.commands.size(), 1u);

  r.player.keyDown(13, 13);
  EXPECT_EQ(r.trace.back(), "enter");
}
