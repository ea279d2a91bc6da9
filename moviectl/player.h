// The player: levels of loaded movies, their display lists and timelines, the AVM1
// interpreter and the operations a host calls (variables by path, timeline control of
// targets, properties, the command event).
//
// The player is single-threaded. Scripts never abort the movie: a script that exceeds a
// limit (call depth, actions per run, stack size, display-list size) stops, its frame ends and
// the next frame plays normally.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "moviectl/swf.h"
#include "moviectl/value.h"

namespace moviectl {

// Offset between the depths in the file and the depths scripts see.
constexpr int kTimelineDepthOffset = 16384;

struct DisplayObject {
  enum Kind : uint8_t { Shape, Clip, Button, Text, Bitmap, Morph, Other } kind = Other;
  DisplayObject* parent = nullptr;
  int depth = 0;  // script depth (file depth minus kTimelineDepthOffset)
  uint16_t characterId = 0;
  const Character* character = nullptr;
  std::shared_ptr<const MovieDef> movie;
  Matrix matrix;
  ColorTransform cxform;
  std::string name;
  int clipDepth = 0;
  bool isMask = false;  // clip layer for the objects up to clipDepth
  uint16_t ratio = 0;
  bool visible = true;
  bool removed = false;
  bool byScript = false;   // created by attachMovie / duplicateMovieClip / createEmptyMovieClip
  bool loadDone = false;   // load event already raised
  bool unloading = false;  // removed while it had an unload handler: references still reach it
  double rotation = 0;     // degrees, kept apart so scale and rotation survive each other
  double xscale = 100, yscale = 100;
  bool transformCached = false;

  // Movie clips (and levels)
  Object* object = nullptr;
  const Timeline* timeline = nullptr;
  int currentFrame = 0;  // 1-based; 0 before the first frame ran
  bool playing = true;
  std::map<int, DisplayObject*> children;
  std::vector<ClipAction> clipActions;
  int level = -1;  // >= 0 for the root clip of a level
  int drawOrder = 0;
  int creation = 0;  // order of creation, for the execution order of clips
  int placeFrame = 0;  // parent's frame whose tags placed it (0: placed by script)

  // Buttons
  int buttonState = 0;  // 0 up, 1 over, 2 down
  // Text fields
  std::string variable;
  std::string text;

  bool isClip() const { return kind == Clip; }
  int totalFrames() const { return timeline ? timeline->frameCount : 1; }
  int version() const { return movie ? movie->version() : 7; }
};

struct PlayerLimits {
  int maxCallDepth = 256;
  uint64_t maxActionsPerRun = 2000000;
  size_t maxStack = 100000;
  size_t maxDisplayObjects = 100000;
  size_t maxObjects = 4000000;
  int maxWithDepth = 16;
  // Native stack a script may use below its entry point. Sanitizer builds have much larger
  // frames, so the call-depth limit alone cannot keep a host thread's stack safe.
  size_t maxStackBytes = 512 * 1024;
};

struct Activation;

class Player {
 public:
  explicit Player(PlayerLimits limits = {});
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // --- loading and playing -------------------------------------------------------------
  bool load(const uint8_t* data, size_t size, LoadError* err = nullptr);
  // `variables` become text members of the level's root before its first frame runs (start
  // values a host passes along, or the query of the movie's URL).
  bool loadMovie(int level, std::shared_ptr<const MovieDef> movie,
                 const std::vector<std::pair<std::string, std::string>>& variables = {});
  void unloadLevel(int level);
  std::shared_ptr<const MovieDef> movie() const { return movie_; }
  bool loaded() const { return movie_ != nullptr; }
  void advance();  // one frame tick of every level
  int ticks() const { return ticks_; }

  // --- host operations (level 0 unless a path says otherwise) --------------------------
  std::function<void(const std::string& text)> onTrace;
  std::function<void(const std::string& command, const std::string& args)> onFSCommand;
  std::function<void(int level, const std::string& url)> onLoadMovie;

  bool getVariable(const std::string& path, std::string& out);
  bool setVariable(const std::string& path, const std::string& value);
  bool play(const std::string& target = "");
  bool stop(const std::string& target = "");
  bool gotoFrame(const std::string& target, int frame0, bool andPlay);
  bool gotoLabel(const std::string& target, const std::string& label, bool andPlay);
  bool callFrame(const std::string& target, int frame0);
  bool callLabel(const std::string& target, const std::string& label);
  int currentFrame(const std::string& target);  // 0-based, -1 for no target
  std::string currentLabel(const std::string& target);
  bool getProperty(const std::string& target, int index, std::string& out);
  bool setProperty(const std::string& target, int index, const std::string& value);
  bool isPlaying() const;
  int totalFrames() const;
  DisplayObject* root(int level = 0) const;
  DisplayObject* findTarget(const std::string& path);

  // --- input ---------------------------------------------------------------------------
  void mouseMove(double xTwips, double yTwips);
  void mouseDown();
  void mouseUp();
  void keyDown(int keyCode, int charCode);
  void keyUp(int keyCode);
  double mouseX() const { return mouseX_; }
  double mouseY() const { return mouseY_; }

