// AVM1 interpreter: the action loop, variable paths, member access on objects and clips,
// conversions with their SWF-version rules, and function calls.
//
// Blocks (With, Try, function bodies) run as nested calls of `run` over their byte range; a
// jump that leaves a block ends it and continues in the enclosing one. Thrown script values
// travel as C++ exceptions of type ScriptThrow; limits end the whole script with ScriptAbort.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "moviectl/player.h"
#include "moviectl/internal.h"

namespace moviectl {


// Result of running a byte range.
struct RunResult {
  enum Kind { Fallthrough, Returned, JumpOut } kind = Fallthrough;
  size_t target = 0;  // JumpOut: absolute offset
};

struct Interp {
  Player& pl;
  Activation& act;
  const uint8_t* base;  // start of the movie buffer
  size_t codeStart, codeEnd;
  std::vector<Value>& stack;
  Value returnValue;
  size_t startOfRange = 0;
  int blockDepth = 0;

  Value pop() {
    if (stack.empty()) return Value();
    Value v = std::move(stack.back());
    stack.pop_back();
    return v;
  }
  void push(Value v) {
    if (stack.size() >= pl.limits().maxStack) pl.abortScript();
    stack.push_back(std::move(v));
  }
  bool cs() const { return act.version >= 7; }
  void popArgs(double nargs, Args& args) {
    size_t n = std::isfinite(nargs) && nargs > 0 ? static_cast<size_t>(std::min<double>(nargs, static_cast<double>(stack.size()))) : 0;
    for (size_t i = 0; i < n; ++i) args.push_back(pop());
  }

  // --- variables ------------------------------------------------------------------------
  Object* timeline() { return act.target ? pl.clipObject(act.target) : nullptr; }

  bool lookup(const std::string& name, Value& out, Object** where = nullptr) {
    // SWF 4 movies know no built-ins: the global object is not on their scope chain.
    size_t lowest = act.version < 5 ? 1 : 0;
    for (size_t i = act.scope.size(); i-- > lowest;) {
      Object* o = act.scope[i];
      if (!o) continue;
      if (i == act.timelineSlot && !act.locals) o = act.target ? pl.clipObject(act.target) : o;
      if (pl.hasMember(Value(o), name)) {
        out = pl.getMember(Value(o), name);
        if (where) *where = o;
        return true;
      }
    }
    // `this` and `_global` are path heads that any variable of that name shadows.
    if (namesEqual(name, "this", cs())) {
      out = act.thisv;
      return true;
    }
    if (act.version >= 6 && namesEqual(name, "_global", cs())) {
      out = Value(pl.global());
      return true;
    }
    return false;
  }

  // In a path, a clip's named children come before its properties of the same name.
  DisplayObject* namedChild(const Value& v, const std::string& name) {
    DisplayObject* d = v.isObject() && v.o->kind == Object::Clip ? v.o->clip : nullptr;
    if (!d) return nullptr;
    for (auto& kv : d->children)
      if (!kv.second->name.empty() && kv.second->object && namesEqual(kv.second->name, name, cs())) return kv.second;
    return nullptr;
  }
  Value pathMember(const Value& obj, const std::string& name) {
    if (DisplayObject* c = namedChild(obj, name)) return Value(pl.clipObject(c));
    return pl.getMember(obj, name);
  }
  bool lookupPathHead(const std::string& name, Value& out) {
    if (namesEqual(name, "this", cs())) {
      out = act.thisv;
      return true;
    }
    for (size_t i = act.scope.size(); i-- > 0;) {
      Object* o = act.scope[i];
      if (!o) continue;
      if (i == act.timelineSlot && !act.locals) o = act.target ? pl.clipObject(act.target) : o;
      if (DisplayObject* c = namedChild(Value(o), name)) {
        out = Value(pl.clipObject(c));
        return true;
      }
      if (pl.hasMember(Value(o), name)) {
        out = pl.getMember(Value(o), name);
        return true;
      }
    }
    return lookup(name, out);
  }

  Value resolvePathValue(const std::string& path) {
    if (path.empty()) return act.target ? Value(pl.clipObject(act.target)) : Value();
    DisplayObject* start = act.target;
    size_t i = 0;
    Value cur;
    if (path[0] == '/') {
      if (!start) return Value();
      while (start->parent) start = start->parent;
      cur = Value(pl.clipObject(start));
      i = 1;
    }
    bool slashes = path.find('/') != std::string::npos || path.find(':') != std::string::npos;
    bool first = cur.type == Value::Undefined;
    while (i < path.size()) {
      size_t j = i;
      if (slashes) {
        while (j < path.size() && path[j] != '/' && path[j] != ':') ++j;
      } else if (path.compare(i, 2, "..") == 0) {
        j = i + 2;
      } else {
        while (j < path.size() && path[j] != '.') ++j;
      }
      std::string seg = path.substr(i, j - i);
      i = j < path.size() ? j + 1 : j;
      if (seg.empty()) continue;
      if (seg == "..") {
        DisplayObject* c = first ? act.target : pl.clipOf(cur);
        if (!c || !c->parent) return Value();
        cur = Value(pl.clipObject(c->parent));
      } else if (first) {
        if (!lookupPathHead(seg, cur)) return Value();
      } else {
        if (!cur.isObject()) return Value();
        cur = pathMember(cur, seg);
      }
      first = false;
      if (cur.isNullish()) return Value();
    }
    return cur;
  }

  static bool isPath(const std::string& n) {
    return n.find_first_of("/:.") != std::string::npos;
  }

  Value getVariable(const std::string& name, Object** holder = nullptr) {
    if (!isPath(name)) {
      Value v;
      lookup(name, v, holder);
      return v;
    }
    size_t p = name.rfind(':');
    if (p == std::string::npos && act.version >= 5) p = name.rfind('.');
    if (p == std::string::npos) {
      // A bare slash path names the clip itself.
      DisplayObject* t = pl.resolveTargetPath(act.target, name);
      return t ? Value(pl.clipObject(t)) : Value();
    }
    Value obj = resolvePathValue(name.substr(0, p));
    if (!obj.isObject()) return Value();
    if (holder) *holder = obj.o;
    return pl.getMember(obj, name.substr(p + 1));
  }

  void setVariable(const std::string& name, const Value& v) {
    if (!isPath(name)) {
      for (size_t i = act.scope.size(); i-- > 1;) {
        Object* o = act.scope[i];
        if (!o) continue;
        if (i == act.timelineSlot && !act.locals) break;
        // Only a name the scope object holds itself: an inherited one does not catch the
        // assignment.
        if (o->find(name, cs())) {
          pl.setMember(Value(o), name, v);
          return;
        }
      }
      Object* t = timeline();
      if (t) pl.setMember(Value(t), name, v);
      return;
    }
    size_t p = name.rfind(':');
    if (p == std::string::npos && act.version >= 5) p = name.rfind('.');
    if (p == std::string::npos) return;
    Value obj = resolvePathValue(name.substr(0, p));
    if (!obj.isObject()) return;
    pl.setMember(obj, name.substr(p + 1), v);
  }

  DisplayObject* targetFromValue(const Value& v) {
    if (DisplayObject* c = pl.clipOf(v)) return c;
    std::string s = pl.toString(v);
    if (s.empty()) return act.target;
    DisplayObject* t = pl.resolveTargetPath(act.target, s);
    if (t) return t;
    Value r = resolvePathValue(s);
    return pl.clipOf(r);
  }

  // --- arithmetic -------------------------------------------------------------------------
  Value add2(const Value& a, const Value& b) {
    // A clip stays a clip here: it joins text as its path but adds to a number as NaN.
    auto prim = [&](const Value& v) { return v.isObject() && v.o->kind == Object::Clip ? v : pl.toPrimitive(v); };
    Value pa = prim(a), pb = prim(b);
    if (pa.type == Value::String || pb.type == Value::String) {
      std::string r = pl.toString(pa) + pl.toString(pb);
      pl.chargeWork(r.size());
      return Value(std::move(r));
    }
    return Value(pl.toNumber(pa) + pl.toNumber(pb));
  }

