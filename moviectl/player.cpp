// Player: levels, display lists, timelines and the frame cycle; value conversions and member
// access that need the interpreter; the operations a host calls.
//
// Frame cycle: every tick each live clip, newest first, raises its enterFrame event and, when
// playing, moves its playhead; display-list tags apply at once and the frame's actions are
// queued in tag order. The queue runs when the pass is done. Jumps (gotos, loops) rebuild the
// display list from the tags so that objects which exist before and after the jump survive it.
#include "moviectl/player.h"
#include "moviectl/internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace moviectl {


Player::Player(PlayerLimits limits) : limits_(limits) { initBuiltins(); }

Player::~Player() = default;

void Player::abortScript() {
  limitHit_ = true;
  throw ScriptAbort{};
}

Object* Player::newObject(Object* proto) {
  if (heap_.size() >= limits_.maxObjects) abortScript();
  heap_.push_back(std::make_unique<Object>());
  Object* o = heap_.back().get();
  o->proto = proto ? proto : objectProto_;
  return o;
}

Object* Player::newArray(const std::vector<Value>& elems) {
  Object* o = newObject(arrayProto_);
  o->kind = Object::Array;
  o->elems = elems;
  return o;
}

Object* Player::newFunction(NativeFn fn, NativeFn construct, bool withPrototype) {
  Object* o = newObject(functionProto_);
  o->kind = Object::Function;
  o->native = fn;
  o->nativeConstruct = construct;
  if (withPrototype) {
    Object* proto = newObject(objectProto_);
    defineProp(proto, "constructor", Value(o), DontEnum);
    defineProp(o, "prototype", Value(proto), DontEnum);
  }
  return o;
}

DisplayObject* Player::newDisplayObject() {
  displayObjects_.push_back(std::make_unique<DisplayObject>());
  DisplayObject* d = displayObjects_.back().get();
  d->creation = ++creationCounter_;
  ++liveObjects_;
  return d;
}

// ---------------------------------------------------------------------------------------
// Loading

bool Player::load(const uint8_t* data, size_t size, LoadError* err) {
  LoadError e;
  auto m = loadSwf(data, size, e);
  if (err) *err = e;
  if (!m) return false;
  return loadMovie(0, m);
}

bool Player::loadMovie(int level, std::shared_ptr<const MovieDef> m,
                       const std::vector<std::pair<std::string, std::string>>& variables) {
  if (!m || level < 0 || level > 1000000) return false;
  unloadLevel(level);
  if (level == 0) movie_ = m;
  DisplayObject* root = newDisplayObject();
  root->kind = DisplayObject::Clip;
  root->movie = m;
  root->timeline = &m->root;
  root->level = level;
  root->name = "";
  root->depth = level;
  levels_[level] = root;
  Object* rootObject = clipObject(root);
  for (const auto& kv : variables) setMember(Value(rootObject), kv.first, Value(kv.second));
  bool outer = !inRun_;
  inRun_ = true;
  try {
    runFrameTags(root, 1, true);
    root->loadDone = true;
  } catch (const ScriptAbort&) {
  }
  if (outer) {
    runQueue();
    inRun_ = false;
  }
  return true;
}

void Player::unloadLevel(int level) {
  auto it = levels_.find(level);
  if (it == levels_.end()) return;
  DisplayObject* root = it->second;
  levels_.erase(it);
  unloadTree(root);
  if (level == 0) {
    movie_.reset();
    for (auto& kv : levels_) unloadTree(kv.second);
    levels_.clear();
    queue_.clear();
    initQueue_.clear();
  }
}

std::vector<DisplayObject*> Player::levels() const {
  std::vector<DisplayObject*> out;
  for (auto& kv : levels_) out.push_back(kv.second);
  return out;
}

DisplayObject* Player::root(int level) const {
  auto it = levels_.find(level);
  return it == levels_.end() ? nullptr : it->second;
}

Object* Player::clipObject(DisplayObject* d) {
  if (!d->object) {
    Object* o = newObject(d->kind == DisplayObject::Button ? buttonProto_ : clipProto_);
    o->kind = Object::Clip;
    o->clip = d;
    d->object = o;
  }
  return d->object;
}

// ---------------------------------------------------------------------------------------
// Display list

void Player::unloadTree(DisplayObject* d) {
  if (d->removed) return;
  keepForUnload(d);
  d->removed = true;
  if (liveObjects_ > 0) --liveObjects_;
  std::vector<DisplayObject*> kids;
  for (auto& kv : d->children) kids.push_back(kv.second);
  for (auto* k : kids) unloadTree(k);
  if (d->isClip() && d->loadDone) queueClipEvent(d, EvUnload, "onUnload");
  if (hover_ == d) hover_ = nullptr;
  if (pressed_ == d) pressed_ = nullptr;
}

void Player::removeAtDepth(DisplayObject* parent, int depth) {
  auto it = parent->children.find(depth);
  if (it == parent->children.end()) return;
  DisplayObject* d = it->second;
  parent->children.erase(it);
  unloadTree(d);
}

void Player::removeClip(DisplayObject* d) {
  if (!d || !d->parent || d->removed) return;
  auto it = d->parent->children.find(d->depth);
  if (it != d->parent->children.end() && it->second == d) d->parent->children.erase(it);
  // A clip a script removes waits for its unload handler below every timeline depth.
  if (keepForUnload(d)) d->depth = -32769 - d->depth;
  unloadTree(d);
}

// A clip with an unload handler lives on until the handler ran.
bool Player::keepForUnload(DisplayObject* d) {
  if (!d->isClip() || d->removed) return false;
  bool handler = false;
  for (auto& a : d->clipActions) handler = handler || (a.events & EvUnload);
  if (!handler && d->object) {
    Value f = getMember(Value(d->object), "onUnload");
    handler = f.isObject() && f.o->isCallable();
  }
  d->unloading = handler;
  return handler;
}

// Clips nested deeper than this are not created: a sprite that places itself would otherwise
// nest without end.
constexpr int kMaxNesting = 100;

static int nestingOf(const DisplayObject* d) {
  int n = 0;
  for (; d; d = d->parent) ++n;
  return n;
}

bool Player::roomFor(DisplayObject* parent) {
  if (liveObjects_ >= limits_.maxDisplayObjects || nestingOf(parent) >= kMaxNesting) {
    limitHit_ = true;
    return false;
  }
  return true;
}