  // --- inspection ----------------------------------------------------------------------
  std::vector<DisplayObject*> levels() const;
  size_t displayObjectCount() const { return displayObjects_.size(); }
  size_t objectCount() const { return heap_.size(); }
  const PlayerLimits& limits() const { return limits_; }
  bool limitHit() const { return limitHit_; }
  bool quitRequested() const { return quit_; }
  void setRandomSeed(uint32_t seed) { rng_ = seed ? seed : 1; }
  void setStartTime(double ms) { timeBase_ = ms; }

  // --- interpreter (used by the built-in classes) --------------------------------------
  Object* newObject(Object* proto = nullptr);
  Object* newArray(const std::vector<Value>& elems = {});
  Object* newFunction(NativeFn fn, NativeFn construct = nullptr, bool withPrototype = false);
  Object* global() const { return global_; }
  Object* objectProto() const { return objectProto_; }
  Object* functionProto() const { return functionProto_; }
  Object* arrayProto() const { return arrayProto_; }
  Object* clipProto() const { return clipProto_; }
  Object* buttonProto() const { return buttonProto_; }
  Object* errorProto() const { return errorProto_; }
  int version() const { return curVersion_ ? curVersion_ : movie_ ? movie_->version() : 7; }
  bool caseSensitive() const { return version() >= 7; }

  Value call(const Value& fn, const Value& self, Args& args, Object* home = nullptr);
  Value construct(const Value& ctor, Args& args);
  Value getMember(const Value& obj, const std::string& name);
  void setMember(const Value& obj, const std::string& name, const Value& v);
  bool hasMember(const Value& obj, const std::string& name);
  bool deleteMember(Object* obj, const std::string& name);
  Property* findProp(Object* o, const std::string& name, Object** where = nullptr);
  void defineProp(Object* o, const std::string& name, const Value& v, uint8_t flags = 0);
  std::vector<std::string> enumerate(const Value& obj);
  std::string toString(const Value& v);
  double toNumber(const Value& v);
  bool toBoolean(const Value& v);
  Value toPrimitive(const Value& v, bool hintString = false);
  Object* toObject(const Value& v);
  std::string typeOf(const Value& v);
  std::string targetPath(DisplayObject* d);  // dot path ("_level0.a.b")
  std::string slashPath(DisplayObject* d);   // "/a/b"
  void trace(const std::string& text);
  void fsCommand(const std::string& command, const std::string& args);
  double random(double limit);
  double timeMs() const;
  bool instanceOf(Object* obj, Object* ctor);
  [[noreturn]] void abortScript();
  // Counts work that one action does on long strings or lists against the actions a run may
  // take (a unit per 4 KB or per 1000 items), so a short loop over huge values still ends.
  void chargeWork(size_t bytes) {
    if (execDepth_ == 0 && callDepth_ == 0) return;  // no script running: nothing to stop
    actionCount_ += bytes / 4096;
    if (actionCount_ > limits_.maxActionsPerRun) abortScript();
  }

  // clip operations shared by actions, methods and the host
  void gotoFrameOf(DisplayObject* clip, int frame1, bool stopAfter);
  bool gotoValue(DisplayObject* clip, const Value& frame, bool andPlay, int bias = 0);
  DisplayObject* attachClip(DisplayObject* parent, uint16_t id, const std::string& name, int depth,
                            Object* init);
  DisplayObject* duplicateClip(DisplayObject* src, const std::string& name, int depth, Object* init);
  DisplayObject* createEmptyClip(DisplayObject* parent, const std::string& name, int depth);
  void removeClip(DisplayObject* d);
  // Scripts remove only clips in the dynamic depth range (timeline depths are negative).
  static bool removableDepth(int depth) { return depth >= 0 && depth < 1048576; }
  // Depths scripts may create clips at.
  static bool creatableDepth(int depth) { return depth >= -kTimelineDepthOffset && depth <= 2130690044; }
  void swapDepths(DisplayObject* d, const Value& target);
  Value getClipProperty(DisplayObject* d, int index);
  void setClipProperty(DisplayObject* d, int index, const Value& v);
  static int propertyIndex(const std::string& name);
  DisplayObject* nextHighestDepthHolder(DisplayObject* parent, int& depth);
  Rect boundsOf(DisplayObject* d, DisplayObject* space);
  Matrix worldMatrix(DisplayObject* d);
  DisplayObject* resolveTargetPath(DisplayObject* base, const std::string& path);
  DisplayObject* clipOf(const Value& v);
  // A reference to a removed clip stands for the clip now at its path, or for nothing.
  DisplayObject* liveClip(DisplayObject* d);
  void runFrameActionsNow(DisplayObject* clip, int frame1);
  void executeCode(const ActionCode& code, DisplayObject* target, int version);

  // Execution of one block of action records.
  Value execute(const ActionCode& code, Activation& act);

 private:
  friend struct Interp;
  struct QueuedAction {
    DisplayObject* clip;
    ActionCode code;
    Object* fn = nullptr;  // event handler function instead of code
    std::string handlerName;
    bool isInit = false;
  };