  // Abstract relational comparison; undefined result as NaN-ness.
  Value less(const Value& a, const Value& b) {
    Value pa = pl.toPrimitive(a), pb = pl.toPrimitive(b);
    if (pa.type == Value::String && pb.type == Value::String) return Value(pa.s < pb.s);
    double x = pl.toNumber(pa), y = pl.toNumber(pb);
    if (std::isnan(x) || std::isnan(y)) return Value();
    return Value(x < y);
  }

  bool equals2(const Value& a, const Value& b) {
    if (act.version < 6 && a.isObject() && b.isObject() && a.o != b.o) {
      // SWF 5 compares two objects by their valueOf results.
      Value pa = valueOf(a), pb = valueOf(b);
      if (pa.isObject() && pb.isObject()) return pa.o == pb.o;
      if (!pa.isObject() && !pb.isObject()) return equals2(pa, pb);
      return false;
    }
    if (a.type == b.type) return strictEq(a, b);
    if (a.isNullish() && b.isNullish()) return true;
    // An object without a valueOf method converts to undefined, so it equals undefined and null.
    if (a.isNullish() && b.isObject()) return !hasValueOf(b);
    if (b.isNullish() && a.isObject()) return !hasValueOf(a);
    if (a.isNullish() || b.isNullish()) return false;
    if (a.type == Value::Number && b.type == Value::String) return a.n == pl.toNumber(b);
    if (a.type == Value::String && b.type == Value::Number) return pl.toNumber(a) == b.n;
    if (a.type == Value::Bool) return equals2(Value(a.b ? 1.0 : 0.0), b);
    if (b.type == Value::Bool) return equals2(a, Value(b.b ? 1.0 : 0.0));
    if ((a.type == Value::Number || a.type == Value::String) && b.type == Value::Obj)
      return equals2(a, pl.toPrimitive(b));
    if (a.type == Value::Obj && (b.type == Value::Number || b.type == Value::String))
      return equals2(pl.toPrimitive(a), b);
    return false;
  }

  Value valueOf(const Value& v) {
    if (v.o->kind == Object::Clip) return v;
    Value f = pl.getMember(v, "valueOf");
    if (!f.isObject() || !f.o->isCallable()) return v;
    Args none;
    return pl.call(f, v, none);
  }

  bool hasValueOf(const Value& v) {
    if (v.o->kind == Object::Clip) return true;
    Value f = pl.getMember(v, "valueOf");
    return f.isObject() && f.o->isCallable();
  }

  static bool strictEq(const Value& a, const Value& b) {
    if (a.type != b.type) return false;
    switch (a.type) {
      case Value::Undefined:
      case Value::Null: return true;
      case Value::Bool: return a.b == b.b;
      // NaN equals NaN here, unlike in ECMAScript.
      case Value::Number: return a.n == b.n || (std::isnan(a.n) && std::isnan(b.n));
      case Value::String: return a.s == b.s;
      case Value::Obj: return a.o == b.o;
    }
    return false;
  }

  // A function's own registers come first; numbers past them reach the four global ones.
  Value getReg(uint8_t reg) {
    if (reg < act.regs.size()) return act.regs[reg];
    return reg < 4 ? pl.globalRegs_[reg] : Value();
  }
  void setReg(uint8_t reg, const Value& v) {
    if (reg < act.regs.size())
      act.regs[reg] = v;
    else if (reg < 4)
      pl.globalRegs_[reg] = v;
  }

  // Comparison results are booleans in every version; SWF 4 prints them as 1 and 0.
  // An element count no 32-bit signed integer holds makes InitArray and InitObject give
  // undefined and leave the stack alone.
  static bool invalidCount(double n) { return n < 0 || n > 2147483647.0; }

  Value swf4Bool(bool b) { return Value(b); }

  // --- functions ------------------------------------------------------------------------
  Object* defineFunction(ByteReader& r, bool v2, size_t bodyStart, size_t& bodyLen) {
    auto fn = std::make_shared<ScriptFunction>();
    fn->name = text(r);
    unsigned n = r.u16();
    fn->isFunction2 = v2;
    if (v2) {
      fn->registerCount = r.u8();
      fn->flags = r.u16();
      for (unsigned i = 0; i < n && !r.overrun(); ++i) {
        uint8_t reg = r.u8();
        fn->params.emplace_back(reg, text(r));
      }
    } else {
      for (unsigned i = 0; i < n && !r.overrun(); ++i) fn->params.emplace_back(0, text(r));
    }
    bodyLen = r.u16();
    if (bodyStart + bodyLen > codeEnd) bodyLen = codeEnd - bodyStart;
    fn->code.data = currentData;
    fn->code.offset = static_cast<uint32_t>(bodyStart);
    fn->code.length = static_cast<uint32_t>(bodyLen);
    fn->scope = act.scope;
    // A function belongs to the timeline its code came from, not to a tellTarget target.
    DisplayObject* home = act.originalTarget ? act.originalTarget : act.target;
    if (act.timelineSlot < fn->scope.size() && !act.locals && home)
      fn->scope[act.timelineSlot] = pl.clipObject(home);
    fn->constants = act.constants;
    fn->target = home;
    // Function bodies follow SWF 5 rules at least: the SWF 4 model has no functions.
    fn->swfVersion = std::max(act.version, 5);
    Object* f = pl.newFunction(nullptr, nullptr, true);
    f->fn = fn;
    return f;
  }

  std::string text(ByteReader& r) {
    std::string s = r.cstr();
    return act.version <= 5 ? latin1ToUtf8(s) : s;
  }

  std::shared_ptr<const Bytes> currentData;