DisplayObject* Player::placeCharacter(DisplayObject* parent, const PlaceInfo& p, bool fromGoto) {
  const Character* ch = parent->movie ? parent->movie->character(p.characterId) : nullptr;
  if (!ch) return nullptr;
  if (!roomFor(parent)) return nullptr;
  DisplayObject* d = newDisplayObject();
  d->movie = parent->movie;
  d->character = ch;
  d->characterId = ch->id;
  d->parent = parent;
  d->depth = static_cast<int>(p.depth) - kTimelineDepthOffset;
  switch (ch->kind) {
    case Character::Sprite: d->kind = DisplayObject::Clip; d->timeline = ch->sprite.get(); break;
    case Character::Shape: d->kind = DisplayObject::Shape; break;
    case Character::Button: d->kind = DisplayObject::Button; break;
    case Character::Text:
    case Character::EditText: d->kind = DisplayObject::Text; break;
    case Character::Bitmap: d->kind = DisplayObject::Bitmap; break;
    case Character::Morph: d->kind = DisplayObject::Morph; break;
    default: d->kind = DisplayObject::Other; break;
  }
  if (p.hasMatrix) d->matrix = p.matrix;
  if (p.hasCxform) d->cxform = p.cxform;
  if (p.hasRatio) d->ratio = p.ratio;
  if (p.hasClipDepth) d->clipDepth = static_cast<int>(p.clipDepth) - kTimelineDepthOffset, d->isMask = true;
  if (p.hasName)
    d->name = p.name;
  else if (d->kind == DisplayObject::Clip || d->kind == DisplayObject::Button || d->kind == DisplayObject::Text)
    d->name = "instance" + std::to_string(++instanceCounter_);
  d->clipActions = p.clipActions;
  d->placeFrame = parent->currentFrame;
  if (ch->text) {
    d->variable = ch->text->variableName;
    d->text = ch->text->initialText;
  }
  removeAtDepth(parent, d->depth);
  parent->children[d->depth] = d;
  (void)fromGoto;
  finishPlace(d);
  return d;
}

// Makes a newly placed object live: clips get their object, run their first frame and raise
// their load events.
void Player::finishPlace(DisplayObject* d) {
  if (d->kind == DisplayObject::Button) clipObject(d);
  if (!d->isClip()) return;
  Object* o = clipObject(d);
  // A linkage name registered with Object.registerClass gives the clip its class.
  Object* ctor = nullptr;
  if (d->movie && d->character) {
    for (auto& kv : d->movie->exports) {
      if (kv.second != d->characterId) continue;
      Property* reg = nullptr;
      Value regs = getMember(Value(global_), "__registeredClasses");
      if (regs.isObject()) reg = regs.o->find(kv.first, false);
      if (reg && reg->value.isObject()) ctor = reg->value.o;
    }
  }
  if (ctor) {
    Value proto = getMember(Value(ctor), "prototype");
    if (proto.isObject()) o->proto = proto.o;
  }
  // Initialize events run ahead of the actions already queued (an unload of the clip this
  // one replaces, the frame scripts).
  if (version() >= 6)
    for (auto& a : d->clipActions)
      if (a.events & EvInitialize) initQueue_.push_back(QueuedAction{d, a.code, nullptr, "", false});
  if (ctor) {
    QueuedAction q{d, {}, ctor, "", false};
    q.handlerName = "\x01construct";
    enqueue(q);
  } else if (version() >= 6) {
    queueClipEvent(d, EvConstruct, nullptr);
  }
  runFrameTags(d, 1, true);
  queueClipEvent(d, EvLoad, "onLoad");
  d->loadDone = true;
}

void Player::applyPlace(DisplayObject* parent, const PlaceInfo& p, bool fromGoto) {
  int depth = static_cast<int>(p.depth) - kTimelineDepthOffset;
  auto it = parent->children.find(depth);
  DisplayObject* existing = it == parent->children.end() ? nullptr : it->second;
  if (!p.move) {
    // A new character never replaces an occupied depth from the timeline.
    if (p.hasCharacter && !existing) placeCharacter(parent, p, fromGoto);
    return;
  }
  if (!existing) return;
  if (p.hasCharacter && p.characterId != existing->characterId) {
    // Replace the character but keep the instance (name, clip state) where kinds allow.
    const Character* ch = parent->movie ? parent->movie->character(p.characterId) : nullptr;
    if (ch && !existing->isClip() && ch->kind != Character::Sprite) {
      existing->character = ch;
      existing->characterId = ch->id;
      existing->kind = ch->kind == Character::Shape ? DisplayObject::Shape
                       : ch->kind == Character::Morph ? DisplayObject::Morph
                       : ch->kind == Character::Bitmap ? DisplayObject::Bitmap
                       : ch->kind == Character::Button ? DisplayObject::Button
                                                        : DisplayObject::Text;
    }
  }
  if (p.hasMatrix) {
    existing->matrix = p.matrix;
    existing->transformCached = false;
  }
  if (p.hasCxform) existing->cxform = p.cxform;
  if (p.hasRatio) existing->ratio = p.ratio;
  if (p.hasName) existing->name = p.name;
  if (p.hasClipDepth) existing->clipDepth = static_cast<int>(p.clipDepth) - kTimelineDepthOffset, existing->isMask = true;
}

void Player::queueFrameActions(DisplayObject* clip, const Frame& f) {
  (void)clip;
  (void)f;
}

// Actions queued while a frame is built wait by nesting level: the frame's own actions (and
// the load events of what it places) first, then the first-frame actions of new children,
// then grandchildren, so a parent's frame script runs before its new children's.
void Player::enqueue(const QueuedAction& q) {
  if (buildDepth_ == 0) {
    queue_.push_back(q);
    return;
  }
  if (levelQueues_.size() < static_cast<size_t>(buildDepth_)) levelQueues_.resize(buildDepth_);
  levelQueues_[buildDepth_ - 1].push_back(q);
}

struct Player::BuildScope {
  Player& p;
  explicit BuildScope(Player& pl) : p(pl) { ++p.buildDepth_; }
  ~BuildScope() {
    if (--p.buildDepth_ == 0) {
      for (auto& level : p.levelQueues_) {
        p.queue_.insert(p.queue_.end(), level.begin(), level.end());
        level.clear();
      }
    }
  }
};

void Player::runFrameTags(DisplayObject* clip, int frame1, bool runActions) {
  BuildScope scope(*this);
  clip->currentFrame = frame1;
  // Movies for the newer virtual machine still show their timeline; their code is not run.
  if (clip->movie && clip->movie->as3) runActions = false;
  const Frame* f = clip->timeline ? clip->timeline->frame(frame1 - 1) : nullptr;
  if (!f) return;
  if (runActions) {
    for (auto& ia : f->initActions) {
      auto key = std::make_pair(static_cast<const void*>(clip->movie.get()), ia.first);
      if (initDone_.insert(key).second) {
        QueuedAction q{clip, ia.second, nullptr, "", true};
        enqueue(q);
      }
    }
  }
  for (auto& t : f->tags) {
    if (clip->removed) return;
    switch (t.kind) {
      case FrameTag::Place: applyPlace(clip, *t.place, false); break;
      case FrameTag::Remove: removeAtDepth(clip, static_cast<int>(t.depth) - kTimelineDepthOffset); break;
      case FrameTag::Action:
        if (runActions) enqueue(QueuedAction{clip, t.action, nullptr, "", false});
        break;
    }
  }
}

// The depths a timeline manages; a rebuild leaves clips at other depths alone.
static bool timelineDepth(int depth) { return depth >= -kTimelineDepthOffset && depth < 0; }