  void initBuiltins();
  struct BuildScope;
  void enqueue(const QueuedAction& q);
  bool roomFor(DisplayObject* parent);
  DisplayObject* newDisplayObject();
  Object* clipObject(DisplayObject* d);
  DisplayObject* placeCharacter(DisplayObject* parent, const PlaceInfo& p, bool fromGoto);
  void applyPlace(DisplayObject* parent, const PlaceInfo& p, bool fromGoto);
  void removeAtDepth(DisplayObject* parent, int depth);
  bool keepForUnload(DisplayObject* d);
  void runFrameTags(DisplayObject* clip, int frame1, bool runActions);
  void advanceClip(DisplayObject* clip);
  void collectClips(DisplayObject* d, std::vector<DisplayObject*>& out);
  // Queues a clip event (and its handler, if named) on every clip of every level.
  void queueClipEventForAll(uint32_t event, const char* handler);
  void queueFrameActions(DisplayObject* clip, const Frame& f);
  void queueClipEvent(DisplayObject* clip, uint32_t event, const char* handler);
  void runQueue();
  void runClipEventNow(DisplayObject* clip, uint32_t event, const char* handler, int keyCode = 0);
  void unloadTree(DisplayObject* d);
  void finishPlace(DisplayObject* child);
  void buttonEvent(DisplayObject* button, uint16_t condition);
  void updateButtonStates();
  DisplayObject* hitButton(DisplayObject* d, double x, double y);
  void maybeCollect();
  void mark(Object* o);
  void markValue(const Value& v);
  void markDisplay(DisplayObject* d);

  PlayerLimits limits_;
  std::shared_ptr<const MovieDef> movie_;
  std::map<int, DisplayObject*> levels_;
  std::vector<std::unique_ptr<Object>> heap_;
  std::vector<std::unique_ptr<DisplayObject>> displayObjects_;
  std::vector<QueuedAction> queue_;
  std::vector<QueuedAction> initQueue_;  // initialize events: ahead of everything queued
  std::vector<std::vector<QueuedAction>> levelQueues_;
  int buildDepth_ = 0;
  std::set<std::pair<const void*, uint16_t>> initDone_;
  Object* global_ = nullptr;
  Object* objectProto_ = nullptr;
  Object* functionProto_ = nullptr;
  Object* arrayProto_ = nullptr;
  Object* clipProto_ = nullptr;
  Object* buttonProto_ = nullptr;
  Object* errorProto_ = nullptr;
  Object* stringProto_ = nullptr;
  Object* numberProto_ = nullptr;
  Object* booleanProto_ = nullptr;
  Value globalRegs_[4];
  int ticks_ = 0;
  int creationCounter_ = 0;
  int instanceCounter_ = 0;
  int callDepth_ = 0;
  size_t liveObjects_ = 0;
  int curVersion_ = 0;
  std::shared_ptr<const std::vector<std::string>> lastConstants_;
  const char* stackBase_ = nullptr;
  int execDepth_ = 0;
  uint64_t actionCount_ = 0;
  bool limitHit_ = false;
  bool quit_ = false;
  bool inRun_ = false;
  uint32_t rng_ = 1;
  double timeBase_ = 0;
  double mouseX_ = 0, mouseY_ = 0;
  bool mouseDown_ = false;
  DisplayObject* hover_ = nullptr;
  DisplayObject* pressed_ = nullptr;
  size_t heapAtLastCollect_ = 0;
  std::vector<std::pair<Object*, std::vector<Value>>> protectedValues_;
  std::vector<Value*> tempRoots_;
  std::vector<Value> frameStack_;

 public:
  // Roots held by running native code while scripts might collect (collection only runs
  // between frames, so these exist for clarity of ownership, not for safety).
  struct Interval {
    int id;
    Value target;
    Value fn;
    std::string method;
    std::vector<Value> args;
    double periodMs;
    double nextMs;
  };
  std::vector<Interval> intervals;
  int nextIntervalId = 1;
  std::vector<Object*> keyListeners;
  std::vector<Object*> mouseListeners;
  Object* keyObject = nullptr;
  int lastKey = 0;
  int lastAscii = 0;
};

// One running block of actions: its scope chain, target timeline, registers and constants.
struct Activation {
  int version = 7;
  std::vector<Object*> scope;  // outermost first; scope[0] is _global
  size_t timelineSlot = 1;     // the entry that SetTarget replaces
  DisplayObject* target = nullptr;
  DisplayObject* originalTarget = nullptr;
  bool targetValid = true;
  Object* locals = nullptr;  // function activation object, or null at frame level
  Value thisv;
  std::vector<Value> regs;   // empty: the player's four global registers
  std::shared_ptr<const std::vector<std::string>> constants;
  Object* callee = nullptr;
  Object* home = nullptr;    // object the running method was found on (for super)
  int withDepth = 0;
  // Frame and event blocks share one value stack for the whole frame: a value one block
  // leaves behind is there for the next. Function bodies have a stack of their own.
  bool sharedStack = false;
};

}  // namespace moviectl