  // --- the loop ---------------------------------------------------------------------------
  RunResult run(size_t start, size_t end);
  void doTry(ByteReader& r, size_t next, size_t& pc, RunResult& res, bool& stop);
};

RunResult Interp::run(size_t pc, size_t end) {
  // Nested blocks recurse; bound the depth a hostile file can build.
  struct DepthGuard {
    Interp& in;
    explicit DepthGuard(Interp& i) : in(i) {
      if (++in.blockDepth > 64) {
        --in.blockDepth;
        in.pl.abortScript();
      }
    }
    ~DepthGuard() { --in.blockDepth; }
  } guard(*this);
  RunResult res;
  const uint64_t maxActions = pl.limits().maxActionsPerRun;
  while (pc < end) {
    if (++pl.actionCount_ > maxActions) pl.abortScript();
    uint8_t code = base[pc];
    size_t len = 0;
    size_t payload = pc + 1;
    if (code >= 0x80) {
      if (pc + 3 > end) break;
      len = base[pc + 1] | (base[pc + 2] << 8);
      payload = pc + 3;
      if (payload + len > end) len = end - payload;
    }
    size_t next = payload + len;
    if (code == 0) break;
    ByteReader r(base + payload, len);
    DisplayObject* tgt = act.targetValid ? act.target : nullptr;
    switch (code) {
      // ---- SWF 3 ----
      case 0x04: if (tgt) pl.gotoFrameOf(tgt, tgt->currentFrame + 1, true); break;
      case 0x05: if (tgt) pl.gotoFrameOf(tgt, tgt->currentFrame - 1, true); break;
      case 0x06: if (tgt && tgt->isClip()) tgt->playing = true; break;
      case 0x07: if (tgt && tgt->isClip()) tgt->playing = false; break;
      case 0x08:
      case 0x09: break;
      case 0x81: {
        int f = r.u16();
        if (tgt) pl.gotoFrameOf(tgt, f + 1, true);
        break;
      }
      case 0x83: {
        std::string url = text(r);
        std::string target = text(r);
        if (namesEqual(url.substr(0, 10), "FSCommand:", false))
          pl.fsCommand(url.substr(10), target);
        else if (pl.onLoadMovie && target.rfind("_level", 0) == 0)
          pl.onLoadMovie(std::atoi(target.c_str() + 6), url);
        break;
      }
      case 0x8A: r.u16(); r.u8(); break;  // every frame is loaded: never skips
      case 0x8B: {
        std::string t = text(r);
        if (t.empty()) {
          act.target = act.originalTarget;
          act.targetValid = true;
        } else {
          // Relative to the timeline the code belongs to, not to an earlier tellTarget.
          DisplayObject* d = pl.resolveTargetPath(act.originalTarget ? act.originalTarget : act.target, t);
          if (d) {
            act.target = d;
            act.targetValid = true;
          } else {
            // Unknown target: variables resolve on the original timeline, timeline
            // actions do nothing.
            act.target = act.originalTarget;
            act.targetValid = false;
          }
        }
        break;
      }
      case 0x8C: {
        std::string l = text(r);
        if (tgt && tgt->timeline) {
          int f = tgt->timeline->findLabel(l);
          if (f >= 0) pl.gotoFrameOf(tgt, f + 1, true);
        }
        break;
      }
      // ---- SWF 4 ----
      case 0x0A: { Value vb = pop(), va = pop(); double a = pl.toNumber(va), b = pl.toNumber(vb); push(Value(a + b)); break; }
      case 0x0B: { Value vb = pop(), va = pop(); double a = pl.toNumber(va), b = pl.toNumber(vb); push(Value(a - b)); break; }
      case 0x0C: { Value vb = pop(), va = pop(); double a = pl.toNumber(va), b = pl.toNumber(vb); push(Value(a * b)); break; }
      case 0x0D: {
        Value vb = pop(), va = pop(); double a = pl.toNumber(va), b = pl.toNumber(vb);
        if (b == 0 && act.version < 5)
          push(Value("#ERROR#"));
        else
          push(Value(a / b));
        break;
      }
      // Equals converts its right operand first, the other arithmetic actions their left one.
      case 0x0E: { double b = pl.toNumber(pop()), a = pl.toNumber(pop()); push(swf4Bool(a == b)); break; }
      case 0x0F: { Value vb = pop(), va = pop(); double a = pl.toNumber(va), b = pl.toNumber(vb); push(swf4Bool(a < b)); break; }
      case 0x10: { Value vb = pop(), va = pop(); bool a = pl.toBoolean(va), b = pl.toBoolean(vb); push(swf4Bool(a && b)); break; }
      case 0x11: { Value vb = pop(), va = pop(); bool a = pl.toBoolean(va), b = pl.toBoolean(vb); push(swf4Bool(a || b)); break; }
      case 0x12: push(swf4Bool(!pl.toBoolean(pop()))); break;
      case 0x13: { Value vb = pop(), va = pop(); std::string a = pl.toString(va), b = pl.toString(vb); push(swf4Bool(a == b)); break; }
      case 0x14: push(Value(static_cast<double>(utf8Length(pl.toString(pop()))))); break;
      case 0x31: push(Value(static_cast<double>(utf8Length(pl.toString(pop()))))); break;
      case 0x15:
      case 0x35: {
        double count = pl.toNumber(pop()), index = pl.toNumber(pop());
        std::string s = pl.toString(pop());
        if (std::isnan(index)) index = 1;
        long start = std::isfinite(index) ? static_cast<long>(index) - 1 : 0;
        if (start < 0) start = 0;
        size_t n = std::isnan(count) || count < 0 ? std::string::npos : static_cast<size_t>(std::min(count, 1e9));
        push(Value(utf8Substr(s, static_cast<size_t>(start), n)));
        break;
      }
      case 0x17: pop(); break;
      case 0x18: {
        double d = pl.toNumber(pop());
        push(Value(static_cast<double>(toInt32(d))));
        break;
      }
      case 0x1C: {
        Value n = pop();
        push(getVariable(pl.toString(n)));
        break;
      }
      case 0x1D: {
        Value v = pop();
        std::string n = pl.toString(pop());
        setVariable(n, v);
        break;
      }
      case 0x20: {
        Value t = pop();
        DisplayObject* d = nullptr;
        if (DisplayObject* c = pl.clipOf(t)) {
          // A clip is targeted by its path: of two siblings with one name, the first wins.
          d = pl.resolveTargetPath(c, pl.targetPath(c));
          if (!d) d = c;
        } else {
          std::string s = pl.toString(t);
          if (s.empty()) {
            act.target = act.originalTarget;
            act.targetValid = true;
            break;
          }
          d = targetFromValue(t);
        }
        if (d) {
          act.target = d;
          act.targetValid = true;
        } else {
          act.target = act.originalTarget;
          act.targetValid = false;
        }
        break;
      }
      case 0x21: {
        Value vb = pop(), va = pop();
        std::string a = pl.toString(va), b = pl.toString(vb);
        pl.chargeWork(a.size() + b.size());
        push(Value(a + b));
        break;
      }
      case 0x22: {
        double idx = pl.toNumber(pop());
        Value t = pop();
        DisplayObject* d = targetFromValue(t);
        idx = std::trunc(idx);
        if (!d || !std::isfinite(idx) || idx < 0 || idx > 21)
          push(Value());
        else
          push(pl.getClipProperty(d, static_cast<int>(idx)));
        break;
      }
      case 0x23: {
        Value v = pop();
        double idx = pl.toNumber(pop());
        Value t = pop();
        DisplayObject* d = targetFromValue(t);
        idx = std::trunc(idx);
        if (d && std::isfinite(idx) && idx >= 0 && idx <= 21) pl.setClipProperty(d, static_cast<int>(idx), v);
        break;
      }
      case 0x24: {
        double depth = pl.toNumber(pop());
        std::string name = pl.toString(pop());
        DisplayObject* src = targetFromValue(pop());
        if (src && std::isfinite(depth)) pl.duplicateClip(src, name, clampToInt(depth - kTimelineDepthOffset), nullptr);
        break;
      }
      case 0x25: {
        DisplayObject* d = targetFromValue(pop());
        if (d && Player::removableDepth(d->depth) && d->level < 0) pl.removeClip(d);
        break;
      }
      case 0x26: {
        Value v = pop();
        std::string t = v.type == Value::Undefined ? std::string("undefined") : pl.toString(v);
        pl.chargeWork(t.size());
        // A carriage return ends a line of trace output like a line feed.
        std::replace(t.begin(), t.end(), '\r', '\n');
        pl.trace(t);
        break;
      }
      case 0x27: {
        pop();
        bool lock = pl.toBoolean(pop());
        (void)lock;
        if (pl.toBoolean(pop())) {
          pop(); pop(); pop(); pop();
        }
        break;
      }
      case 0x28: break;
      case 0x29: { Value vb = pop(), va = pop(); std::string a = pl.toString(va), b = pl.toString(vb); push(swf4Bool(a < b)); break; }
      case 0x68: { Value vb = pop(), va = pop(); std::string a = pl.toString(va), b = pl.toString(vb); push(Value(a > b)); break; }
      case 0x30: {
        double m = pl.toNumber(pop());
        push(Value(m > 0 && std::isfinite(m) ? pl.random(std::floor(m)) : 0.0));
        break;
      }
      case 0x32:
      case 0x36: {
        auto cps = utf8Decode(pl.toString(pop()));
        push(Value(cps.empty() ? 0.0 : static_cast<double>(cps[0])));
        break;
      }
      case 0x33:
      case 0x37: {
        double d = pl.toNumber(pop());
        uint32_t cp = static_cast<uint32_t>(toInt32(d)) & (code == 0x33 && act.version <= 5 ? 0xFF : 0xFFFF);
        if (cp == 0)
          push(Value(""));
        else
          push(Value(code == 0x33 && act.version <= 5 && cp >= 0x80 ? latin1ToUtf8(std::string(1, static_cast<char>(cp))) : utf8Encode(cp)));
        break;
      }
      case 0x34: push(Value(std::floor(pl.timeMs() - pl.timeBase_))); break;
      case 0x8D: r.u8(); pop(); break;
      case 0x96: {
        while (r.remaining() > 0 && !r.overrun()) {
          uint8_t t = r.u8();
          switch (t) {
            case 0: push(Value(text(r))); break;
            case 1: push(Value(static_cast<double>(r.f32()))); break;
            case 2: push(Value::null()); break;
            case 3: push(Value()); break;
            case 4: push(getReg(r.u8())); break;
            case 5: push(Value(r.u8() != 0)); break;
            case 6: push(Value(r.f64Swapped())); break;
            case 7: push(Value(static_cast<double>(r.s32()))); break;
            case 8:
            case 9: {
              unsigned idx = t == 8 ? r.u8() : r.u16();
              if (act.constants && idx < act.constants->size())
                push(Value((*act.constants)[idx]));
              else
                push(Value());
              break;
            }
            default:
              // Unknown type byte: skipped, as older players do.
              break;
          }
        }
        break;
      }
      case 0x99:
      case 0x9D: {
        int16_t off = r.s16();
        bool take = true;
        if (code == 0x9D) take = pl.toBoolean(pop());
        if (take) {
          long t = static_cast<long>(next) + off;
          if (t < static_cast<long>(codeStart) || t > static_cast<long>(codeEnd)) return res;  // ends the block
          size_t tt = static_cast<size_t>(t);
          if (tt < pc + 1 && off < 0) {
            // backward jump: fine
          }
          if (tt > end || tt < startOfRange) {
            res.kind = RunResult::JumpOut;
            res.target = tt;
            return res;
          }
          pc = tt;
          continue;
        }
        break;
      }
      case 0x9A: {
        uint8_t flags = r.u8();
        Value target = pop();
        std::string url = pl.toString(pop());
        std::string tgtStr = pl.toString(target);
        if (namesEqual(url.substr(0, 10), "FSCommand:", false)) {
          pl.fsCommand(url.substr(10), tgtStr);
        } else if (!(flags & 0x01) && pl.onLoadMovie) {
          int level;
          if (tgtStr.rfind("_level", 0) == 0) {
            level = std::atoi(tgtStr.c_str() + 6);
            pl.onLoadMovie(level, url);
          }
        }
        break;
      }
      case 0x9E: {
        Value f = pop();
        DisplayObject* c = tgt;
        std::string s = pl.toString(f);
        size_t colon = s.rfind(':');
        if (colon != std::string::npos) {
          c = pl.resolveTargetPath(act.target, s.substr(0, colon));
          s = s.substr(colon + 1);
        }
        if (c && c->timeline) {
          int frame = -1;
          double n = stringToNumber(s, 7);
          if (!std::isnan(n) && !s.empty())
            frame = clampToInt(n);
          else
            frame = c->timeline->findLabel(s) + 1;
          if (frame >= 1) {
            ++pl.callDepth_;
            if (pl.callDepth_ > pl.limits().maxCallDepth) pl.abortScript();
            try {
              pl.runFrameActionsNow(c, frame);
            } catch (...) {
              --pl.callDepth_;
              throw;
            }
            --pl.callDepth_;
          }
        }
        break;
      }
      case 0x9F: {
        uint8_t flags = r.u8();
        int bias = (flags & 0x02) ? r.u16() : 0;
        Value f = pop();
        if (tgt) pl.gotoValue(tgt, f, flags & 0x01, bias);
        break;
      }
      // ---- SWF 5 ----
      case 0x3A: {
        std::string n = pl.toString(pop());
        Value o = pop();
        push(Value(o.isObject() ? pl.deleteMember(o.o, n) : false));
        break;
      }
      case 0x3B: {
        std::string n = pl.toString(pop());
        bool done = false;
        if (isPath(n)) {
          size_t p = n.rfind(':');
          if (p == std::string::npos) p = n.rfind('.');
          Value o = p == std::string::npos ? Value() : resolvePathValue(n.substr(0, p));
          push(Value(o.isObject() && pl.deleteMember(o.o, n.substr(p + 1))));
          break;
        }
        for (size_t i = act.scope.size(); i-- > 0 && !done;) {
          Object* o = act.scope[i];
          if (i == act.timelineSlot && !act.locals && act.target) o = pl.clipObject(act.target);
          if (o && o->find(n, cs())) done = pl.deleteMember(o, n), i = i == 0 ? 0 : i, done = true;
        }
        push(Value(done));
        break;
      }
      case 0x3C: {
        Value v = pop();
        std::string n = pl.toString(pop());
        if (act.locals)
          pl.setMember(Value(act.locals), n, v);
        else
          setVariable(n, v);
        break;
      }
      case 0x41: {
        std::string n = pl.toString(pop());
        Object* o = act.locals ? act.locals : timeline();
        if (o && !o->find(n, cs())) pl.setMember(Value(o), n, Value());
        break;
      }
      case 0x3D: {
        std::string n = pl.toString(pop());
        double nargs = pl.toNumber(pop());
        Args args;
        popArgs(nargs, args);
        // A function called by name runs with the object that held the name as `this`
        // (a timeline, a with-object, an activation, _global).
        Object* holder = nullptr;
        Value f = getVariable(n, &holder);
        Value self = holder ? Value(holder) : Value();
        // Built-in methods reached as plain functions (createEmptyMovieClip(...) on a
        // timeline) work on the current timeline.
        if (!holder && f.isObject() && f.o->native && act.target) self = Value(pl.clipObject(act.target));
        if (f.isObject() && f.o->isCallable()) {
          push(pl.call(f, self, args));
        } else {
          push(Value());
        }
        break;
      }
      case 0x3E:
        returnValue = pop();
        res.kind = RunResult::Returned;
        return res;
      case 0x3F: {
        Value vb = pop(), va = pop(); double a = pl.toNumber(va), b = pl.toNumber(vb);
        push(Value(std::fmod(a, b)));
        break;
      }
      case 0x40: {
        std::string n = pl.toString(pop());
        double nargs = pl.toNumber(pop());
        Args args;
        popArgs(nargs, args);
        Value ctor = getVariable(n);
        push(pl.construct(ctor, args));
        break;
      }
      case 0x42: {
        double n = pl.toNumber(pop());
        if (invalidCount(n)) {
          push(Value());
          break;
        }
        std::vector<Value> elems;
        long count = std::isfinite(n) && n > 0 ? static_cast<long>(std::min<double>(n, static_cast<double>(stack.size()))) : 0;
        for (long i = 0; i < count; ++i) elems.push_back(pop());
        push(Value(pl.newArray(elems)));
        break;
      }
      case 0x43: {
        double n = pl.toNumber(pop());
        if (invalidCount(n)) {
          push(Value());
          break;
        }
        Object* o = pl.newObject();
        long count = std::isfinite(n) && n > 0 ? static_cast<long>(std::min<double>(n, static_cast<double>(stack.size() / 2 + 1))) : 0;
        std::vector<std::pair<std::string, Value>> kv;
        for (long i = 0; i < count; ++i) {
          Value v = pop();
          std::string k = pl.toString(pop());
          kv.emplace_back(k, v);
        }
        for (auto it = kv.rbegin(); it != kv.rend(); ++it) pl.setMember(Value(o), it->first, it->second);
        push(Value(o));
        break;
      }
      case 0x44: push(Value(pl.typeOf(pop()))); break;
      case 0x45: {
        Value v = pop();
        DisplayObject* d = pl.clipOf(v);
        push(d ? Value(pl.targetPath(d)) : Value());
        break;
      }
      case 0x46:
      case 0x55: {
        Value obj;
        if (code == 0x46)
          obj = getVariable(pl.toString(pop()));
        else
          obj = pop();
        push(Value());
        if (obj.isObject()) {
          auto names = pl.enumerate(obj);
          pl.chargeWork(names.size() * 4);
          for (auto& nm : names) push(Value(nm));
        }
        break;
      }
      case 0x47: { Value b = pop(), a = pop(); push(add2(a, b)); break; }
      case 0x48: { Value b = pop(), a = pop(); Value l = less(a, b); push(l.type == Value::Undefined ? Value() : l); break; }
      case 0x67: { Value b = pop(), a = pop(); Value l = less(b, a); push(l.type == Value::Undefined ? Value() : l); break; }
      case 0x49: { Value b = pop(), a = pop(); push(Value(equals2(a, b))); break; }
      case 0x66: { Value b = pop(), a = pop(); push(Value(strictEq(a, b))); break; }
      case 0x4A: push(Value(pl.toNumber(pop()))); break;
      case 0x4B: push(Value(pl.toString(pop()))); break;
      case 0x4C: { Value v = stack.empty() ? Value() : stack.back(); push(v); break; }
      case 0x4D: {
        Value a = pop(), b = pop();
        push(a);
        push(b);
        break;
      }
      case 0x4E: {
        Value name = pop();
        Value obj = pop();
        push(pl.getMember(obj, pl.toString(name)));
        break;
      }
      case 0x4F: {
        Value v = pop();
        Value name = pop();
        Value obj = pop();
        if (obj.isObject()) pl.setMember(obj, pl.toString(name), v);
        break;
      }
      case 0x50: push(Value(pl.toNumber(pop()) + 1)); break;
      case 0x51: push(Value(pl.toNumber(pop()) - 1)); break;
      case 0x52:
      case 0x53: {
        Value name = pop();
        Value obj = pop();
        double nargs = pl.toNumber(pop());
        Args args;
        popArgs(nargs, args);
        std::string n = name.type == Value::Undefined ? "" : pl.toString(name);
        if (code == 0x53) {
          Value ctor = n.empty() ? obj : pl.getMember(obj, n);
          push(pl.construct(ctor, args));
          break;
        }
        if (n.empty()) {
          push(pl.call(obj, Value(), args));
          break;
        }
        Object* home = nullptr;
        Value f;
        if (obj.isObject() && obj.o->kind == Object::Super) {
          Object* where = nullptr;
          Property* p = obj.o->superProto ? pl.findProp(obj.o->superProto, n, &where) : nullptr;
          if (p) {
            f = p->getter ? Value() : p->value;
            home = where;
          }
          push(pl.call(f, Value(obj.o->superThis), args, home));
          break;
        }
        if (obj.isObject()) {
          Object* where = nullptr;
          Property* p = pl.findProp(obj.o, n, &where);
          if (p && !p->getter) {
            f = p->value;
            home = where;
          } else {
            f = pl.getMember(obj, n);
          }
        } else {
          f = pl.getMember(obj, n);
        }
        push(pl.call(f, obj, args, home));
        break;
      }
      case 0x60: { Value vb = pop(), va = pop(); int32_t a = toInt32(pl.toNumber(va)), b = toInt32(pl.toNumber(vb)); push(Value(static_cast<double>(a & b))); break; }
      case 0x61: { Value vb = pop(), va = pop(); int32_t a = toInt32(pl.toNumber(va)), b = toInt32(pl.toNumber(vb)); push(Value(static_cast<double>(a | b))); break; }
      case 0x62: { Value vb = pop(), va = pop(); int32_t a = toInt32(pl.toNumber(va)), b = toInt32(pl.toNumber(vb)); push(Value(static_cast<double>(a ^ b))); break; }
      case 0x63: { Value vb = pop(), va = pop(); int32_t a = toInt32(pl.toNumber(va)), b = toInt32(pl.toNumber(vb)); push(Value(static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(a) << (b & 31))))); break; }
      case 0x64: { Value vb = pop(), va = pop(); int32_t a = toInt32(pl.toNumber(va)), b = toInt32(pl.toNumber(vb)); push(Value(static_cast<double>(a >> (b & 31)))); break; }
      case 0x65: { Value vb = pop(), va = pop(); int32_t a = toInt32(pl.toNumber(va)), b = toInt32(pl.toNumber(vb)); push(Value(static_cast<double>(static_cast<uint32_t>(a) >> (b & 31)))); break; }
      case 0x87: {
        uint8_t reg = r.u8();
        setReg(reg, stack.empty() ? Value() : stack.back());
        break;
      }
      case 0x88: {
        unsigned n = r.u16();
        auto pool = std::make_shared<std::vector<std::string>>();
        for (unsigned i = 0; i < n && r.remaining() > 0; ++i) pool->push_back(text(r));
        act.constants = pool;
        pl.lastConstants_ = pool;
        break;
      }
      case 0x94: {
        unsigned size = r.u16();
        Value o = pop();
        size_t bodyEnd = std::min(next + size, end);
        Object* obj = o.isObject() ? o.o : (o.isNullish() ? nullptr : pl.toObject(o));
        if (obj && act.withDepth < pl.limits().maxWithDepth) {
          act.scope.push_back(obj);
          ++act.withDepth;
          RunResult sub;
          try {
            size_t saved = startOfRange;
            startOfRange = next;
            sub = run(next, bodyEnd);
            startOfRange = saved;
          } catch (...) {
            act.scope.pop_back();
            --act.withDepth;
            throw;
          }
          act.scope.pop_back();
          --act.withDepth;
          if (sub.kind == RunResult::Returned) return sub;
          if (sub.kind == RunResult::JumpOut) {
            if (sub.target > end || sub.target < startOfRange) return sub;
            pc = sub.target;
            continue;
          }
        }
        pc = bodyEnd;
        continue;
      }
      case 0x9B:
      case 0x8E: {
        size_t bodyLen = 0;
        Object* f = defineFunction(r, code == 0x8E, next, bodyLen);
        const std::string& name = f->fn->name;
        if (!name.empty()) {
          if (act.locals)
            pl.setMember(Value(act.locals), name, Value(f));
          else if (Object* t = timeline())
            pl.setMember(Value(t), name, Value(f));
        } else {
          push(Value(f));
        }
        pc = next + bodyLen;
        continue;
      }
      case 0x8F: {
        bool stop = false;
        doTry(r, next, pc, res, stop);
        if (stop) return res;
        if (pc > end || pc < startOfRange) {
          res.kind = RunResult::JumpOut;
          res.target = pc;
          return res;
        }
        continue;
      }
      case 0x2A: {
        Value v = pop();
        throw ScriptThrow{v};
      }
      case 0x2B: {
        Value obj = pop();
        Value ctor = pop();
        push(obj.isObject() && ctor.isObject() && pl.instanceOf(obj.o, ctor.o) ? obj : Value::null());
        break;
      }
      case 0x2C: {
        Value ctor = pop();
        double n = pl.toNumber(pop());
        std::vector<Object*> ifs;
        long count = std::isfinite(n) && n > 0 ? static_cast<long>(std::min<double>(n, static_cast<double>(stack.size()))) : 0;
        for (long i = 0; i < count; ++i) {
          Value v = pop();
          if (v.isObject()) ifs.push_back(v.o);
        }
        if (ctor.isObject()) {
          Value proto = pl.getMember(ctor, "prototype");
          if (proto.isObject()) proto.o->interfaces = ifs;
        }
        break;
      }
      case 0x54: {
        Value ctor = pop();
        Value obj = pop();
        push(Value(obj.isObject() && ctor.isObject() && pl.instanceOf(obj.o, ctor.o)));
        break;
      }
      case 0x69: {
        Value sup = pop();
        Value sub = pop();
        if (sub.isObject() && sup.isObject()) {
          Value superProto = pl.getMember(sup, "prototype");
          Object* proto = pl.newObject(superProto.isObject() ? superProto.o : nullptr);
          if (!superProto.isObject()) proto->proto = nullptr;
          pl.defineProp(proto, "__constructor__", sup, DontEnum);
          pl.defineProp(proto, "constructor", sub, DontEnum);
          pl.setMember(sub, "prototype", Value(proto));
        }
        break;
      }
      default:
        break;  // unknown action: skipped by its length
    }
    pc = next;
  }
  return res;
}