void Player::gotoFrameOf(DisplayObject* clip, int frame1, bool stopAfter) {
  if (!clip || !clip->isClip() || clip->removed) return;
  if (stopAfter) clip->playing = false;
  int total = clip->totalFrames();
  if (frame1 < 1) frame1 = 1;
  if (frame1 > total) frame1 = total;
  int cur = clip->currentFrame;
  if (frame1 == cur) return;
  BuildScope scope(*this);
  if (frame1 == cur + 1) {
    runFrameTags(clip, frame1, true);
    return;
  }
  // Rebuild: replay the timeline's display-list tags up to the target frame into a map of
  // depth -> placement, then reconcile with the objects on stage.
  struct Entry {
    PlaceInfo place;
    int frame;  // frame that created the object
  };
  std::map<int, Entry> state;
  int from = 1;
  if (frame1 > cur) {
    from = cur + 1;
    for (auto& kv : clip->children) {
      if (!timelineDepth(kv.first)) continue;
      Entry e;
      e.place.hasCharacter = true;
      e.place.characterId = kv.second->characterId;
      e.place.depth = static_cast<uint16_t>(kv.first + kTimelineDepthOffset);
      e.frame = -kv.second->creation;  // marks "already on stage"
      state[kv.first] = e;
    }
  }
  for (int f = from; f <= frame1; ++f) {
    const Frame* fr = clip->timeline->frame(f - 1);
    if (!fr) continue;
    for (auto& t : fr->tags) {
      if (t.kind == FrameTag::Remove) {
        state.erase(static_cast<int>(t.depth) - kTimelineDepthOffset);
      } else if (t.kind == FrameTag::Place) {
        const PlaceInfo& p = *t.place;
        int depth = static_cast<int>(p.depth) - kTimelineDepthOffset;
        auto it = state.find(depth);
        if (!p.move) {
          if (p.hasCharacter) state[depth] = Entry{p, f};
        } else if (it != state.end()) {
          PlaceInfo& q = it->second.place;
          if (p.hasCharacter && p.characterId != q.characterId) {
            q.characterId = p.characterId;
          }
          if (p.hasMatrix) q.hasMatrix = true, q.matrix = p.matrix;
          if (p.hasCxform) q.hasCxform = true, q.cxform = p.cxform;
          if (p.hasRatio) q.hasRatio = true, q.ratio = p.ratio;
          if (p.hasName) q.hasName = true, q.name = p.name;
          if (p.hasClipDepth) q.hasClipDepth = true, q.clipDepth = p.clipDepth;
        }
      }
    }
  }
  // Remove timeline objects that are not part of the target frame.
  std::vector<int> drop;
  for (auto& kv : clip->children) {
    if (!timelineDepth(kv.first)) continue;
    auto it = state.find(kv.first);
    bool keep = false;
    if (it != state.end() && it->second.place.characterId == kv.second->characterId) {
      if (it->second.frame < 0)
        keep = -it->second.frame == kv.second->creation;
      else
        keep = kv.second->placeFrame == it->second.frame;
    }
    if (!keep) drop.push_back(kv.first);
  }
  for (int d : drop) removeAtDepth(clip, d);
  clip->currentFrame = frame1;
  const Frame* target = clip->timeline->frame(frame1 - 1);
  if (target)
    for (auto& ia : target->initActions) {
      auto key = std::make_pair(static_cast<const void*>(clip->movie.get()), ia.first);
      if (initDone_.insert(key).second) enqueue(QueuedAction{clip, ia.second, nullptr, "", true});
    }
  // The target frame's scripts run before the load events of what the jump places.
  if (target && !(clip->movie && clip->movie->as3))
    for (auto& t : target->tags)
      if (t.kind == FrameTag::Action) enqueue(QueuedAction{clip, t.action, nullptr, "", false});
  for (auto& kv : state) {
    if (clip->removed) return;
    auto it = clip->children.find(kv.first);
    const PlaceInfo& p = kv.second.place;
    if (it != clip->children.end()) {
      DisplayObject* d = it->second;
      if (p.hasMatrix) d->matrix = p.matrix, d->transformCached = false;
      if (p.hasCxform) d->cxform = p.cxform;
      if (p.hasRatio) d->ratio = p.ratio;
    } else {
      PlaceInfo np = p;
      np.move = false;
      np.hasCharacter = true;
      if (DisplayObject* d = placeCharacter(clip, np, true)) d->placeFrame = kv.second.frame;
    }
  }
}

bool Player::gotoValue(DisplayObject* clip, const Value& frame, bool andPlay, int bias) {
  if (!clip || !clip->isClip()) return false;
  int target = -1;
  DisplayObject* c = clip;
  if (frame.type == Value::String) {
    std::string s = frame.s;
    size_t colon = s.rfind(':');
    if (colon != std::string::npos) {
      c = resolveTargetPath(clip, s.substr(0, colon));
      s = s.substr(colon + 1);
      if (!c || !c->isClip()) return false;
    }
    double n = stringToNumber(s, 7);
    if (!std::isnan(n) && !s.empty())
      target = clampToInt(n);
    else
      target = c->timeline ? c->timeline->findLabel(s) + 1 : 0;
    if (target <= 0) return false;
  } else {
    double n = toNumber(frame);
    if (std::isnan(n)) return false;
    target = clampToInt(n);
  }
  target = static_cast<int>(std::min<long>(static_cast<long>(target) + bias, 2147483647L));
  if (target <= 0) return false;
  c->playing = andPlay;
  gotoFrameOf(c, target, !andPlay);
  if (andPlay) c->playing = true;
  return true;
}

void Player::runFrameActionsNow(DisplayObject* clip, int frame1) {
  if (!clip || !clip->timeline) return;
  const Frame* f = clip->timeline->frame(frame1 - 1);
  if (!f) return;
  for (auto& t : f->tags)
    if (t.kind == FrameTag::Action) executeCode(t.action, clip, clip->version());
}

// ---------------------------------------------------------------------------------------
// Frame cycle

void Player::queueClipEventForAll(uint32_t event, const char* handler) {
  std::vector<DisplayObject*> clips;
  for (auto& kv : levels_) collectClips(kv.second, clips);
  for (DisplayObject* c : clips) queueClipEvent(c, event, handler);
}

void Player::collectClips(DisplayObject* d, std::vector<DisplayObject*>& out) {
  if (d->removed) return;
  out.push_back(d);
  for (auto& kv : d->children)
    if (kv.second->isClip()) collectClips(kv.second, out);
}

void Player::advanceClip(DisplayObject* clip) {
  if (!clip->playing || clip->removed) return;
  int total = clip->totalFrames();
  if (clip->currentFrame < total) {
    runFrameTags(clip, clip->currentFrame + 1, true);
  } else if (total > 1) {
    gotoFrameOf(clip, 1, false);
  }
}

