// Interpreter semantics that real movies depend on, written as assembler text: conversions and
// comparisons per SWF version, `this` and the scope chain of functions, registers, the value
// stack shared by frame scripts, and the parsing functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "moviectl/player.h"
#include "swf_builder.h"
#include "swfgen.h"

using namespace moviectl;
using namespace swftest;

namespace {

using Lines = std::vector<std::string>;

Asm assembled(const std::string& text) {
  Asm a;
  std::string error;
  EXPECT_TRUE(swfgen::assemble(text, a.b, error)) << error << "\n" << text;
  return a;
}

// Loads a movie, advances it the given number of frames and returns the trace lines.
Lines traceOf(const Bytes& swf, int advances) {
  Player player;
  Lines trace;
  player.onTrace = [&](const std::string& line) { trace.push_back(line); };
  EXPECT_TRUE(player.load(swf.data(), swf.size()));
  for (int f = 0; f < advances; ++f) player.advance();
  return trace;
}

// Plays a movie whose frames hold the given scripts (one DoAction per script) and returns
// the trace lines of all frames.
Lines play(int version, const std::vector<std::vector<std::string>>& frames) {
  Tags t;
  for (auto& scripts : frames) {
    for (auto& s : scripts) t.doAction(assembled(s));
    t.showFrame();
  }
  return traceOf(movie(t, version, static_cast<int>(frames.size())), static_cast<int>(frames.size()) - 1);
}

Lines run(int version, const std::string& script) { return play(version, {{script}}); }

struct Case {
  const char* what;
  int version;
  const char* script;
  Lines want;
};

void check(const std::vector<Case>& cases) {
  for (auto& c : cases) EXPECT_EQ(run(c.version, c.script), c.want) << c.what << " (SWF " << c.version << ")";
}

// Objects `a` and `b` whose valueOf traces "A" / "B" and answers 1 / 2.
const char* kTracingObjects = R"(
push 'a'
push 'valueOf'
function ''
push 'A'
trace
push 1
return
end
push 1
initObject
setVariable
push 'b'
push 'valueOf'
function ''
push 'B'
trace
push 2
return
end
push 1
initObject
setVariable
)";

std::string withObjects(const std::string& rest) { return std::string(kTracingObjects) + rest; }

}  // namespace

TEST(Avm1Semantics, ComparisonsAndConversions) {
  check({
      {"NaN is strictly equal to NaN", 7, "push 0\npush 0\ndivide\npush 0\npush 0\ndivide\nstrictEquals\ntrace", {"true"}},
      {"NaN equals NaN", 6, "push 0\npush 0\ndivide\npush 0\npush 0\ndivide\nequals2\ntrace", {"true"}},
      {"a bare object equals undefined", 7, "push 0\npush 'Object'\ncallFunction\npush undefined\nequals2\ntrace", {"true"}},
      {"an ordinary object does not equal null", 7, "push 0\ninitObject\npush null\nequals2\ntrace", {"false"}},
      {"SWF 5 compares objects by valueOf", 5,
       "push 1\npush 1\npush 'Number'\nnewObject\npush 1\npush 1\npush 'Number'\nnewObject\nequals2\ntrace", {"true"}},
      {"SWF 6 compares objects by identity", 6,
       "push 1\npush 1\npush 'Number'\nnewObject\npush 1\npush 1\npush 'Number'\nnewObject\nequals2\ntrace", {"false"}},
      {"SWF 4 Equals pushes a boolean shown as 1", 4, "push 1\npush 1\nequals\ndup\ntrace\ntypeof\ntrace", {"1", "boolean"}},
      {"SWF 4 takes the number in front of trailing text", 4, "push '100'\npush '100ABC'\nequals\ntrace", {"1"}},
      {"SWF 4 sees no built-ins", 4, "push 'Infinity'\ngetVariable\ntrace", {"undefined"}},
      {"a function body in a SWF 4 movie follows SWF 5 rules", 4,
       "function 'f'\npush 4\npush 0\ndivide\ntrace\nend\npush 0\npush 'f'\ncallFunction\npop\npush 4\npush 0\ndivide\ntrace",
       {"Infinity", "#ERROR#"}},
      {"Add converts its left operand first", 7, withObjects("push 'a'\ngetVariable\npush 'b'\ngetVariable\nadd\ntrace").c_str(),
       {"A", "B", "3"}},
      {"Less converts its left operand first", 7, withObjects("push 'a'\ngetVariable\npush 'b'\ngetVariable\nless\ntrace").c_str(),
       {"A", "B", "true"}},
      {"Equals converts its right operand first", 7, withObjects("push 'a'\ngetVariable\npush 'b'\ngetVariable\nequals\ntrace").c_str(),
       {"B", "A", "false"}},
      {"SWF 4 objects convert through valueOf", 4, withObjects("push 'a'\ngetVariable\npush 'b'\ngetVariable\nadd\ntrace").c_str(),
       {"A", "B", "3"}},
      {"text plus an object without valueOf is text plus undefined", 7,
       "push 'x'\npush 0\npush 'Object'\ncallFunction\nadd2\ntrace", {"xundefined"}},
      {"a carriage return in trace text ends a line", 7, "push 'a\rb'\ntrace", {"a\nb"}},
      {"InitArray with an impossible count gives undefined", 7, "push 'a'\npush 'b'\npush 4294967297\ninitArray\ntrace\ntrace\ntrace",
       {"undefined", "b", "a"}},
      {"InitObject with an impossible count gives undefined", 7, "push 'a'\npush 'b'\npush -1\ninitObject\ntrace\ntrace\ntrace",
       {"undefined", "b", "a"}},
      {"a clip adds to a number as NaN", 7, "push 'this'\ngetVariable\npush 1\nadd2\ntrace", {"NaN"}},
      {"a clip joins text as its path", 7, "push 'this'\ngetVariable\npush 'a'\nadd2\ntrace", {"_level0a"}},
  });
}