void Interp::doTry(ByteReader& r, size_t next, size_t& pc, RunResult& res, bool& stop) {
  uint8_t flags = r.u8();
  size_t trySize = r.u16(), catchSize = r.u16(), finallySize = r.u16();
  std::string catchName;
  uint8_t catchReg = 0;
  bool inReg = flags & 0x04;
  if (inReg)
    catchReg = r.u8();
  else
    catchName = text(r);
  size_t tryStart = next;
  size_t catchStart = std::min(tryStart + trySize, codeEnd);
  size_t finallyStart = std::min(catchStart + catchSize, codeEnd);
  size_t after = std::min(finallyStart + finallySize, codeEnd);
  RunResult body;
  bool pendingThrow = false;
  Value thrown;
  size_t savedStart = startOfRange;
  size_t savedStack = stack.size();
  int savedWith = act.withDepth;
  size_t savedScope = act.scope.size();
  auto restore = [&]() {
    act.scope.resize(std::min(act.scope.size(), savedScope));
    act.withDepth = savedWith;
  };
  try {
    startOfRange = tryStart;
    body = run(tryStart, catchStart);
  } catch (ScriptThrow& t) {
    restore();
    if (stack.size() > savedStack) stack.resize(savedStack);
    if (catchSize > 0 || (flags & 0x01)) {
      if (inReg) {
        setReg(catchReg, t.value);
      } else {
        Object* o = act.locals ? act.locals : timeline();
        if (o) pl.setMember(Value(o), catchName, t.value);
      }
      try {
        startOfRange = catchStart;
        body = run(catchStart, finallyStart);
      } catch (ScriptThrow& t2) {
        restore();
        pendingThrow = true;
        thrown = t2.value;
      }
    } else {
      pendingThrow = true;
      thrown = t.value;
    }
  }
  startOfRange = savedStart;
  if (finallySize > 0) {
    size_t s = startOfRange;
    startOfRange = finallyStart;
    Value savedReturn = returnValue;
    RunResult fin = run(finallyStart, after);
    startOfRange = s;
    if (fin.kind != RunResult::Fallthrough) {
      res = fin;
      stop = true;
      return;
    }
    returnValue = savedReturn;
  }
  if (pendingThrow) throw ScriptThrow{thrown};
  if (body.kind == RunResult::Returned) {
    res = body;
    stop = true;
    return;
  }
  if (body.kind == RunResult::JumpOut) {
    pc = body.target;
    if (pc < startOfRange || pc > codeEnd) {
      res = body;
      stop = true;
    }
    return;
  }
  pc = after;
}

}  // namespace moviectl