void Player::advance() {
  if (!movie_ || quit_) return;
  ++ticks_;
  inRun_ = true;
  frameStack_.clear();
  std::vector<DisplayObject*> clips;
  for (auto& kv : levels_) collectClips(kv.second, clips);
  std::stable_sort(clips.begin(), clips.end(),
                   [](DisplayObject* a, DisplayObject* b) { return a->creation > b->creation; });
  try {
    for (DisplayObject* c : clips) {
      if (c->removed) continue;
      queueClipEvent(c, EvEnterFrame, "onEnterFrame");
      advanceClip(c);
    }
  } catch (const ScriptAbort&) {
  }
  runQueue();
  // Intervals whose time has come.
  double now = timeMs();
  for (size_t i = 0; i < intervals.size(); ++i) {
    if (intervals[i].nextMs > now) continue;
    intervals[i].nextMs = now + std::max(1.0, intervals[i].periodMs);
    Interval iv = intervals[i];
    try {
      Args args = iv.args;
      if (!iv.method.empty()) {
        Value f = getMember(iv.target, iv.method);
        call(f, iv.target, args);
      } else {
        call(iv.fn, Value(), args);
      }
    } catch (const ScriptAbort&) {
    }
    runQueue();
  }
  inRun_ = false;
  maybeCollect();
}

void Player::queueClipEvent(DisplayObject* clip, uint32_t event, const char* handler) {
  for (auto& a : clip->clipActions)
    if (a.events & event) enqueue(QueuedAction{clip, a.code, nullptr, "", false});
  if (handler && clip->object) {
    QueuedAction q{clip, {}, nullptr, handler, false};
    enqueue(q);
  }
}

void Player::runClipEventNow(DisplayObject* clip, uint32_t event, const char* handler, int keyCode) {
  for (auto& a : clip->clipActions)
    if ((a.events & event) && (event != EvKeyPress || a.keyCode == keyCode))
      executeCode(a.code, clip, clip->version());
  if (handler && clip->object && !clip->removed) {
    Value f = getMember(Value(clip->object), handler);
    if (f.isObject() && f.o->isCallable()) {
      Args none;
      call(f, Value(clip->object), none);
    }
  }
}

void Player::runQueue() {
  size_t guard = 0;
  while (!queue_.empty() || !initQueue_.empty()) {
    std::vector<QueuedAction> batch;
    batch.swap(initQueue_);
    batch.insert(batch.end(), queue_.begin(), queue_.end());
    queue_.clear();
    for (size_t i = 0; i < batch.size(); ++i) {
      QueuedAction& q = batch[i];
      if (++guard > 1000000) {
        limitHit_ = true;
        queue_.clear();
        initQueue_.clear();
        return;
      }
      try {
        if (q.fn) {
          if (!q.clip->object) continue;
          Args none;
          Value self(q.clip->object);
          call(Value(q.fn), self, none);
        } else if (!q.handlerName.empty()) {
          if (q.clip->removed && q.handlerName != "onUnload") continue;
          if (!q.clip->object) continue;
          Value f = getMember(Value(q.clip->object), q.handlerName);
          if (f.isObject() && f.o->isCallable()) {
            Args none;
            call(f, Value(q.clip->object), none);
          }
        } else {
          // Frame scripts of a clip removed meanwhile do not run; unload handlers do.
          if (q.clip->removed && !q.isInit) {
            bool isUnload = false;
            for (auto& a : q.clip->clipActions)
              if ((a.events & EvUnload) && a.code.offset == q.code.offset) isUnload = true;
            if (!isUnload) continue;
          }
          executeCode(q.code, q.clip, q.clip->version());
        }
      } catch (const ScriptAbort&) {
      }
      // Actions queued meanwhile (a goto's frame scripts) wait for the rest of the batch.
    }
  }
}

// ---------------------------------------------------------------------------------------
// Paths

std::string Player::targetPath(DisplayObject* d) {
  if (!d) return "";
  std::vector<std::string> parts;
  DisplayObject* c = d;
  while (c && c->level < 0) {
    parts.push_back(c->name);
    c = c->parent;
  }
  std::string s = c ? "_level" + std::to_string(c->level) : "";
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) s += "." + *it;
  return s;
}

std::string Player::slashPath(DisplayObject* d) {
  if (!d) return "";
  std::vector<std::string> parts;
  DisplayObject* c = d;
  while (c && c->level < 0) {
    parts.push_back(c->name);
    c = c->parent;
  }
  std::string s;
  if (c && c->level > 0) s = "_level" + std::to_string(c->level);
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) s += "/" + *it;
  return s.empty() ? "/" : s;
}

static bool parseLevel(const std::string& seg, bool cs, int& level) {
  const char* pre = nullptr;
  if (namesEqual(seg.substr(0, 6), "_level", cs))
    pre = "_level";
  else if (namesEqual(seg.substr(0, 6), "_flash", cs))
    pre = "_flash";
  if (!pre || seg.size() <= 6 || seg.size() > 12) return false;
  int v = 0;
  for (size_t i = 6; i < seg.size(); ++i) {
    if (seg[i] < '0' || seg[i] > '9') return false;
    v = v * 10 + (seg[i] - '0');
  }
  level = v;
  return true;
}

DisplayObject* Player::clipOf(const Value& v) {
  if (v.isObject() && v.o->kind == Object::Clip && v.o->clip) return liveClip(v.o->clip);
  return nullptr;
}

DisplayObject* Player::liveClip(DisplayObject* d) {
  // A clip waiting for its unload handler still answers for itself.
  if (!d || !d->removed || d->unloading) return d;
  // A reference to a removed clip finds the clip now at the same path, if any.
  std::vector<const std::string*> names;
  DisplayObject* c = d;
  for (int guard = 0; c && c->level < 0 && guard < 1000; c = c->parent, ++guard) names.push_back(&c->name);
  if (!c || c->level < 0) return nullptr;
  DisplayObject* cur = root(c->level);
  bool cs = caseSensitive();
  for (auto it = names.rbegin(); cur && it != names.rend(); ++it) {
    DisplayObject* found = nullptr;
    for (auto& kv : cur->children)
      if (kv.second->isClip() && !kv.second->name.empty() && namesEqual(kv.second->name, **it, cs)) {
        found = kv.second;
        break;
      }
    cur = found;
  }
  return cur;
}

DisplayObject* Player::resolveTargetPath(DisplayObject* base, const std::string& path) {
  if (!base) return nullptr;
  bool cs = caseSensitive();
  DisplayObject* cur = base;
  size_t i = 0;
  if (path.empty()) return base;
  if (path[0] == '/') {
    while (cur->parent) cur = cur->parent;
    i = 1;
  }
  bool slashes = path.find('/') != std::string::npos || path.find(':') != std::string::npos;
  while (i < path.size()) {
    size_t j = i;
    if (slashes) {
      while (j < path.size() && path[j] != '/' && path[j] != ':') ++j;
    } else {
      // Dots separate names, except the ".." of a parent reference.
      if (path.compare(i, 2, "..") == 0) {
        j = i + 2;
      } else {
        while (j < path.size() && path[j] != '.') ++j;
      }
    }
    std::string seg = path.substr(i, j - i);
    i = j < path.size() ? j + 1 : j;
    if (seg.empty()) continue;
    int level;
    if (seg == "..") {
      cur = cur->parent;
    } else if (seg == ".") {
    } else if (namesEqual(seg, "_root", cs)) {
      while (cur->parent) cur = cur->parent;
    } else if (namesEqual(seg, "_parent", cs)) {
      cur = cur->parent;
    } else if (namesEqual(seg, "this", cs)) {
    } else if (parseLevel(seg, cs, level)) {
      cur = root(level);
    } else {
      DisplayObject* found = nullptr;
      for (auto& kv : cur->children)
        if (!kv.second->name.empty() && namesEqual(kv.second->name, seg, cs)) {
          found = kv.second;
          break;
        }
      if (!found && cur->object) {
        Property* p = cur->object->find(seg, cs);
        if (p) found = clipOf(p->value);
      }
      cur = found;
    }
    if (!cur) return nullptr;
  }
  return cur;
}