TEST(Avm1Semantics, GlobalObjectAndFunctionConstructorsCalledPlainly) {
  check({
      {"_global has no prototype", 7, "push '_global'\ngetVariable\npush '__proto__'\ngetMember\ntrace", {"undefined"}},
      {"_global has no valueOf", 7, "push '_global'\ngetVariable\npush 'valueOf'\ngetMember\ntrace", {"undefined"}},
      {"_global is shown as a plain object", 7, "push '_global'\ngetVariable\ntrace", {"[type Object]"}},
      {"a variable named _global shadows it", 7, "push '_global'\npush 'mine'\nsetVariable\npush '_global'\ngetVariable\ntrace",
       {"mine"}},
      {"Function() gives a bare object", 7, "push 0\npush 'Function'\ncallFunction\ndup\ntypeof\ntrace\npush '__proto__'\ngetMember\ntrace",
       {"object", "undefined"}},
      {"Function(x) gives x back", 7, "push 2\npush 1\npush 2\npush 'Function'\ncallFunction\ntrace", {"1"}},
      {"Object(undefined) gives a bare object", 7, "push undefined\npush 1\npush 'Object'\ncallFunction\ntrace", {"[type Object]"}},
  });
}

TEST(Avm1Semantics, ThisAndTheScopeChainOfFunctions) {
  check({
      // function test() { var x = 3; var bla = function () { trace(this.x); }; bla(); }
      {"a function found in an activation runs with the activation as this", 7, R"(
function 'test'
push 'x'
push 3
defineLocal
push 'bla'
function ''
push 'this'
getVariable
push 'x'
getMember
trace
end
defineLocal
push 0
push 'bla'
callFunction
pop
end
push 0
push 'test'
callFunction
pop)",
       {"3"}},
      {"a method called without a name has an undefined this", 7, R"(
push 0
function ''
push 'this'
getVariable
trace
end
push undefined
callMethod
pop)",
       {"undefined"}},
      {"a variable named this shadows the this reference", 7, "push 'this'\npush 'test'\nsetVariable\npush 'this'\ngetVariable\ntrace",
       {"test"}},
      {"a plain function keeps this in a local of its own", 7, R"(
push 'this'
push 'outer'
setVariable
function 'f'
push 'this'
getVariable
trace
end
push 0
push 'f'
callFunction
pop)",
       {"_level0"}},
      // with (o1) a = 5;  where o1 only inherits a: the timeline gets it.
      {"an inherited name does not catch an assignment in with", 7, R"(
push 'o1'
push 0
initObject
setVariable
push 'o1'
getVariable
push '__proto__'
push 'a'
push 4
push 1
initObject
setMember
push 'o1'
getVariable
with
push 'a'
push 5
setVariable
end
push 'a'
getVariable
trace
push 'o1'
getVariable
push 'a'
getMember
trace)",
       {"5", "4"}},
  });
}