// ---------------------------------------------------------------------------------------
// Player members that need the interpreter

namespace moviectl {

Value Player::execute(const ActionCode& code, Activation& act) {
  if (!code.data) return Value();
  size_t start = code.offset;
  size_t end = std::min<size_t>(static_cast<size_t>(code.offset) + code.length, code.data->size());
  if (start >= end) return Value();
  std::vector<Value> ownStack;
  Interp in{*this, act, code.data->data(), start, end, act.sharedStack ? frameStack_ : ownStack, {}, start, 0, code.data};
  int savedVersion = curVersion_;
  curVersion_ = act.version;
  try {
    in.run(start, end);
  } catch (...) {
    curVersion_ = savedVersion;
    throw;
  }
  curVersion_ = savedVersion;
  return in.returnValue;
}

void Player::executeCode(const ActionCode& code, DisplayObject* target, int version) {
  if (!target || code.empty()) return;
  Activation a;
  a.version = version;
  a.scope = {global_, clipObject(target)};
  a.timelineSlot = 1;
  a.target = a.originalTarget = target;
  a.thisv = Value(target->object);
  // A block without its own pool sees the last pool defined, as reference players do.
  a.constants = lastConstants_;
  a.sharedStack = true;
  bool outermost = execDepth_ == 0 && callDepth_ == 0;
  if (outermost) {
    actionCount_ = 0;
    stackBase_ = static_cast<const char*>(__builtin_frame_address(0));
  }
  ++execDepth_;
  try {
    execute(code, a);
  } catch (const ScriptThrow&) {
    // An uncaught throw ends this block of actions only.
  } catch (...) {
    --execDepth_;
    if (outermost) stackBase_ = nullptr;
    throw;
  }
  --execDepth_;
  if (outermost) stackBase_ = nullptr;
}

Value Player::call(const Value& fnv, const Value& self, Args& args, Object* home) {
  if (!fnv.isObject()) return Value();
  Object* f = fnv.o;
  if (f->kind == Object::Super) {
    if (!f->superCtor) return Value();
    return call(Value(f->superCtor), Value(f->superThis), args, f->superProto);
  }
  if (f->kind != Object::Function) return Value();
  if (callDepth_ >= limits_.maxCallDepth) abortScript();
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  if (!stackBase_) stackBase_ = here;
  size_t used = stackBase_ > here ? static_cast<size_t>(stackBase_ - here) : static_cast<size_t>(here - stackBase_);
  if (used > limits_.maxStackBytes) abortScript();
  struct Depth {
    int& d;
    Depth(int& x, const char*& b, bool o) : d(x), base(b), owner(o) { ++d; }
    ~Depth() {
      --d;
      if (owner) base = nullptr;
    }
    const char*& base;
    bool owner;
  } depth{callDepth_, stackBase_, callDepth_ == 0 && execDepth_ == 0};
  if (depth.owner) actionCount_ = 0;
  if (f->native) return f->native(*this, self, args);
  if (!f->fn) return Value();
  ScriptFunction& sf = *f->fn;
  Activation a;
  a.version = sf.swfVersion;
  a.scope = sf.scope;
  a.target = a.originalTarget = sf.target ? sf.target : root(0);
  a.thisv = self.isObject() ? self : Value();
  if (sf.swfVersion < 6) {
    // SWF 5 functions have no closures: they see the globals and a timeline only, and that
    // timeline is the clip they were called on, if any.
    if (self.isObject() && self.o->kind == Object::Clip && self.o->clip) a.target = a.originalTarget = self.o->clip;
    a.scope.clear();
    a.scope.push_back(global_);
    if (a.target) a.scope.push_back(clipObject(a.target));
  }
  if (a.scope.empty()) a.scope.push_back(global_);
  a.timelineSlot = a.scope.size() > 1 ? 1 : 0;
  Object* locals = newObject();
  locals->proto = nullptr;
  a.scope.push_back(locals);
  a.locals = locals;
  a.constants = sf.constants;
  a.callee = f;
  a.home = home;
  Object* argsObj = newArray(args);
  defineProp(argsObj, "callee", Value(f), DontEnum);
  defineProp(argsObj, "caller", Value::null(), DontEnum);
  Object* superObj = nullptr;
  auto makeSuper = [&]() -> Object* {
    if (superObj) return superObj;
    Object* thisObj = a.thisv.isObject() ? a.thisv.o : nullptr;
    Object* h = home ? home : (thisObj ? thisObj->proto : nullptr);
    if (!h) return nullptr;
    superObj = newObject();
    superObj->kind = Object::Super;
    superObj->proto = nullptr;
    superObj->superThis = thisObj;
    superObj->superProto = h->proto;
    Property* c = findProp(h, "__constructor__");
    if (c && c->value.isObject()) superObj->superCtor = c->value.o;
    else if (h->proto) {
      Property* pc = findProp(h->proto, "constructor");
      if (pc && pc->value.isObject()) superObj->superCtor = pc->value.o;
    }
    return superObj;
  };
  bool cs = sf.swfVersion >= 7;
  auto setLocal = [&](const std::string& name, const Value& v) {
    Property* p = locals->find(name, cs);
    if (p)
      p->value = v;
    else
      locals->props.push_back(Property{name, v, 0, nullptr, nullptr});
  };
  if (!sf.isFunction2) {
    setLocal("this", a.thisv);
    setLocal("arguments", Value(argsObj));
    if (Object* s = makeSuper()) setLocal("super", Value(s));
    for (size_t i = 0; i < sf.params.size(); ++i) setLocal(sf.params[i].second, i < args.size() ? args[i] : Value());
  } else {
    a.regs.assign(sf.registerCount, Value());
    size_t r = 1;
    auto preload = [&](const Value& v) {
      if (r < a.regs.size()) a.regs[r] = v;
      ++r;
    };
    uint16_t fl = sf.flags;
    // Suppressing `this` as well as preloading it leaves the register undefined; the name
    // `this` still works.
    if (fl & 0x01) preload((fl & 0x02) ? Value() : a.thisv);
    if (fl & 0x04) preload(Value(argsObj));
    if (fl & 0x10) preload(makeSuper() ? Value(makeSuper()) : Value());
    if (fl & 0x40) {
      DisplayObject* rt = a.target;
      while (rt && rt->parent) rt = rt->parent;
      preload(rt ? Value(clipObject(rt)) : Value());
    }
    // A missing parent takes no register: the registers after it move down by one.
    if ((fl & 0x80) && a.target && a.target->parent) preload(Value(clipObject(a.target->parent)));
    if (fl & 0x100) preload(Value(global_));
    if (!(fl & 0x08) && !(fl & 0x04)) setLocal("arguments", Value(argsObj));
    if (!(fl & 0x20) && !(fl & 0x10))
      if (Object* s = makeSuper()) setLocal("super", Value(s));
    // With `this` preloaded or suppressed the name no longer reaches the object the function
    // was called on: it falls back to the timeline the function belongs to.
    if (fl & 0x03) a.thisv = a.target ? Value(clipObject(a.target)) : Value();
    for (size_t i = 0; i < sf.params.size(); ++i) {
      Value v = i < args.size() ? args[i] : Value();
      uint8_t reg = sf.params[i].first;
      if (reg != 0) {
        if (reg < a.regs.size()) a.regs[reg] = v;
      } else {
        setLocal(sf.params[i].second, v);
      }
    }
  }
  return execute(sf.code, a);
}

Value Player::construct(const Value& ctor, Args& args) {
  if (!ctor.isObject() || ctor.o->kind != Object::Function) return Value();
  Object* c = ctor.o;
  if (c->nativeConstruct) return c->nativeConstruct(*this, Value(), args);
  Value proto = getMember(ctor, "prototype");
  Object* o = newObject(proto.isObject() ? proto.o : objectProto_);
  defineProp(o, "__constructor__", ctor, DontEnum);
  if (version() <= 5) defineProp(o, "constructor", ctor, DontEnum);
  Value r = call(ctor, Value(o), args, proto.isObject() ? proto.o : nullptr);
  if (c->native && r.isObject()) return r;
  return Value(o);
}

// ---------------------------------------------------------------------------------------
// Properties

Property* Player::findProp(Object* o, const std::string& name, Object** where) {
  bool cs = caseSensitive();
  for (int guard = 0; o && guard < 256; ++guard, o = o->proto) {
    if (Property* p = o->find(name, cs)) {
      if (where) *where = o;
      return p;
    }
  }
  return nullptr;
}

void Player::defineProp(Object* o, const std::string& name, const Value& v, uint8_t flags) {
  if (Property* p = o->find(name, caseSensitive())) {
    p->value = v;
    p->flags = flags;
    return;
  }
  o->props.push_back(Property{name, v, flags, nullptr, nullptr});
}

static bool arrayIndex(const std::string& name, size_t& idx) {
  if (name.empty() || name.size() > 9) return false;
  size_t v = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<size_t>(c - '0');
  }
  if (name.size() > 1 && name[0] == '0') return false;
  idx = v;
  return true;
}