DisplayObject* Player::findTarget(const std::string& path) {
  DisplayObject* r = root(0);
  if (!r) return nullptr;
  if (path.empty() || path == "/") return r;
  return resolveTargetPath(r, path);
}

// ---------------------------------------------------------------------------------------
// Display properties

int Player::propertyIndex(const std::string& name) {
  static const char* names[] = {"_x", "_y", "_xscale", "_yscale", "_currentframe", "_totalframes",
                                "_alpha", "_visible", "_width", "_height", "_rotation", "_target",
                                "_framesloaded", "_name", "_droptarget", "_url", "_highquality",
                                "_focusrect", "_soundbuftime", "_quality", "_xmouse", "_ymouse"};
  if (name.empty() || name[0] != '_') return -1;
  for (int i = 0; i < 22; ++i)
    if (namesEqual(name, names[i], false)) return i;
  return -1;
}

static void cacheTransform(DisplayObject* d) {
  if (d->transformCached) return;
  const Matrix& m = d->matrix;
  d->xscale = std::sqrt(m.a * m.a + m.b * m.b) * 100;
  d->yscale = std::sqrt(m.c * m.c + m.d * m.d) * 100;
  if (m.a * m.d - m.b * m.c < 0) d->yscale = -d->yscale;
  d->rotation = std::atan2(m.b, m.a) * 180 / M_PI;
  d->transformCached = true;
}

static void rebuildMatrix(DisplayObject* d) {
  double r = d->rotation * M_PI / 180;
  double sx = d->xscale / 100, sy = d->yscale / 100;
  d->matrix.a = sx * std::cos(r);
  d->matrix.b = sx * std::sin(r);
  d->matrix.c = -sy * std::sin(r);
  d->matrix.d = sy * std::cos(r);
}

Matrix Player::worldMatrix(DisplayObject* d) {
  Matrix m;
  for (DisplayObject* c = d; c; c = c->parent) m = c->matrix * m;
  return m;
}

Rect Player::boundsOf(DisplayObject* d, DisplayObject* space) {
  // Local bounds of the object and its children, then mapped into `space`.
  Rect local{};
  bool any = false;
  auto add = [&](const Rect& r) {
    if (r.xmax < r.xmin || r.ymax < r.ymin) return;
    if (!any) {
      local = r;
      any = true;
    } else {
      local.xmin = std::min(local.xmin, r.xmin);
      local.ymin = std::min(local.ymin, r.ymin);
      local.xmax = std::max(local.xmax, r.xmax);
      local.ymax = std::max(local.ymax, r.ymax);
    }
  };
  if (d->character && d->kind != DisplayObject::Clip) add(d->character->bounds);
  if (d->kind == DisplayObject::Button && d->character && d->character->button) {
    for (auto& rec : d->character->button->records) {
      if (!(rec.states & 1)) continue;
      const Character* c = d->movie ? d->movie->character(rec.characterId) : nullptr;
      if (c) add(transformRect(rec.matrix, c->bounds));
    }
  }
  for (auto& kv : d->children) {
    Rect r = boundsOf(kv.second, nullptr);
    if (r.xmax >= r.xmin) add(transformRect(kv.second->matrix, r));
  }
  if (!any) return Rect{0, -1, 0, -1};
  if (!space) return local;
  Matrix m = worldMatrix(d);
  Matrix toSpace = worldMatrix(space).inverted() * m;
  return transformRect(toSpace, local);
}

Value Player::getClipProperty(DisplayObject* d, int index) {
  if (!d) return Value();
  switch (index) {
    case 0: return Value(d->matrix.tx / 20.0);
    case 1: return Value(d->matrix.ty / 20.0);
    case 2: cacheTransform(d); return Value(d->xscale);
    case 3: cacheTransform(d); return Value(d->yscale);
    case 4: return Value(d->isClip() ? d->currentFrame : 1);
    case 5: return Value(d->isClip() ? d->totalFrames() : 1);
    case 6: return Value(d->cxform.am * 100);
    case 7: return Value(d->visible);
    case 8:
    case 9: {
      Rect r = boundsOf(d, nullptr);
      if (r.xmax < r.xmin) return Value(0);
      Rect t = transformRect(d->matrix, r);
      return Value(index == 8 ? (t.xmax - t.xmin) / 20.0 : (t.ymax - t.ymin) / 20.0);
    }
    case 10: cacheTransform(d); return Value(d->rotation);
    case 11: return Value(slashPath(d));
    case 12: return Value(d->isClip() ? d->totalFrames() : 1);
    case 13: return Value(d->name);
    case 14: return Value("");
    case 15: return Value("file:///test.swf");
    case 16: return Value(1);
    case 17: return Value(1);
    case 18: return Value(5);
    case 19: return Value("HIGH");
    case 20:
    case 21: {
      Matrix inv = worldMatrix(d).inverted();
      double x, y;
      inv.apply(mouseX_, mouseY_, x, y);
      return Value(std::round(index == 20 ? x / 20 : y / 20));
    }
  }
  return Value();
}

void Player::setClipProperty(DisplayObject* d, int index, const Value& v) {
  if (!d) return;
  double n = toNumber(v);
  bool finite = std::isfinite(n);
  switch (index) {
    case 0: if (finite) d->matrix.tx = std::round(n * 20); break;
    case 1: if (finite) d->matrix.ty = std::round(n * 20); break;
    case 2: if (finite) { cacheTransform(d); d->xscale = n; rebuildMatrix(d); } break;
    case 3: if (finite) { cacheTransform(d); d->yscale = n; rebuildMatrix(d); } break;
    case 6: if (finite) d->cxform.am = n / 100; break;
    case 7: if (!std::isnan(n) || v.type == Value::Bool) d->visible = toBoolean(v); break;
    case 8:
    case 9: {
      if (!finite || n < 0) break;
      Rect r = boundsOf(d, nullptr);
      if (r.xmax <= r.xmin && index == 8) break;
      if (r.ymax <= r.ymin && index == 9) break;
      cacheTransform(d);
      double size = index == 8 ? (r.xmax - r.xmin) / 20.0 : (r.ymax - r.ymin) / 20.0;
      if (index == 8) d->xscale = n / size * 100; else d->yscale = n / size * 100;
      rebuildMatrix(d);
      break;
    }
    case 10:
      if (finite) {
        cacheTransform(d);
        double r = std::fmod(n, 360.0);
        if (r > 180) r -= 360;
        if (r < -180) r += 360;
        d->rotation = r;
        rebuildMatrix(d);
      }
      break;
    case 13: d->name = toString(v); break;
    default: break;
  }
}