TEST(Avm1Semantics, FunctionsOfSwf5HaveNoClosures) {
  // var foo = "root"; function f() { var foo = "f"; return function () { trace(foo); }; } f()();
  const char* script = R"(
push 'foo'
push 'root'
setVariable
function 'f'
push 'foo'
push 'f'
defineLocal
function ''
push 'foo'
getVariable
trace
end
return
end
push 0
push 0
push 'f'
callFunction
push undefined
callMethod
pop)";
  EXPECT_EQ(run(5, script), Lines{"root"});
  EXPECT_EQ(run(6, script), Lines{"f"});
}

TEST(Avm1Semantics, FunctionDefinedUnderTellTargetBelongsToItsTimeline) {
  const char* script = R"(
push 1
push 'a'
push 2
push 'createEmptyMovieClip'
callFunction
pop
setTarget 'a'
push 'f'
function ''
push '_target'
getVariable
trace
end
setVariable
setTarget ''
push 0
push 'a'
getVariable
push 'f'
callMethod
pop)";
  EXPECT_EQ(run(7, script), Lines{"/"});
}

TEST(Avm1Semantics, Function2RegistersAndPreloads) {
  check({
      // Preload parent (0x80) and _global (0x100) with this, arguments and super suppressed:
      // the root has no parent, so _global lands in register 1.
      {"a missing parent takes no register", 6,
       "function2 'f' 3 0x1aa\npushRegister 1\ntrace\npushRegister 2\ntrace\nend\npush 0\npush 'f'\ncallFunction\npop",
       {"[type Object]", "undefined"}},
      {"preloading a suppressed this leaves the register undefined", 7,
       "function2 'f' 2 0x3\npushRegister 1\ntrace\npush 'this'\ngetVariable\ntrace\nend\npush 0\npush 'f'\ncallFunction\npop",
       {"undefined", "_level0"}},
      {"registers past the function's own reach the global ones", 7, R"(
push 3
storeRegister 3
pop
function2 'f' 2 0
pushRegister 3
trace
push 9
storeRegister 1
storeRegister 3
pop
end
push 0
push 'f'
callFunction
pop
pushRegister 3
trace
pushRegister 1
trace)",
       {"3", "9", "undefined"}},
  });
}

TEST(Avm1Semantics, FrameScriptsShareOneStackPerFrame) {
  Lines got = play(7, {{"push 'left by the first block'", "trace"}, {"trace"}});
  EXPECT_EQ(got, (Lines{"left by the first block", "undefined"}));
}

TEST(Avm1Semantics, ParseIntAndParseFloat) {
  struct Num {
    const char* call;
    const char* want;
  } cases[] = {
      {"parseInt('0x+0X100')", "0"},  {"parseInt('-0100')", "-64"},  {"parseInt('  077')", "77"},
      {"parseInt('-0100z')", "-100"}, {"parseInt('0x100', 36)", "1296"}, {"parseInt('-0x100')", "NaN"},
      {"parseInt('+0x123', 34)", "1298259"}, {"parseInt('100', undefined)", "NaN"}, {"parseInt('0x -100')", "-256"},
      {"parseFloat('1.2345.678')", "1.2345678"}, {"parseFloat('1.2345.6e50')", "1.23456"},
      {"parseFloat('1e4294967297')", "10"}, {"parseFloat('10e-')", "10"}, {"parseFloat('-034.1+e20')", "-34.1"},
  };
  for (auto& c : cases) {
    // Build "push args...; push n; push 'fn'; callFunction; trace" from the call text.
    std::string call = c.call;
    size_t open = call.find('(');
    std::string fn = call.substr(0, open);
    std::string inner = call.substr(open + 1, call.size() - open - 2);
    std::vector<std::string> args;
    size_t comma = inner.find(", ");
    args.push_back(inner.substr(0, comma));
    if (comma != std::string::npos) args.push_back(inner.substr(comma + 2));
    std::string script;
    for (auto it = args.rbegin(); it != args.rend(); ++it) script += "push " + *it + "\n";
    script += "push " + std::to_string(args.size()) + "\npush '" + fn + "'\ncallFunction\ntrace";
    EXPECT_EQ(run(7, script), Lines{c.want}) << c.call;
  }
  // Fraction digits are added one by one, as the reference player does.
  EXPECT_EQ(run(7, "push '.1499999'\npush 1\npush 'parseFloat'\ncallFunction\npush 0.14999990000000005\nstrictEquals\ntrace"),
            Lines{"true"});
}