static Value propValue(Player& pl, Property* p, Object* self) {
  if (p->getter) {
    Args none;
    return pl.call(Value(p->getter), Value(self), none);
  }
  return p->value;
}

Value Player::getMember(const Value& obj, const std::string& name) {
  bool cs = caseSensitive();
  Object* o = nullptr;
  switch (obj.type) {
    case Value::Undefined:
    case Value::Null: return Value();
    case Value::String:
      if (namesEqual(name, "length", cs)) return Value(static_cast<double>(utf8Length(obj.s)));
      o = stringProto_;
      break;
    case Value::Number: o = numberProto_; break;
    case Value::Bool: o = booleanProto_; break;
    case Value::Obj: o = obj.o; break;
  }
  if (!o) return Value();
  if (namesEqual(name, "__proto__", cs)) return obj.type == Value::Obj ? (o->proto ? Value(o->proto) : Value()) : Value(o);
  if (obj.type != Value::Obj) {
    Property* p = findProp(o, name);
    return p ? p->value : Value();
  }
  if (o->kind == Object::Super) {
    Property* p = o->superProto ? findProp(o->superProto, name) : nullptr;
    return p ? propValue(*this, p, o->superThis) : Value();
  }
  if (o->kind == Object::Array) {
    if (namesEqual(name, "length", cs)) return Value(static_cast<double>(o->elems.size()));
    size_t idx;
    if (arrayIndex(name, idx) && idx < o->elems.size()) return o->elems[idx];
  } else if (o->kind == Object::String && namesEqual(name, "length", cs)) {
    return Value(static_cast<double>(utf8Length(toString(o->primitive))));
  }
  if (o->kind == Object::Clip && o->clip) {
    DisplayObject* d = o->clip;
    if (Property* p = o->find(name, cs)) return propValue(*this, p, o);
    if (!name.empty() && name[0] == '_') {
      if (namesEqual(name, "_root", cs)) {
        DisplayObject* r = d;
        while (r->parent) r = r->parent;
        return Value(clipObject(r));
      }
      if (namesEqual(name, "_parent", cs)) return d->parent ? Value(clipObject(d->parent)) : Value();
      if (namesEqual(name, "_global", cs) && version() >= 6) return Value(global_);
      int level;
      if (name.size() > 6 && (namesEqual(name.substr(0, 6), "_level", cs))) {
        level = std::atoi(name.c_str() + 6);
        DisplayObject* l = root(level);
        return l ? Value(clipObject(l)) : Value();
      }
      int idx = propertyIndex(name);
      if (idx >= 0) return getClipProperty(d, idx);
    }
    for (auto& kv : d->children) {
      DisplayObject* c = kv.second;
      if (c->name.empty() || !namesEqual(c->name, name, cs)) continue;
      if (c->isClip() || c->kind == DisplayObject::Button || c->kind == DisplayObject::Text) return Value(clipObject(c));
      // A named shape has no object of its own: its name reaches the clip that holds it.
      return Value(o);
    }
    if (d->kind == DisplayObject::Text && namesEqual(name, "text", cs)) return Value(d->text);
  }
  Property* p = findProp(o, name);
  return p ? propValue(*this, p, o) : Value();
}