// ---------------------------------------------------------------------------------------
// Clip creation by script

DisplayObject* Player::createEmptyClip(DisplayObject* parent, const std::string& name, int depth) {
  if (!parent || !parent->isClip() || !roomFor(parent)) return nullptr;
  static const Timeline empty;
  DisplayObject* d = newDisplayObject();
  d->kind = DisplayObject::Clip;
  d->movie = parent->movie;
  d->timeline = &empty;
  d->parent = parent;
  d->depth = depth;
  d->name = name;
  d->byScript = true;
  removeAtDepth(parent, depth);
  parent->children[depth] = d;
  Object* o = clipObject(d);
  (void)o;
  d->currentFrame = 1;
  d->loadDone = true;
  return d;
}

DisplayObject* Player::attachClip(DisplayObject* parent, uint16_t id, const std::string& name, int depth,
                                  Object* init) {
  if (!parent || !parent->isClip() || !parent->movie || !creatableDepth(depth)) return nullptr;
  PlaceInfo p;
  p.hasCharacter = true;
  p.characterId = id;
  p.depth = 0;
  p.hasName = true;
  p.name = name;
  const Character* ch = parent->movie->character(id);
  if (!ch || ch->kind != Character::Sprite) return nullptr;
  if (!roomFor(parent)) return nullptr;
  DisplayObject* d = newDisplayObject();
  d->movie = parent->movie;
  d->character = ch;
  d->characterId = id;
  d->kind = DisplayObject::Clip;
  d->timeline = ch->sprite.get();
  d->parent = parent;
  d->depth = depth;
  d->name = name;
  d->byScript = true;
  removeAtDepth(parent, depth);
  parent->children[depth] = d;
  Object* o = clipObject(d);
  if (init)
    for (auto& pr : init->props) setMember(Value(o), pr.name, pr.value);
  finishPlace(d);
  return d;
}

DisplayObject* Player::duplicateClip(DisplayObject* src, const std::string& name, int depth, Object* init) {
  if (!src || !src->isClip() || !src->parent || src->level >= 0 || !creatableDepth(depth)) return nullptr;
  DisplayObject* parent = src->parent;
  if (!roomFor(parent)) return nullptr;
  DisplayObject* d = newDisplayObject();
  d->movie = src->movie;
  d->character = src->character;
  d->characterId = src->characterId;
  d->kind = DisplayObject::Clip;
  d->timeline = src->timeline;
  d->parent = parent;
  d->depth = depth;
  d->name = name;
  d->matrix = src->matrix;
  d->cxform = src->cxform;
  d->clipActions = src->clipActions;
  d->byScript = true;
  d->visible = src->visible;
  removeAtDepth(parent, depth);
  parent->children[depth] = d;
  Object* o = clipObject(d);
  if (init)
    for (auto& pr : init->props) setMember(Value(o), pr.name, pr.value);
  finishPlace(d);
  return d;
}

void Player::swapDepths(DisplayObject* d, const Value& target) {
  if (!d || !d->parent || d->removed) return;
  DisplayObject* parent = d->parent;
  int newDepth;
  DisplayObject* other = clipOf(target);
  if (other) {
    if (other->parent != parent || other == d) return;
    newDepth = other->depth;
  } else {
    double n = toNumber(target);
    if (!std::isfinite(n)) return;
    newDepth = clampToInt(n);
  }
  int oldDepth = d->depth;
  if (newDepth == oldDepth) return;
  auto it = parent->children.find(newDepth);
  DisplayObject* at = it == parent->children.end() ? nullptr : it->second;
  parent->children.erase(oldDepth);
  if (at) {
    at->depth = oldDepth;
    parent->children[oldDepth] = at;
  }
  d->depth = newDepth;
  parent->children[newDepth] = d;
  d->byScript = true;
}

// ---------------------------------------------------------------------------------------
// Host operations

static Value textValue(const std::string& s) { return Value(s); }

bool Player::getVariable(const std::string& path, std::string& out) {
  DisplayObject* r = root(0);
  if (!r) return false;
  std::string obj, var;
  size_t p = path.rfind(':');
  if (p == std::string::npos) {
    size_t dot = path.rfind('.');
    if (dot != std::string::npos) p = dot;
  }
  Value base;
  if (p == std::string::npos) {
    base = Value(r->object);
    var = path;
  } else {
    var = path.substr(p + 1);
    std::string head = path.substr(0, p);
    DisplayObject* t = resolveTargetPath(r, head);
    if (t) {
      base = Value(clipObject(t));
    } else {
      // A dotted path through ordinary objects: walk it member by member.
      Value cur(r->object);
      size_t i = 0;
      while (i <= head.size()) {
        size_t j = head.find('.', i);
        if (j == std::string::npos) j = head.size();
        std::string seg = head.substr(i, j - i);
        if (!seg.empty() && !namesEqual(seg, "_root", caseSensitive()) && !namesEqual(seg, "_level0", caseSensitive())) {
          if (!cur.isObject() || !hasMember(cur, seg)) return false;
          cur = getMember(cur, seg);
        }
        i = j + 1;
      }
      base = cur;
    }
  }
  if (!base.isObject()) return false;
  bool outer = !inRun_;
  inRun_ = true;
  bool ok = false;
  try {
    if (hasMember(base, var)) {
      Value v = getMember(base, var);
      if (DisplayObject* c = clipOf(v))
        out = targetPath(c);
      else if (v.type == Value::Undefined)
        out = "undefined";
      else if (v.type == Value::Null)
        out = "null";
      else
        out = toString(v);
      ok = true;
    } else if (p == std::string::npos || var.empty()) {
      DisplayObject* t = resolveTargetPath(r, path);
      if (t) {
        out = targetPath(t);
        ok = true;
      }
    }
  } catch (const ScriptAbort&) {
  }
  if (outer) {
    runQueue();
    inRun_ = false;
  }
  return ok;
}

bool Player::setVariable(const std::string& path, const std::string& value) {
  DisplayObject* r = root(0);
  if (!r) return false;
  size_t p = path.rfind(':');
  if (p == std::string::npos) p = path.rfind('.');
  Value base(r->object);
  std::string var = path;
  if (p != std::string::npos) {
    var = path.substr(p + 1);
    std::string head = path.substr(0, p);
    DisplayObject* t = resolveTargetPath(r, head);
    if (t) {
      base = Value(clipObject(t));
    } else {
      std::string v;
      Value cur(r->object);
      size_t i = 0;
      while (i <= head.size()) {
        size_t j = head.find('.', i);
        if (j == std::string::npos) j = head.size();
        std::string seg = head.substr(i, j - i);
        if (!seg.empty() && !namesEqual(seg, "_root", caseSensitive()) && !namesEqual(seg, "_level0", caseSensitive())) {
          if (!cur.isObject()) return false;
          cur = getMember(cur, seg);
        }
        i = j + 1;
      }
      if (!cur.isObject()) return false;
      base = cur;
    }
  }
  if (var.empty()) return false;
  bool outer = !inRun_;
  inRun_ = true;
  try {
    setMember(base, var, textValue(value));
  } catch (const ScriptAbort&) {
  }
  if (outer) {
    runQueue();
    inRun_ = false;
  }
  return true;
}