TEST(Avm1Semantics, TellTargetPathsAreRelativeToTheOwnTimeline) {
  // a and a.a exist; two tellTarget("a") in a row stay on a, they do not reach a.a.
  const char* script = R"(
push 1
push 'a'
push 2
push 'createEmptyMovieClip'
callFunction
pop
push 1
push 'a'
push 2
push 'a'
getVariable
push 'createEmptyMovieClip'
callMethod
pop
setTarget 'a'
setTarget 'a'
push '_target'
getVariable
trace
setTarget ''
push '_target'
getVariable
trace)";
  EXPECT_EQ(run(7, script), (Lines{"/a", "/"}));
}

TEST(Avm1Semantics, FrameScriptsQueuedByAGotoWaitForTheFrameInProgress) {
  // The child's second frame sends the root back to frame 1; the root's own second frame
  // script, already queued, still runs first.
  Tags child;
  child.doAction(assembled("push 'movie 1'\ntrace")).showFrame();
  child.doAction(assembled("push 'movie 2'\ntrace\npush 1\npush 1\npush '_root'\ngetVariable\npush 'gotoAndPlay'\ncallMethod\npop"))
      .showFrame();
  child.doAction(assembled("push 'movie 3'\ntrace\nstop")).showFrame();
  Tags t;
  t.sprite(1, 3, child);
  t.doAction(assembled("push 'root 1'\ntrace")).place(1, 1, "movie").showFrame();
  t.doAction(assembled("push 'root 2'\ntrace")).showFrame();
  EXPECT_EQ(traceOf(movie(t, 7, 2), 1), (Lines{"root 1", "movie 1", "movie 2", "root 2", "root 1"}));
}

TEST(Avm1Semantics, InitializeOfAReplacingClipComesBeforeTheUnloadOfTheOldOne) {
  auto say = [](const std::string& text) { return assembled("push '" + text + "'\ntrace"); };
  Tags child;
  child.showFrame();
  Tags t;
  t.sprite(1, 1, child);
  t.placeWithEvents(1, 1, {{EvInitialize, say("init 1")}, {EvLoad, say("load 1")}, {EvUnload, say("unload 1")}})
      .showFrame();
  t.remove(1).placeWithEvents(1, 1, {{EvInitialize, say("init 2")}, {EvLoad, say("load 2")}}).showFrame();
  EXPECT_EQ(traceOf(movie(t, 7, 2), 1), (Lines{"init 1", "load 1", "init 2", "unload 1", "load 2"}));
}

TEST(Avm1Semantics, ScriptsRemoveClipsOnlyInTheDynamicDepthRange) {
  // For each depth: make a clip, remove it, and report whether it is still there.
  std::string script;
  for (const char* depth : {"5", "1000000", "-5", "2000000"}) {
    std::string name = std::string("m") + depth;
    script += "push " + std::string(depth) + "\npush '" + name + "'\npush 2\npush 'createEmptyMovieClip'\ncallFunction\npop\n";
    script += "push 0\npush '" + name + "'\ngetVariable\npush 'removeMovieClip'\ncallMethod\npop\n";
    script += "push '" + name + "'\ngetVariable\ntypeof\ntrace\n";
  }
  EXPECT_EQ(run(7, script), (Lines{"undefined", "undefined", "movieclip", "movieclip"}));
}