bool Player::hasMember(const Value& obj, const std::string& name) {
  if (!obj.isObject()) return false;
  Object* o = obj.o;
  bool cs = caseSensitive();
  if (namesEqual(name, "__proto__", cs)) return o->proto != nullptr;
  if (o->kind == Object::Array) {
    if (namesEqual(name, "length", cs)) return true;
    size_t idx;
    if (arrayIndex(name, idx) && idx < o->elems.size()) return true;
  }
  if (o->kind == Object::Clip && o->clip) {
    DisplayObject* d = o->clip;
    if (o->find(name, cs)) return true;
    if (!name.empty() && name[0] == '_') {
      if (namesEqual(name, "_root", cs) || (namesEqual(name, "_parent", cs) && d->parent)) return true;
      if (name.size() > 6 && namesEqual(name.substr(0, 6), "_level", cs)) return root(std::atoi(name.c_str() + 6)) != nullptr;
      if (propertyIndex(name) >= 0) return true;
    }
    for (auto& kv : d->children)
      if (!kv.second->name.empty() && namesEqual(kv.second->name, name, cs)) return true;
  }
  return findProp(o, name) != nullptr;
}

void Player::setMember(const Value& obj, const std::string& name, const Value& v) {
  if (!obj.isObject()) return;
  Object* o = obj.o;
  bool cs = caseSensitive();
  if (namesEqual(name, "__proto__", cs)) {
    Object* np = v.isObject() ? v.o : nullptr;
    for (Object* c = np; c; c = c->proto)
      if (c == o) return;  // no cycles
    o->proto = np;
    return;
  }
  if (o->kind == Object::Super) o = o->superThis;
  if (!o) return;
  Value value = v;
  if (!o->watches.empty()) {
    for (auto& w : o->watches)
      if (namesEqual(w.first, name, cs)) {
        Value old = getMember(Value(o), name);
        Args a{Value(name), old, v, w.second.second};
        Object* cb = w.second.first;
        value = call(Value(cb), Value(o), a);
        break;
      }
  }
  if (o->kind == Object::Array) {
    if (namesEqual(name, "length", cs)) {
      double n = toNumber(value);
      if (n >= 0 && n <= kMaxArrayLength) {
        if (n > o->elems.size()) chargeWork((static_cast<size_t>(n) - o->elems.size()) * 4096);
        o->elems.resize(static_cast<size_t>(n));
      }
      return;
    }
    size_t idx;
    if (arrayIndex(name, idx) && idx < kMaxArrayLength) {
      // Each element a jump adds counts as an action: many arrays grown far apart would
      // otherwise take the memory of the machine.
      if (idx >= o->elems.size()) {
        chargeWork((idx + 1 - o->elems.size()) * 4096);
        o->elems.resize(idx + 1);
      }
      o->elems[idx] = value;
      return;
    }
  }
  if (o->kind == Object::Clip && o->clip && !name.empty() && name[0] == '_') {
    int idx = propertyIndex(name);
    if (idx >= 0) {
      setClipProperty(o->clip, idx, value);
      return;
    }
  }
  if (o->kind == Object::Clip && o->clip && o->clip->kind == DisplayObject::Text && namesEqual(name, "text", cs)) {
    o->clip->text = toString(value);
    return;
  }
  if (Property* p = o->find(name, cs)) {
    if (p->setter) {
      Args a{value};
      call(Value(p->setter), Value(o), a);
      return;
    }
    if (p->getter) return;
    if (p->flags & ReadOnly) return;
    p->value = value;
    return;
  }
  Object* where = nullptr;
  if (Property* p = o->proto ? findProp(o->proto, name, &where) : nullptr) {
    if (p->setter) {
      Args a{value};
      call(Value(p->setter), Value(o), a);
      return;
    }
    if (p->getter) return;
  }
  o->props.push_back(Property{name, value, 0, nullptr, nullptr});
}

