// swfgen descriptions played back by the movie control: actions, shapes, sprites, labels,
// buttons and the assembler, and clear errors for bad descriptions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "moviectl/player.h"
#include "moviectl/raster.h"
#include "swfgen.h"

using namespace moviectl;

namespace {

struct Played {
  Player player;
  std::vector<std::string> trace;
  std::vector<std::pair<std::string, std::string>> commands;
  bool ok = false;
  explicit Played(const std::string& json) {
    std::vector<uint8_t> swf;
    std::string error;
    EXPECT_TRUE(swfgen::generate(json, swf, error)) << error;
    player.onTrace = [this](const std::string& t) { trace.push_back(t); };
    player.onFSCommand = [this](const std::string& c, const std::string& a) { commands.emplace_back(c, a); };
    ok = player.load(swf.data(), swf.size());
  }
};

const char* kMovie = R"({
  "version": 7, "width": 200, "height": 100, "background": "#000000", "compress": true,
  "symbols": [
    {"id": 1, "type": "shape", "shapes": [
      {"kind": "rect", "x": 0, "y": 0, "w": 50, "h": 50, "fill": "#ff0000"},
      {"kind": "ellipse", "x": 100, "y": 0, "w": 50, "h": 50, "fill": "#00ff00", "line": "#0000ff", "lineWidth": 2}]},
    {"id": 2, "type": "sprite", "frames": [
      {"actions": [{"trace": "sprite 1"}]},
      {"label": "two", "actions": [{"trace": "sprite 2"}, {"stop": true}]}]},
    {"id": 3, "type": "button", "up": 1, "hit": 1, "actions": [
      {"on": "press", "steps": [{"fscommand": ["pressed", "button"]}]}]}
  ],
  "frames": [
    {"label": "start", "place": [{"id": 1, "depth": 1}, {"id": 2, "depth": 2, "name": "kid"},
                                 {"id": 3, "depth": 3, "name": "btn", "x": 0, "y": 60}],
     "actions": [{"setVariable": ["greeting", "hello"]}, {"fscommand": ["ready", "1"]}],
     "asm": "push 'greeting'\ngetVariable\ntrace\nstop"}
  ]
})";

}  // namespace

TEST(Swfgen, MovieActionsAndTimelinesPlay) {
  Played p(kMovie);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.trace, (std::vector<std::string>{"hello", "sprite 1"}));
  ASSERT_EQ(p.commands.size(), 1u);
  EXPECT_EQ(p.commands[0], std::make_pair(std::string("ready"), std::string("1")));
  p.player.advance();
  EXPECT_EQ(p.trace.back(), "sprite 2");
  EXPECT_EQ(p.player.currentLabel("/kid"), "two");
  std::string v;
  EXPECT_TRUE(p.player.getVariable("greeting", v));
  EXPECT_EQ(v, "hello");
}

TEST(Swfgen, ShapesDrawWhereDescribed) {
  Played p(kMovie);
  ASSERT_TRUE(p.ok);
  Surface s(200, 100);
  RenderOptions ro;
  ro.view = stageTransform(Rect{0, 4000, 0, 2000}, 200, 100, ScaleMode::ShowAll);
  renderPlayer(p.player, s, ro);
  EXPECT_EQ(s.at(25, 25), 0xFFFF0000u);   // rectangle
  EXPECT_EQ(s.at(125, 25), 0xFF00FF00u);  // ellipse centre
  EXPECT_EQ(s.at(149, 25) & 0xFF, 0xFFu); // its blue outline at the right edge
  EXPECT_EQ(s.at(180, 90), 0xFF000000u);  // background
  EXPECT_EQ(s.at(25, 85), 0xFFFF0000u);   // the button shows its up state
}

TEST(Swfgen, ButtonsFromDescriptionsAnswerThePointer) {
  Played p(kMovie);
  ASSERT_TRUE(p.ok);
  p.player.mouseMove(25 * 20, 85 * 20);
  p.player.mouseDown();
  ASSERT_EQ(p.commands.size(), 2u);
  EXPECT_EQ(p.commands[1].first, "pressed");
}

TEST(Swfgen, AssemblerFunctionBlocksAndRegisters) {
  // function add(a, b) { return a + b; } with the second parameter in register 1.
  Played p(R"({"version": 7, "frames": [{"asm": "function2 'add' 2 0 'a:0' 'b:1'\npush 'a'\ngetVariable\npushRegister 1\nadd2\nreturn\nend\npush 4\npush 3\npush 2\npush 'add'\ncallFunction\nstoreRegister 2\npop\npushRegister 2\ntrace\npush 'o'\npush 'k'\npush 'v'\npush 1\ninitObject\nsetVariable\npush 'o'\ngetVariable\nwith\npush 'k'\ngetVariable\ntrace\nend"}]})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.trace, (std::vector<std::string>{"7", "v"}));
}

TEST(Swfgen, AssemblerJumpsAndErrors) {
  Played p(R"({"frames": [{"asm": "push 3\nloop:\ndup\ntrace\ndecrement\ndup\nif loop\npop"}]})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.trace, (std::vector<std::string>{"3", "2", "1"}));

  struct Bad {
    const char* json;
    const char* fragment;
  } bad[] = {
      {"{", "JSON: expected a name"},
      {R"({"frames": []})", "at least one frame"},
      {R"({"frames": [{"asm": "frobnicate"}]})", "unknown action frobnicate"},
      {R"({"frames": [{"asm": "jump nowhere"}]})", "unknown label nowhere"},
      {R"({"frames": [{"asm": "end"}]})", "end without function or with"},
      {R"({"frames": [{"asm": "function 'f'\npush 1"}]})", "block without end"},
      {R"({"frames": [{"asm": "function f"}]})", "takes a quoted name"},
      {R"({"frames": [{"actions": [{"explode": 1}]}]})", "unknown step explode"},
      {R"({"symbols": [{"id": 1, "type": "shape", "shapes": [{"kind": "blob"}]}], "frames": [{}]})", "unknown shape kind blob"},
      {R"({"version": 42, "frames": [{}]})", "version"},
  };
  for (auto& b : bad) {
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_FALSE(swfgen::generate(b.json, out, error)) << b.json;
    EXPECT_NE(error.find(b.fragment), std::string::npos) << error;
  }
}