bool Player::play(const std::string& target) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip()) return false;
  t->playing = true;
  return true;
}

bool Player::stop(const std::string& target) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip()) return false;
  t->playing = false;
  return true;
}

bool Player::gotoFrame(const std::string& target, int frame0, bool andPlay) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip() || frame0 < 0) return false;
  bool outer = !inRun_;
  inRun_ = true;
  try {
    gotoFrameOf(t, frame0 + 1, !andPlay);
    if (andPlay) t->playing = true;
  } catch (const ScriptAbort&) {
  }
  if (outer) {
    runQueue();
    inRun_ = false;
  }
  return true;
}

bool Player::gotoLabel(const std::string& target, const std::string& label, bool andPlay) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip() || !t->timeline) return false;
  int f = t->timeline->findLabel(label);
  if (f < 0) return false;
  return gotoFrame(target, f, andPlay);
}

bool Player::callFrame(const std::string& target, int frame0) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip() || frame0 < 0 || frame0 >= t->totalFrames()) return false;
  bool outer = !inRun_;
  inRun_ = true;
  try {
    runFrameActionsNow(t, frame0 + 1);
  } catch (const ScriptAbort&) {
  }
  if (outer) {
    runQueue();
    inRun_ = false;
  }
  return true;
}

bool Player::callLabel(const std::string& target, const std::string& label) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip() || !t->timeline) return false;
  int f = t->timeline->findLabel(label);
  if (f < 0) return false;
  return callFrame(target, f);
}

int Player::currentFrame(const std::string& target) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip()) return -1;
  return std::max(0, t->currentFrame - 1);
}

std::string Player::currentLabel(const std::string& target) {
  DisplayObject* t = findTarget(target);
  if (!t || !t->isClip() || !t->timeline) return "";
  for (int f = t->currentFrame; f >= 1; --f) {
    const Frame* fr = t->timeline->frame(f - 1);
    if (fr && !fr->labels.empty()) return fr->labels.back();
  }
  return "";
}

bool Player::getProperty(const std::string& target, int index, std::string& out) {
  DisplayObject* t = findTarget(target);
  if (!t || index < 0 || index > 21) return false;
  out = toString(getClipProperty(t, index));
  return true;
}

bool Player::setProperty(const std::string& target, int index, const std::string& value) {
  DisplayObject* t = findTarget(target);
  if (!t || index < 0 || index > 21) return false;
  setClipProperty(t, index, Value(value));
  return true;
}

bool Player::isPlaying() const {
  DisplayObject* r = root(0);
  return r && r->playing;
}

int Player::totalFrames() const {
  DisplayObject* r = root(0);
  return r ? r->totalFrames() : 0;
}

void Player::trace(const std::string& text) {
  if (onTrace) onTrace(text);
}

void Player::fsCommand(const std::string& command, const std::string& args) {
  if (namesEqual(command, "quit", false)) quit_ = true;
  if (onFSCommand) onFSCommand(command, args);
}

double Player::random(double limit) {
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 17;
  rng_ ^= rng_ << 5;
  return std::floor((rng_ / 4294967296.0) * limit);
}

double Player::timeMs() const { return timeBase_ + ticks_ * (1000.0 / std::max(1.0, movie_ ? movie_->header.frameRate() : 12.0)); }

// ---------------------------------------------------------------------------------------
// Input: buttons and clip mouse/key events

DisplayObject* Player::hitButton(DisplayObject* d, double x, double y) {
  if (d->removed || !d->visible) return nullptr;
  for (auto it = d->children.rbegin(); it != d->children.rend(); ++it) {
    DisplayObject* c = it->second;
    if (DisplayObject* h = hitButton(c, x, y)) return h;
  }
  if (d->kind == DisplayObject::Button && d->character && d->character->button) {
    Matrix inv = worldMatrix(d).inverted();
    double lx, ly;
    inv.apply(x, y, lx, ly);
    for (auto& rec : d->character->button->records) {
      if (!(rec.states & 8)) continue;
      const Character* c = d->movie->character(rec.characterId);
      if (!c) continue;
      Rect r = transformRect(rec.matrix, c->bounds);
      if (lx >= r.xmin && lx <= r.xmax && ly >= r.ymin && ly <= r.ymax) return d;
    }
  }
  return nullptr;
}

// Runs a button's actions for one state transition (the condition bits of DefineButton2)
// and its matching handler methods.
void Player::buttonEvent(DisplayObject* b, uint16_t condition) {
  if (!b || b->removed || !b->character || !b->character->button) return;
  for (auto& a : b->character->button->actions)
    if (a.conditions & condition & 0x01FF) queue_.push_back(QueuedAction{b->parent ? b->parent : b, a.code, nullptr, "", false});
  static const std::pair<uint16_t, const char*> handlers[] = {
      {0x0001, "onRollOver"}, {0x0002, "onRollOut"}, {0x0004, "onPress"}, {0x0008, "onRelease"},
      {0x0040, "onReleaseOutside"}, {0x0010, "onDragOut"}, {0x0020, "onDragOver"}};
  for (auto& h : handlers)
    if ((condition & h.first) && b->object) queue_.push_back(QueuedAction{b, {}, nullptr, h.second, false});
}

void Player::updateButtonStates() {
  if (hover_) hover_->buttonState = mouseDown_ && pressed_ == hover_ ? 2 : pressed_ && pressed_ != hover_ ? 0 : 1;
  if (pressed_ && pressed_ != hover_) pressed_->buttonState = 0;
}

void Player::mouseMove(double x, double y) {
  mouseX_ = x;
  mouseY_ = y;
  if (!movie_) return;
  DisplayObject* r = root(0);
  DisplayObject* hit = r ? hitButton(r, x, y) : nullptr;
  inRun_ = true;
  if (hit != hover_) {
    DisplayObject* old = hover_;
    hover_ = hit;
    if (old) {
      old->buttonState = 0;
      if (mouseDown_ && pressed_ == old)
        buttonEvent(old, 0x0010);  // dragged out while pressed
      else if (!mouseDown_)
        buttonEvent(old, 0x0002);
    }
    if (hit) {
      if (mouseDown_ && pressed_ == hit)
        buttonEvent(hit, 0x0020);  // dragged back over
      else if (!mouseDown_)
        buttonEvent(hit, 0x0001);
    }
    updateButtonStates();
  }
  queueClipEventForAll(EvMouseMove, "onMouseMove");
  runQueue();
  inRun_ = false;
}

void Player::mouseDown() {
  if (!movie_) return;
  mouseDown_ = true;
  inRun_ = true;
  pressed_ = hover_;
  if (hover_) buttonEvent(hover_, 0x0004);
  updateButtonStates();
  queueClipEventForAll(EvMouseDown, "onMouseDown");
  runQueue();
  inRun_ = false;
}