bool Player::deleteMember(Object* o, const std::string& name) {
  bool cs = caseSensitive();
  if (o->kind == Object::Array) {
    size_t idx;
    if (arrayIndex(name, idx) && idx < o->elems.size()) {
      o->elems[idx] = Value();
      return true;
    }
  }
  for (size_t i = 0; i < o->props.size(); ++i)
    if (namesEqual(o->props[i].name, name, cs)) {
      if (o->props[i].flags & DontDelete) return false;
      o->props.erase(o->props.begin() + static_cast<long>(i));
      return true;
    }
  return false;
}

std::vector<std::string> Player::enumerate(const Value& obj) {
  std::vector<std::string> out;
  if (!obj.isObject()) return out;
  bool cs = caseSensitive();
  // Names met so far (listed or hidden), keyed as the version compares them: a large array
  // must not make every later name cost a scan of the whole list.
  std::unordered_set<std::string> listed, hidden;
  auto key = [&](const std::string& n) { return cs ? n : toLowerAscii(n); };
  Object* o = obj.o;
  int guard = 0;
  for (Object* c = o; c && guard < 256; c = c->proto, ++guard) {
    for (auto it = c->props.rbegin(); it != c->props.rend(); ++it) {
      std::string k = key(it->name);
      if (listed.count(k)) continue;
      if (it->flags & DontEnum) {
        hidden.insert(k);
        continue;
      }
      if (!hidden.count(k)) {
        out.push_back(it->name);
        listed.insert(k);
      }
    }
    if (c->kind == Object::Array)
      for (size_t i = c->elems.size(); i-- > 0;) {
        out.push_back(std::to_string(i));
        listed.insert(out.back());
      }
    if (c->kind == Object::Clip && c->clip)
      for (auto it = c->clip->children.rbegin(); it != c->clip->children.rend(); ++it)
        if (it->second->isClip() && !it->second->name.empty() && !listed.count(key(it->second->name))) {
          out.push_back(it->second->name);
          listed.insert(key(it->second->name));
        }
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Conversions

Value Player::toPrimitive(const Value& v, bool hintString) {
  if (v.type != Value::Obj || !v.o) return v;
  Object* o = v.o;
  if (o->kind == Object::Clip && o->clip) return Value(targetPath(o->clip));
  // A super reference is no object of its own: it has no conversion methods to call.
  if (o->kind == Object::Super) return Value("[type Object]");
  if (!hintString && o->kind != Object::Date) {
    // Without a valueOf method an object converts to undefined; a clip that valueOf returns
    // stands for itself.
    Value f = getMember(v, "valueOf");
    if (!f.isObject() || f.o->kind != Object::Function) return Value();
    Args none;
    Value r = call(f, v, none);
    if (r.type != Value::Obj || (r.o && r.o->kind == Object::Clip)) return r;
    Value t = getMember(v, "toString");
    if (t.isObject() && t.o->kind == Object::Function) {
      Value r2 = call(t, v, none);
      if (r2.type != Value::Obj) return r2;
    }
    return Value(o->kind == Object::Function ? "[type Function]" : "[type Object]");
  }
  const char* first = hintString || o->kind == Object::Date ? "toString" : "valueOf";
  const char* second = hintString || o->kind == Object::Date ? "valueOf" : "toString";
  for (const char* m : {first, second}) {
    Value f = getMember(v, m);
    if (f.isObject() && f.o->kind == Object::Function) {
      Args none;
      Value r = call(f, v, none);
      if (r.type != Value::Obj) return r;
    }
  }
  return Value(o->kind == Object::Function ? "[type Function]" : "[type Object]");
}

std::string Player::toString(const Value& v) {
  switch (v.type) {
    case Value::Undefined: return version() >= 7 ? "undefined" : "";
    case Value::Null: return "null";
    case Value::Bool: return version() < 5 ? (v.b ? "1" : "0") : (v.b ? "true" : "false");
    case Value::Number: return numberToString(v.n);
    case Value::String: return v.s;
    case Value::Obj: {
      if (!v.o) return "null";
      if (v.o->kind == Object::Clip && v.o->clip) {
        DisplayObject* live = liveClip(v.o->clip);
        return live ? targetPath(live) : "";
      }
      Value p = toPrimitive(v, true);
      if (p.type == Value::Obj) return "[type Object]";
      return toString(p);
    }
  }
  return "";
}

double Player::toNumber(const Value& v) {
  switch (v.type) {
    case Value::Undefined:
    case Value::Null: return version() >= 7 ? NAN : 0;
    case Value::Bool: return v.b ? 1 : 0;
    case Value::Number: return v.n;
    case Value::String: return stringToNumber(v.s, version());
    case Value::Obj: {
      if (v.o && v.o->kind == Object::Clip) return NAN;
      Value p = toPrimitive(v, false);
      if (p.type == Value::Obj) return NAN;
      if (p.type == Value::Undefined || p.type == Value::Null) return NAN;
      return toNumber(p);
    }
  }
  return NAN;
}

bool Player::toBoolean(const Value& v) {
  switch (v.type) {
    case Value::Undefined:
    case Value::Null: return false;
    case Value::Bool: return v.b;
    case Value::Number: return v.n != 0 && !std::isnan(v.n);
    case Value::String:
      if (version() >= 7) return !v.s.empty();
      {
        double d = stringToNumber(v.s, version());
        return d != 0 && !std::isnan(d);
      }
    case Value::Obj: return v.o != nullptr;
  }
  return false;
}

Object* Player::toObject(const Value& v) {
  switch (v.type) {
    case Value::Obj: return v.o;
    case Value::String: {
      Object* o = newObject(stringProto_);
      o->kind = Object::String;
      o->primitive = v;
      return o;
    }
    case Value::Number: {
      Object* o = newObject(numberProto_);
      o->kind = Object::Number;
      o->primitive = v;
      return o;
    }
    case Value::Bool: {
      Object* o = newObject(booleanProto_);
      o->kind = Object::Boolean;
      o->primitive = v;
      return o;
    }
    default: return nullptr;
  }
}

std::string Player::typeOf(const Value& v) {
  switch (v.type) {
    case Value::Undefined: return "undefined";
    case Value::Null: return "null";
    case Value::Bool: return "boolean";
    case Value::Number: return "number";
    case Value::String: return "string";
    case Value::Obj:
      if (!v.o) return "null";
      if (v.o->kind == Object::Clip) return v.o->clip && v.o->clip->kind == DisplayObject::Text ? "object" : "movieclip";
      if (v.o->kind == Object::Function) return "function";
      return "object";
  }
  return "undefined";
}

bool Player::instanceOf(Object* obj, Object* ctor) {
  Value proto = getMember(Value(ctor), "prototype");
  if (!proto.isObject()) return false;
  int guard = 0;
  for (Object* p = obj->proto; p && guard < 256; p = p->proto, ++guard) {
    if (p == proto.o) return true;
    for (Object* i : p->interfaces) {
      Value ip = getMember(Value(i), "prototype");
      if (i == ctor || (ip.isObject() && ip.o == proto.o)) return true;
    }
  }
  return false;
}

}  // namespace moviectl