TEST(Avm1Semantics, RemovedClipWaitsForItsUnloadHandlerBelowTheTimelineDepths) {
  const char* script = R"(
push 7
push 'gone'
push 2
push 'createEmptyMovieClip'
callFunction
pop
push 'gone'
getVariable
push 'onUnload'
function ''
push 0
push 'this'
getVariable
push 'getDepth'
callMethod
trace
end
setMember
push 'kept'
push 'gone'
getVariable
setVariable
push 0
push 'gone'
getVariable
push 'removeMovieClip'
callMethod
pop
push 'after removal'
trace)";
  EXPECT_EQ(run(7, script), (Lines{"after removal", "-32776"}));
}

TEST(Avm1Semantics, DuplicatesOnlyUpToTheHighestScriptDepth) {
  const char* script = R"(
push 1
push 'src'
push 2
push 'createEmptyMovieClip'
callFunction
pop
push 2130690044
push 'ok'
push 2
push 'src'
getVariable
push 'duplicateMovieClip'
callMethod
pop
push 2130690045
push 'bad'
push 2
push 'src'
getVariable
push 'duplicateMovieClip'
callMethod
pop
push 'ok'
getVariable
typeof
trace
push 'bad'
getVariable
typeof
trace)";
  EXPECT_EQ(run(7, script), (Lines{"movieclip", "undefined"}));
}

TEST(Avm1Semantics, RewindRemovesScriptClipsOnlyAtTimelineDepths) {
  std::string script = "push 'was_here'\ngetVariable\nif again\npush 'was_here'\npush true\nsetVariable\n";
  const std::vector<std::pair<std::string, std::string>> clips = {{"a", "-1"}, {"b", "-16385"}, {"c", "5"}};
  for (auto& c : clips)
    script += "push " + c.second + "\npush '" + c.first + "'\npush 2\npush 'createEmptyMovieClip'\ncallFunction\npop\n";
  script += "jump done\nagain:\n";
  for (auto& c : clips) script += "push '" + c.first + "'\ngetVariable\ntypeof\ntrace\n";
  script += "done:\n";
  Tags t;
  t.doAction(assembled(script)).showFrame().showFrame();
  EXPECT_EQ(traceOf(movie(t, 7, 2), 2), (Lines{"undefined", "movieclip", "movieclip"}));
}

TEST(Avm1Semantics, TellTargetOfAClipGoesByItsPath) {
  // Two siblings named alike: targeting the second one by reference reaches the first.
  const char* script = R"(
push 'a'
push 0
push 'twin'
push 2
push 'createEmptyMovieClip'
callFunction
setVariable
push 'b'
push 1
push 'twin'
push 2
push 'createEmptyMovieClip'
callFunction
setVariable
push 'b'
getVariable
setTarget2
push 0
push 'getDepth'
callFunction
trace)";
  EXPECT_EQ(run(7, script), Lines{"0"});
}

TEST(Avm1Semantics, ReferenceToARemovedClipFindsTheClipNowAtItsPath) {
  // x = a.a; remove a; make a new a: x names nothing; give the new a a child a: x is it.
  const char* script = R"(
push 0
push 'a'
push 2
push 'createEmptyMovieClip'
callFunction
pop
push 'x'
push 0
push 'a'
push 2
push 'a'
getVariable
push 'createEmptyMovieClip'
callMethod
setVariable
push 0
push 'a'
getVariable
push 'removeMovieClip'
callMethod
pop
push 0
push 'a'
push 2
push 'createEmptyMovieClip'
callFunction
pop
push 'x'
getVariable
trace
push 0
push 'a'
push 2
push 'a'
getVariable
push 'createEmptyMovieClip'
callMethod
pop
push 'x'
getVariable
trace)";
  EXPECT_EQ(run(7, script), (Lines{"", "_level0.a.a"}));
}

TEST(Avm1Semantics, ArraySliceTreatsAnUndefinedEndAsTheEnd) {
  const char* slice = "push 2\npush 5\npush 4\npush 3\npush 2\npush 1\npush 5\ninitArray\npush 'slice'\ncallMethod\ntrace";
  EXPECT_EQ(run(7, std::string("push undefined\npush 1\n") + slice), Lines{"2,3,4,5"});
  EXPECT_EQ(run(7, std::string("push 3\npush 1\n") + slice), Lines{"2,3"});
}