void Player::mouseUp() {
  if (!movie_) return;
  mouseDown_ = false;
  inRun_ = true;
  if (pressed_) buttonEvent(pressed_, pressed_ == hover_ ? 0x0008 : 0x0040);
  if (pressed_ && pressed_ != hover_) pressed_->buttonState = 0;
  pressed_ = nullptr;
  updateButtonStates();
  queueClipEventForAll(EvMouseUp, "onMouseUp");
  runQueue();
  inRun_ = false;
}

static void collectButtons(DisplayObject* d, std::vector<DisplayObject*>& out) {
  if (d->removed) return;
  if (d->kind == DisplayObject::Button) out.push_back(d);
  for (auto& kv : d->children) collectButtons(kv.second, out);
}

void Player::keyDown(int keyCode, int charCode) {
  if (!movie_) return;
  lastKey = keyCode;
  lastAscii = charCode;
  inRun_ = true;
  std::vector<DisplayObject*> buttons;
  for (auto& kv : levels_) collectButtons(kv.second, buttons);
  // Button key conditions carry the key in bits 9-15: printable characters by code, and
  // the special keys 1-19 (left, right, home, end, insert, delete, backspace, enter, up,
  // down, page up, page down, tab, escape).
  int code = charCode;
  static const std::pair<int, int> special[] = {{37, 1}, {39, 2}, {36, 3}, {35, 4}, {45, 5}, {46, 6},
                                                {8, 8},  {13, 13}, {38, 14}, {40, 15}, {33, 16},
                                                {34, 17}, {9, 18}, {27, 19}};
  for (auto& s : special)
    if (s.first == keyCode) code = s.second;
  for (DisplayObject* b : buttons)
    for (auto& a : b->character->button->actions)
      if (code > 0 && (a.conditions >> 9) == code)
        queue_.push_back(QueuedAction{b->parent ? b->parent : b, a.code, nullptr, "", false});
  std::vector<DisplayObject*> clips;
  for (auto& kv : levels_) collectClips(kv.second, clips);
  for (DisplayObject* c : clips) {
    queueClipEvent(c, EvKeyDown, nullptr);
    for (auto& a : c->clipActions)
      if ((a.events & EvKeyPress) && a.keyCode == code) queue_.push_back(QueuedAction{c, a.code, nullptr, "", false});
  }
  for (Object* l : std::vector<Object*>(keyListeners)) {
    Value f = getMember(Value(l), "onKeyDown");
    if (f.isObject()) {
      Args none;
      try {
        call(f, Value(l), none);
      } catch (const ScriptAbort&) {
      }
    }
  }
  runQueue();
  inRun_ = false;
}

void Player::keyUp(int keyCode) {
  if (!movie_) return;
  (void)keyCode;
  inRun_ = true;
  std::vector<DisplayObject*> clips;
  for (auto& kv : levels_) collectClips(kv.second, clips);
  for (DisplayObject* c : clips) queueClipEvent(c, EvKeyUp, nullptr);
  for (Object* l : std::vector<Object*>(keyListeners)) {
    Value f = getMember(Value(l), "onKeyUp");
    if (f.isObject()) {
      Args none;
      try {
        call(f, Value(l), none);
      } catch (const ScriptAbort&) {
      }
    }
  }
  runQueue();
  inRun_ = false;
}

// ---------------------------------------------------------------------------------------
// Collector: between frames nothing on the native stack refers to heap objects, so the
// roots are the global object, the prototypes, the display lists and the timers.

void Player::markValue(const Value& v) {
  if (v.type == Value::Obj && v.o) mark(v.o);
}

void Player::markDisplay(DisplayObject* d) {
  if (!d) return;
  if (d->object) mark(d->object);
  for (auto& kv : d->children) markDisplay(kv.second);
}

void Player::mark(Object* root) {
  std::vector<Object*> stack{root};
  while (!stack.empty()) {
    Object* o = stack.back();
    stack.pop_back();
    if (!o || o->marked) continue;
    o->marked = true;
    stack.push_back(o->proto);
    for (auto& p : o->props) {
      if (p.value.type == Value::Obj) stack.push_back(p.value.o);
      stack.push_back(p.getter);
      stack.push_back(p.setter);
    }
    for (auto& e : o->elems)
      if (e.type == Value::Obj) stack.push_back(e.o);
    if (o->fn) {
      for (Object* s : o->fn->scope) stack.push_back(s);
      if (o->fn->target && o->fn->target->object) stack.push_back(o->fn->target->object);
    }
    if (o->clip) {
      if (o->clip->object) stack.push_back(o->clip->object);
      for (DisplayObject* c = o->clip->parent; c; c = c->parent)
        if (c->object) stack.push_back(c->object);
      std::vector<DisplayObject*> kids;
      for (auto& kv : o->clip->children) kids.push_back(kv.second);
      while (!kids.empty()) {
        DisplayObject* k = kids.back();
        kids.pop_back();
        if (k->object) stack.push_back(k->object);
        for (auto& kv : k->children) kids.push_back(kv.second);
      }
    }
    stack.push_back(o->superThis);
    stack.push_back(o->superProto);
    for (auto& w : o->watches) {
      stack.push_back(w.second.first);
      if (w.second.second.type == Value::Obj) stack.push_back(w.second.second.o);
    }
    for (Object* i : o->interfaces) stack.push_back(i);
    if (o->primitive.type == Value::Obj) stack.push_back(o->primitive.o);
  }
}

void Player::maybeCollect() {
  if (heap_.size() < 50000 || heap_.size() < heapAtLastCollect_ * 2) return;
  for (auto& o : heap_) o->marked = false;
  for (Object* o : {global_, objectProto_, functionProto_, arrayProto_, clipProto_, buttonProto_,
                    errorProto_, stringProto_, numberProto_, booleanProto_, keyObject})
    if (o) mark(o);
  for (auto& kv : levels_) markDisplay(kv.second);
  for (auto& r : globalRegs_) markValue(r);
  for (auto& v : frameStack_) markValue(v);
  for (auto& iv : intervals) {
    markValue(iv.target);
    markValue(iv.fn);
    for (auto& a : iv.args) markValue(a);
  }
  for (Object* l : keyListeners) mark(l);
  for (Object* l : mouseListeners) mark(l);
  for (auto* list : {&queue_, &initQueue_})
    for (auto& q : *list) {
      if (q.fn) mark(q.fn);
      if (q.clip && q.clip->object) mark(q.clip->object);
    }
  // Display objects whose object dies lose it; they are no longer reachable by scripts.
  for (auto& d : displayObjects_)
    if (d->object && !d->object->marked) {
      if (!d->removed) mark(d->object);
    }
  for (auto& d : displayObjects_)
    if (d->object && !d->object->marked) d->object = nullptr;
  size_t w = 0;
  for (size_t i = 0; i < heap_.size(); ++i)
    if (heap_[i]->marked) heap_[w++] = std::move(heap_[i]);
  heap_.resize(w);
  heapAtLastCollect_ = heap_.size();
}

}  // namespace moviectl