TEST(Avm1Semantics, NamedShapeReachesTheClipThatHoldsIt) {
  Tags t;
  t.rectShape(1, 200, 200, 255, 0, 0).place(1, 1, "box");
  t.doAction(assembled("push 'v'\npush 'on root'\nsetVariable\npush '_root'\ngetVariable\npush 'box'\ngetMember\ndup\ntrace\n"
                       "push 'v'\ngetMember\ntrace\npush '_root'\ngetVariable\npush 'nothere'\ngetMember\ntrace"))
      .showFrame();
  EXPECT_EQ(traceOf(movie(t, 7, 1), 0), (Lines{"_level0", "on root", "undefined"}));
}

TEST(Avm1Semantics, FarArrayIndexStaysAPropertyInsteadOfGrowingTheArray) {
  // A tiny movie must not make one array take gigabytes: indexes past the dense bound are
  // kept as ordinary properties.
  const char* script = R"(
push 'a'
push 0
initArray
setVariable
push 'a'
getVariable
push 4194305
push 'far'
setMember
push 'a'
getVariable
push 'length'
getMember
trace
push 'a'
getVariable
push 4194305
getMember
trace
push 'a'
getVariable
push 'length'
push 4194305
setMember
push 'a'
getVariable
push 'length'
getMember
trace)";
  EXPECT_EQ(run(7, script), (Lines{"0", "far", "0"}));
}

TEST(Avm1Semantics, DoublingAStringInAShortLoopStopsTheScript) {
  // Each pass doubles s; counted by actions alone this loop would build a string of 2^280
  // bytes. Work on long strings counts against the run, so the script stops and the next
  // frame plays.
  Tags t;
  t.doAction(assembled("push 's'\npush 'x'\nsetVariable\nloop:\npush 's'\npush 's'\ngetVariable\npush 's'\ngetVariable\n"
                       "add2\nsetVariable\njump loop"))
      .showFrame();
  t.doAction(assembled("push 'next frame'\ntrace\npush 's'\ngetVariable\npush 'length'\ngetMember\npush 10000000\nless2\ntrace"))
      .showFrame();
  PlayerLimits limits;
  limits.maxActionsPerRun = 2000;
  Bytes swf = movie(t, 7, 2);
  Player player(limits);
  Lines trace;
  player.onTrace = [&](const std::string& line) { trace.push_back(line); };
  ASSERT_TRUE(player.load(swf.data(), swf.size()));
  EXPECT_TRUE(player.limitHit());
  player.advance();
  EXPECT_EQ(trace, (Lines{"next frame", "true"}));
}

TEST(Avm1Semantics, SortSurvivesACompareFunctionThatEmptiesTheArray) {
  // a = [3, 1, 2]; a.sort(function () { a.length = 0; return 1; }); trace(a.length);
  const char* script = R"(
push 'a'
push 2
push 1
push 3
push 3
initArray
setVariable
function ''
push 'a'
getVariable
push 'length'
push 0
setMember
push 1
return
end
push 1
push 'a'
getVariable
push 'sort'
callMethod
pop
push 'a'
getVariable
push 'length'
getMember
trace)";
  EXPECT_EQ(run(7, script), Lines{"3"});
}

TEST(Avm1Semantics, GrowingArraysFarApartCountsAgainstTheScript) {
  // Every element a jump adds counts as an action, so one far index fits the budget and the
  // second one stops the script.
  const char* script = R"(
push 'a'
push 0
initArray
setVariable
push 'a'
getVariable
push 499999
push 1
setMember
push 'first grown'
trace
push 'b'
push 0
initArray
setVariable
push 'b'
getVariable
push 499999
push 1
setMember
push 'second grown'
trace)";
  PlayerLimits limits;
  limits.maxActionsPerRun = 600000;
  Tags t;
  t.doAction(assembled(script)).showFrame();
  Bytes swf = movie(t, 7, 1);
  Player player(limits);
  Lines trace;
  player.onTrace = [&](const std::string& line) { trace.push_back(line); };
  ASSERT_TRUE(player.load(swf.data(), swf.size()));
  EXPECT_TRUE(player.limitHit());
  EXPECT_EQ(trace, Lines{"first grown"});
}
