// Built-in classes and global functions of the AVM1 world: Object, Function, Array, String,
// Number, Boolean, Math, Error, MovieClip, Key and the global functions movies use.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "moviectl/internal.h"
#include "moviectl/player.h"

namespace moviectl {

namespace {

Value arg(const Args& a, size_t i) { return i < a.size() ? a[i] : Value(); }

#define NATIVE(name) Value name([[maybe_unused]] Player& pl, [[maybe_unused]] Value self, [[maybe_unused]] Args& args)

void method(Player& pl, Object* o, const char* name, NativeFn fn) {
  pl.defineProp(o, name, Value(pl.newFunction(fn)), DontEnum);
}

double num(Player& pl, const Args& a, size_t i, double dflt = NAN) {
  return i < a.size() ? pl.toNumber(a[i]) : dflt;
}

// ---- Object ---------------------------------------------------------------------------

NATIVE(objectCtor) {
  Value v = arg(args, 0);
  if (v.isNullish()) return Value(pl.newObject());
  return Value(pl.toObject(v));
}

Value bareObject(Player& pl) {
  Object* o = pl.newObject();
  o->proto = nullptr;
  return Value(o);
}

// Object() called as a function without a value (or with undefined or null) gives a bare object.
NATIVE(objectFn) {
  if (arg(args, 0).isNullish()) return bareObject(pl);
  return objectCtor(pl, self, args);
}

// Function() called as a function hands back its first argument unchanged.
NATIVE(functionFn) {
  if (args.empty()) return bareObject(pl);
  return args[0];
}

NATIVE(objectToString) {
  if (self.isObject() && self.o->kind == Object::Function) return Value("[type Function]");
  return Value("[object Object]");
}

NATIVE(objectValueOf) { return self; }

NATIVE(hasOwnProperty) {
  if (!self.isObject() || args.empty()) return Value(false);
  std::string n = pl.toString(args[0]);
  Object* o = self.o;
  if (o->kind == Object::Array) {
    if (namesEqual(n, "length", pl.caseSensitive())) return Value(true);
    char* end = nullptr;
    long idx = std::strtol(n.c_str(), &end, 10);
    if (end && *end == 0 && !n.empty() && idx >= 0 && static_cast<size_t>(idx) < o->elems.size()) return Value(true);
  }
  return Value(o->find(n, pl.caseSensitive()) != nullptr);
}

NATIVE(isPropertyEnumerable) {
  if (!self.isObject() || args.empty()) return Value(false);
  Property* p = self.o->find(pl.toString(args[0]), pl.caseSensitive());
  return Value(p && !(p->flags & DontEnum));
}

NATIVE(isPrototypeOf) {
  Value v = arg(args, 0);
  if (!self.isObject() || !v.isObject()) return Value(false);
  int guard = 0;
  for (Object* p = v.o->proto; p && guard < 256; p = p->proto, ++guard)
    if (p == self.o) return Value(true);
  return Value(false);
}

NATIVE(addProperty) {
  if (!self.isObject() || args.size() < 2) return Value(false);
  std::string name = pl.toString(args[0]);
  Value get = args[1];
  Value set = arg(args, 2);
  if (name.empty() || !get.isObject() || get.o->kind != Object::Function) return Value(false);
  Object* o = self.o;
  Property* p = o->find(name, pl.caseSensitive());
  if (!p) {
    o->props.push_back(Property{name, Value(), 0, nullptr, nullptr});
    p = &o->props.back();
  }
  p->getter = get.o;
  p->setter = set.isObject() && set.o->kind == Object::Function ? set.o : nullptr;
  if (!p->setter) p->flags |= ReadOnly;
  return Value(true);
}

NATIVE(watch) {
  if (!self.isObject() || args.size() < 2 || !args[1].isObject()) return Value(false);
  std::string name = pl.toString(args[0]);
  for (auto& w : self.o->watches)
    if (namesEqual(w.first, name, pl.caseSensitive())) {
      w.second = {args[1].o, arg(args, 2)};
      return Value(true);
    }
  self.o->watches.push_back({name, {args[1].o, arg(args, 2)}});
  return Value(true);
}

NATIVE(unwatch) {
  if (!self.isObject() || args.empty()) return Value(false);
  std::string name = pl.toString(args[0]);
  auto& w = self.o->watches;
  for (size_t i = 0; i < w.size(); ++i)
    if (namesEqual(w[i].first, name, pl.caseSensitive())) {
      w.erase(w.begin() + static_cast<long>(i));
      return Value(true);
    }
  return Value(false);
}

NATIVE(registerClass) {
  if (args.size() < 2) return Value(false);
  Value regs = pl.getMember(Value(pl.global()), "__registeredClasses");
  if (!regs.isObject()) {
    regs = Value(pl.newObject());
    pl.defineProp(pl.global(), "__registeredClasses", regs, DontEnum);
  }
  std::string name = toLowerAscii(pl.toString(args[0]));
  pl.defineProp(regs.o, name, args[1]);
  return Value(true);
}

// ---- Function -------------------------------------------------------------------------

NATIVE(functionCall) {
  Args rest(args.size() > 1 ? args.begin() + 1 : args.end(), args.end());
  Value thisArg = arg(args, 0);
  return pl.call(self, thisArg, rest);
}

NATIVE(functionApply) {
  Args rest;
  Value list = arg(args, 1);
  if (list.isObject() && list.o->kind == Object::Array) rest = list.o->elems;
  return pl.call(self, arg(args, 0), rest);
}

// ---- Array ----------------------------------------------------------------------------

NATIVE(arrayCtor) {
  if (args.size() == 1 && args[0].type == Value::Number) {
    double n = args[0].n;
    Object* a = pl.newArray();
    if (n >= 0 && n <= kMaxArrayLength && n == std::floor(n)) {
      pl.chargeWork(static_cast<size_t>(n) * 4096);
      a->elems.resize(static_cast<size_t>(n));
    }
    return Value(a);
  }
  return Value(pl.newArray(args));
}

Object* arrayOf(Value& self) { return self.isObject() && self.o->kind == Object::Array ? self.o : nullptr; }

std::string joinArray(Player& pl, Object* a, const std::string& sep, int depth = 0) {
  std::string out;
  for (size_t i = 0; i < a->elems.size(); ++i) {
    if (i) out += sep;
    const Value& v = a->elems[i];
    if (v.isObject() && v.o->kind == Object::Array) {
      if (depth < 32) out += joinArray(pl, v.o, ",", depth + 1);
    } else if (v.type != Value::Undefined || pl.version() >= 7) {
      out += pl.toString(v);
    }
  }
  pl.chargeWork(out.size() + a->elems.size() * 4);
  return out;
}

NATIVE(arrayPush) {
  Object* a = arrayOf(self);
  if (!a) return Value();
  if (a->elems.size() + args.size() > (1u << 24)) pl.abortScript();
  for (auto& v : args) a->elems.push_back(v);
  return Value(static_cast<double>(a->elems.size()));
}

NATIVE(arrayPop) {
  Object* a = arrayOf(self);
  if (!a || a->elems.empty()) return Value();
  Value v = a->elems.back();
  a->elems.pop_back();
  return v;
}

NATIVE(arrayShift) {
  Object* a = arrayOf(self);
  if (!a || a->elems.empty()) return Value();
  Value v = a->elems.front();
  a->elems.erase(a->elems.begin());
  return v;
}

NATIVE(arrayUnshift) {
  Object* a = arrayOf(self);
  if (!a) return Value();
  a->elems.insert(a->elems.begin(), args.begin(), args.end());
  return Value(static_cast<double>(a->elems.size()));
}

long clampIndex(double d, long len) {
  if (std::isnan(d)) return 0;
  if (d < 0) return std::max(0L, len + static_cast<long>(std::max(d, -1e12)));
  return std::min(len, static_cast<long>(std::min(d, 1e12)));
}

NATIVE(arraySlice) {
  Object* a = arrayOf(self);
  if (!a) return Value();
  long len = static_cast<long>(a->elems.size());
  long s = clampIndex(num(pl, args, 0, 0), len);
  // An undefined end means the end of the array.
  long e = args.size() > 1 && !args[1].isUndefined() ? clampIndex(num(pl, args, 1), len) : len;
  std::vector<Value> out;
  for (long i = s; i < e; ++i) out.push_back(a->elems[static_cast<size_t>(i)]);
  return Value(pl.newArray(out));
}

NATIVE(arraySplice) {
  Object* a = arrayOf(self);
  if (!a || args.empty()) return Value();
  long len = static_cast<long>(a->elems.size());
  long s = clampIndex(num(pl, args, 0, 0), len);
  long count = args.size() > 1 ? std::max(0L, std::min(len - s, static_cast<long>(std::max(0.0, std::min(num(pl, args, 1, 0), 1e12))))) : len - s;
  std::vector<Value> removed(a->elems.begin() + s, a->elems.begin() + s + count);
  a->elems.erase(a->elems.begin() + s, a->elems.begin() + s + count);
  if (args.size() > 2) a->elems.insert(a->elems.begin() + s, args.begin() + 2, args.end());
  return Value(pl.newArray(removed));
}

NATIVE(arrayJoin) {
  Object* a = arrayOf(self);
  if (!a) return Value();
  std::string sep = args.empty() || args[0].type == Value::Undefined ? "," : pl.toString(args[0]);
  return Value(joinArray(pl, a, sep));
}

NATIVE(arrayToString) {
  Object* a = arrayOf(self);
  if (!a) return Value("[object Object]");
  return Value(joinArray(pl, a, ","));
}

NATIVE(arrayConcat) {
  Object* a = arrayOf(self);
  std::vector<Value> out;
  if (a) out = a->elems;
  for (auto& v : args) {
    if (v.isObject() && v.o->kind == Object::Array)
      out.insert(out.end(), v.o->elems.begin(), v.o->elems.end());
    else
      out.push_back(v);
  }
  if (out.size() > (1u << 24)) pl.abortScript();
  return Value(pl.newArray(out));
}

NATIVE(arrayReverse) {
  Object* a = arrayOf(self);
  if (!a) return Value();
  std::reverse(a->elems.begin(), a->elems.end());
  return self;
}

enum SortFlags { CaseInsensitive = 1, Descending = 2, UniqueSort = 4, ReturnIndexed = 8, Numeric = 16 };

int compareValues(Player& pl, const Value& x, const Value& y, int flags, const Value& fn) {
  if (fn.isObject()) {
    Args a{x, y};
    double r = pl.toNumber(pl.call(fn, Value(), a));
    return r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  if (flags & Numeric) {
    double a = pl.toNumber(x), b = pl.toNumber(y);
    if (std::isnan(a) || std::isnan(b)) {
      if (std::isnan(a) && std::isnan(b)) return 0;
      return std::isnan(a) ? 1 : -1;
    }
    return a < b ? -1 : a > b ? 1 : 0;
  }
  std::string a = pl.toString(x), b = pl.toString(y);
  if (x.type == Value::Undefined) a = "undefined";
  if (y.type == Value::Undefined) b = "undefined";
  if (flags & CaseInsensitive) {
    a = toLowerAscii(a);
    b = toLowerAscii(b);
  }
  return a < b ? -1 : a > b ? 1 : 0;
}

Value sortImpl(Player& pl, Value self, std::vector<Value> keys, int flags, const Value& fn) {
  Object* a = arrayOf(self);
  if (!a) return Value();
  // The compare function is script code: it may answer inconsistently or change the array
  // while it runs. Sort a snapshot with a merge sort that stays in bounds whatever it answers.
  std::vector<Value> snapshot = a->elems;
  size_t n = std::min(snapshot.size(), keys.size());
  std::vector<size_t> order(n), tmp(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  bool dup = false;
  auto before = [&](size_t i, size_t j) {
    int c = compareValues(pl, keys[i], keys[j], flags, fn);
    if (c == 0 && i != j) dup = true;
    if (flags & Descending) c = -c;
    return c < 0;
  };
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      size_t x = lo, y = mid, k = lo;
      while (x < mid && y < hi) tmp[k++] = before(order[y], order[x]) ? order[y++] : order[x++];
      while (x < mid) tmp[k++] = order[x++];
      while (y < hi) tmp[k++] = order[y++];
    }
    order.swap(tmp);
  }
  if ((flags & UniqueSort) && dup) return Value(0);
  if (flags & ReturnIndexed) {
    std::vector<Value> idx;
    for (size_t i : order) idx.push_back(Value(static_cast<double>(i)));
    return Value(pl.newArray(idx));
  }
  std::vector<Value> sorted;
  for (size_t i : order) sorted.push_back(snapshot[i]);
  a->elems = sorted;
  return self;
}

NATIVE(arraySort) {
  Object* a = arrayOf(self);
  if (!a) return Value();
  Value fn;
  int flags = 0;
  size_t i = 0;
  if (!args.empty() && args[0].isObject() && args[0].o->kind == Object::Function) fn = args[i++];
  if (i < args.size()) flags = toInt32(pl.toNumber(args[i]));
  return sortImpl(pl, self, a->elems, flags, fn);
}

NATIVE(arraySortOn) {
  Object* a = arrayOf(self);
  if (!a || args.empty()) return Value();
  std::string field = pl.toString(args[0]);
  int flags = args.size() > 1 ? toInt32(pl.toNumber(args[1])) : 0;
  std::vector<Value> keys;
  for (auto& e : a->elems) keys.push_back(pl.getMember(e, field));
  return sortImpl(pl, self, keys, flags, Value());
}

// ---- String ---------------------------------------------------------------------------

std::string strOf(Player& pl, const Value& self) {
  if (self.isObject() && self.o->kind == Object::String) return pl.toString(self.o->primitive);
  return pl.toString(self);
}

NATIVE(stringFn) { return Value(args.empty() ? std::string() : pl.toString(args[0])); }

NATIVE(stringCtor) {
  Object* o = pl.toObject(Value(args.empty() ? std::string() : pl.toString(args[0])));
  return Value(o);
}

NATIVE(stringToString) { return Value(strOf(pl, self)); }

NATIVE(charAt) {
  auto cps = utf8Decode(strOf(pl, self));
  double i = num(pl, args, 0, 0);
  if (std::isnan(i)) i = 0;
  if (i < 0 || i >= static_cast<double>(cps.size())) return Value("");
  return Value(utf8Encode(cps[static_cast<size_t>(i)]));
}

NATIVE(charCodeAt) {
  auto cps = utf8Decode(strOf(pl, self));
  double i = num(pl, args, 0, 0);
  if (std::isnan(i)) i = 0;
  if (i < 0 || i >= static_cast<double>(cps.size())) return Value(NAN);
  return Value(static_cast<double>(cps[static_cast<size_t>(i)]));
}

std::vector<uint32_t> cpsOf(Player& pl, const Value& v) { return utf8Decode(pl.toString(v)); }

std::string encode(const std::vector<uint32_t>& cps, size_t s, size_t e) {
  std::string o;
  for (size_t i = s; i < e && i < cps.size(); ++i) o += utf8Encode(cps[i]);
  return o;
}

NATIVE(indexOf) {
  auto s = utf8Decode(strOf(pl, self));
  auto needle = cpsOf(pl, arg(args, 0));
  double from = num(pl, args, 1, 0);
  long start = std::isnan(from) ? 0 : static_cast<long>(std::max(0.0, std::min(from, 1e9)));
  for (size_t i = static_cast<size_t>(start); i + needle.size() <= s.size(); ++i)
    if (std::equal(needle.begin(), needle.end(), s.begin() + static_cast<long>(i))) return Value(static_cast<double>(i));
  return Value(-1);
}

NATIVE(lastIndexOf) {
  auto s = utf8Decode(strOf(pl, self));
  auto needle = cpsOf(pl, arg(args, 0));
  if (needle.size() > s.size()) return Value(-1);
  double from = num(pl, args, 1, 1e9);
  long start = std::isnan(from) ? static_cast<long>(s.size()) : static_cast<long>(std::min(from, 1e9));
  if (start < 0) return Value(-1);
  for (long i = std::min(start, static_cast<long>(s.size() - needle.size())); i >= 0; --i)
    if (std::equal(needle.begin(), needle.end(), s.begin() + i)) return Value(static_cast<double>(i));
  return Value(-1);
}

NATIVE(substr) {
  auto s = utf8Decode(strOf(pl, self));
  long len = static_cast<long>(s.size());
  double st = num(pl, args, 0, 0);
  long start = clampIndex(st, len);
  double cnt = args.size() > 1 && args[1].type != Value::Undefined ? num(pl, args, 1) : static_cast<double>(len);
  if (std::isnan(cnt)) cnt = 0;
  long count = cnt < 0 ? std::max(0L, len - start + static_cast<long>(std::max(cnt, -1e9))) : static_cast<long>(std::min(cnt, 1e9));
  if (cnt < 0) count = std::max(0L, len + static_cast<long>(std::max(cnt, -1e9)) - start);
  return Value(encode(s, static_cast<size_t>(start), static_cast<size_t>(std::min(len, start + count))));
}

NATIVE(substring) {
  auto s = utf8Decode(strOf(pl, self));
  long len = static_cast<long>(s.size());
  auto clamp = [&](double d) -> long {
    if (std::isnan(d) || d < 0) return 0;
    return std::min(len, static_cast<long>(std::min(d, 1e12)));
  };
  long a = clamp(num(pl, args, 0, 0));
  long b = args.size() > 1 && args[1].type != Value::Undefined ? clamp(num(pl, args, 1)) : len;
  if (a > b) std::swap(a, b);
  return Value(encode(s, static_cast<size_t>(a), static_cast<size_t>(b)));
}

NATIVE(sliceStr) {
  auto s = utf8Decode(strOf(pl, self));
  long len = static_cast<long>(s.size());
  long a = clampIndex(num(pl, args, 0, 0), len);
  long b = args.size() > 1 && args[1].type != Value::Undefined ? clampIndex(num(pl, args, 1), len) : len;
  if (a >= b) return Value("");
  return Value(encode(s, static_cast<size_t>(a), static_cast<size_t>(b)));
}

NATIVE(split) {
  std::string s = strOf(pl, self);
  Object* out = pl.newArray();
  if (args.empty() || args[0].type == Value::Undefined) {
    out->elems.push_back(Value(s));
    return Value(out);
  }
  std::string sep = pl.toString(args[0]);
  double limit = args.size() > 1 && args[1].type != Value::Undefined ? num(pl, args, 1) : 1e9;
  size_t max = std::isnan(limit) || limit < 0 ? 0 : static_cast<size_t>(std::min(limit, 1e9));
  if (sep.empty()) {
    auto cps = utf8Decode(s);
    for (size_t i = 0; i < cps.size() && out->elems.size() < max; ++i) out->elems.push_back(Value(utf8Encode(cps[i])));
    return Value(out);
  }
  size_t pos = 0;
  while (out->elems.size() < max) {
    size_t f = s.find(sep, pos);
    if (f == std::string::npos) {
      out->elems.push_back(Value(s.substr(pos)));
      break;
    }
    out->elems.push_back(Value(s.substr(pos, f - pos)));
    pos = f + sep.size();
  }
  return Value(out);
}

NATIVE(toUpper) {
  std::string s = strOf(pl, self);
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return Value(s);
}

NATIVE(toLower) { return Value(toLowerAscii(strOf(pl, self))); }

NATIVE(stringConcat) {
  std::string s = strOf(pl, self);
  for (auto& v : args) s += pl.toString(v);
  pl.chargeWork(s.size());
  return Value(s);
}

NATIVE(fromCharCode) {
  std::string s;
  for (auto& v : args) {
    uint32_t cp = static_cast<uint32_t>(toInt32(pl.toNumber(v))) & 0xFFFF;
    if (cp) s += utf8Encode(cp);
  }
  return Value(s);
}

// ---- Number, Boolean ------------------------------------------------------------------

NATIVE(numberFn) { return Value(args.empty() ? 0.0 : pl.toNumber(args[0])); }
NATIVE(numberCtor) { return Value(pl.toObject(Value(args.empty() ? 0.0 : pl.toNumber(args[0])))); }

NATIVE(numberProtoToString) {
  double d = self.isObject() && self.o->kind == Object::Number ? self.o->primitive.n : pl.toNumber(self);
  int radix = args.empty() ? 10 : toInt32(pl.toNumber(args[0]));
  if (radix < 2 || radix > 36 || radix == 10 || !std::isfinite(d)) return Value(moviectl::numberToString(d));
  int64_t v = static_cast<int64_t>(toInt32(d));
  bool neg = v < 0;
  uint64_t u = static_cast<uint64_t>(neg ? -v : v);
  std::string s;
  do {
    s += "0123456789abcdefghijklmnopqrstuvwxyz"[u % static_cast<uint64_t>(radix)];
    u /= static_cast<uint64_t>(radix);
  } while (u);
  if (neg) s += '-';
  std::reverse(s.begin(), s.end());
  return Value(s);
}

NATIVE(primitiveValueOf) {
  if (self.isObject() && (self.o->kind == Object::Number || self.o->kind == Object::Boolean || self.o->kind == Object::String))
    return self.o->primitive;
  return self;
}

NATIVE(booleanFn) { return Value(args.empty() ? false : pl.toBoolean(args[0])); }
NATIVE(booleanCtor) { return Value(pl.toObject(Value(args.empty() ? false : pl.toBoolean(args[0])))); }
NATIVE(booleanToString) {
  bool b = self.isObject() && self.o->kind == Object::Boolean ? self.o->primitive.b : pl.toBoolean(self);
  return Value(b ? "true" : "false");
}

// ---- Math -----------------------------------------------------------------------------

#define MATH1(name, expr) \
  NATIVE(name) {          \
    double x = num(pl, args, 0); \
    return Value(expr);   \
  }
MATH1(mathAbs, std::fabs(x))
MATH1(mathAcos, std::acos(x))
MATH1(mathAsin, std::asin(x))
MATH1(mathAtan, std::atan(x))
MATH1(mathCeil, std::ceil(x))
MATH1(mathCos, std::cos(x))
MATH1(mathExp, std::exp(x))
MATH1(mathFloor, std::floor(x))
MATH1(mathLog, std::log(x))
MATH1(mathSin, std::sin(x))
MATH1(mathSqrt, std::sqrt(x))
MATH1(mathTan, std::tan(x))
MATH1(mathRound, std::floor(x + 0.5))

NATIVE(mathAtan2) { return Value(std::atan2(num(pl, args, 0), num(pl, args, 1))); }
NATIVE(mathPow) { return Value(std::pow(num(pl, args, 0), num(pl, args, 1))); }
NATIVE(mathMin) {
  if (args.empty()) return Value(INFINITY);
  double r = INFINITY;
  for (auto& v : args) {
    double d = pl.toNumber(v);
    if (std::isnan(d)) return Value(NAN);
    r = std::min(r, d);
  }
  return Value(r);
}
NATIVE(mathMax) {
  if (args.empty()) return Value(-INFINITY);
  double r = -INFINITY;
  for (auto& v : args) {
    double d = pl.toNumber(v);
    if (std::isnan(d)) return Value(NAN);
    r = std::max(r, d);
  }
  return Value(r);
}
NATIVE(mathRandom) { return Value(pl.random(1e9) / 1e9); }

// ---- globals --------------------------------------------------------------------------

// parseInt with the reference player's prefix rules: "0x" is only recognised at the very
// start (before any sign or space) and is stripped whatever the radix; a sign before "0x"
// gives NaN unless "0x" are digits of the radix, and then the sign is ignored; a leading 0
// followed only by octal digits selects octal when no radix is given.
NATIVE(parseIntFn) {
  if (args.empty()) return Value();
  int radix = 0;
  if (args.size() > 1) {
    radix = toInt32(pl.toNumber(args[1]));
    if (radix < 2 || radix > 36) return Value(NAN);
  }
  std::string s = pl.toString(args[0]);
  size_t i = 0;
  bool ignoreSign = false;
  auto isX = [&](size_t k) { return k < s.size() && (s[k] == 'x' || s[k] == 'X'); };
  bool signed0 = s.size() >= 2 && (s[0] == '+' || s[0] == '-') && s[1] == '0';
  if (signed0 && isX(2)) {
    if (radix <= 33) return Value(NAN);
    ignoreSign = true;
  } else if (!s.empty() && s[0] == '0' && isX(1)) {
    i = 2;
    if (radix == 0) radix = 16;
  } else if (radix == 0 && (signed0 || (!s.empty() && s[0] == '0'))) {
    bool octal = true;
    for (size_t k = signed0 ? 2 : 1; k < s.size(); ++k)
      if (s[k] < '0' || s[k] > '7') octal = false;
    if (octal) radix = 8;
  }
  if (radix == 0) radix = 10;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\v' || s[i] == '\f')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  if (ignoreSign) neg = false;
  double v = 0;
  bool any = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 99;
    if (d >= radix) break;
    v = v * radix + d;
    any = true;
  }
  if (!any) return Value(NAN);
  return Value(neg ? -v : v);
}

// parseFloat as the reference player does it: fraction digits are added one by one (so
// the result can differ from the nearest double in the last bit), dots after the first are
// skipped, an exponent only counts before a second dot and wraps as a 32-bit integer.
NATIVE(parseFloatFn) {
  if (args.empty()) return Value();
  std::string s = pl.toString(arg(args, 0));
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  double v = 0, scale = 1;
  bool any = false;
  int dots = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.') {
      ++dots;
      continue;
    }
    if (c < '0' || c > '9') break;
    any = true;
    if (dots == 0) {
      v = v * 10 + (c - '0');
    } else {
      scale /= 10;
      v += (c - '0') * scale;
    }
  }
  if (!any) return Value(NAN);
  if (dots <= 1 && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t k = i + 1;
    bool eneg = false;
    if (k < s.size() && (s[k] == '-' || s[k] == '+')) eneg = s[k++] == '-';
    uint32_t e = 0;
    for (; k < s.size() && s[k] >= '0' && s[k] <= '9'; ++k) e = e * 10 + static_cast<uint32_t>(s[k] - '0');
    int32_t ex = static_cast<int32_t>(eneg ? 0u - e : e);
    if (ex != 0) v *= std::pow(10.0, ex);
  }
  return Value(neg ? -v : v);
}

NATIVE(isNaNFn) { return Value(std::isnan(num(pl, args, 0))); }
NATIVE(isFiniteFn) { return Value(std::isfinite(num(pl, args, 0))); }

NATIVE(escapeFn) {
  std::string s = pl.toString(arg(args, 0));
  std::string o;
  for (unsigned char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      o += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      o += buf;
    }
  }
  return Value(o);
}

NATIVE(unescapeFn) {
  std::string s = pl.toString(arg(args, 0));
  std::string o;
  auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() + 0 && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      o += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      o += s[i];
    }
  }
  return Value(o);
}

NATIVE(setIntervalFn) {
  if (args.empty()) return Value();
  Player::Interval iv{};
  size_t rest;
  if (args[0].isObject() && args[0].o->kind == Object::Function) {
    iv.fn = args[0];
    iv.periodMs = num(pl, args, 1, 0);
    rest = 2;
  } else if (args.size() >= 3) {
    iv.target = args[0];
    iv.method = pl.toString(args[1]);
    iv.periodMs = num(pl, args, 2, 0);
    rest = 3;
  } else {
    return Value();
  }
  if (std::isnan(iv.periodMs)) iv.periodMs = 0;
  for (size_t i = rest; i < args.size(); ++i) iv.args.push_back(args[i]);
  iv.id = pl.nextIntervalId++;
  iv.nextMs = pl.timeMs() + std::max(1.0, iv.periodMs);
  pl.intervals.push_back(iv);
  return Value(iv.id);
}

NATIVE(clearIntervalFn) {
  int id = toInt32(num(pl, args, 0, 0));
  auto& v = pl.intervals;
  v.erase(std::remove_if(v.begin(), v.end(), [&](const Player::Interval& i) { return i.id == id; }), v.end());
  return Value();
}

NATIVE(asSetPropFlags) {
  if (args.size() < 3 || !args[0].isObject()) return Value();
  Object* o = args[0].o;
  int set = toInt32(pl.toNumber(args[2]));
  int clear = args.size() > 3 ? toInt32(pl.toNumber(args[3])) : 0;
  std::vector<std::string> names;
  bool all = args[1].type == Value::Null;
  if (!all) {
    std::string list = pl.toString(args[1]);
    if (args[1].isObject() && args[1].o->kind == Object::Array) {
      for (auto& e : args[1].o->elems) names.push_back(pl.toString(e));
    } else {
      size_t p = 0;
      while (p <= list.size()) {
        size_t c = list.find(',', p);
        if (c == std::string::npos) c = list.size();
        names.push_back(list.substr(p, c - p));
        p = c + 1;
      }
    }
  }
  for (auto& p : o->props) {
    bool hit = all;
    for (auto& n : names)
      if (namesEqual(n, p.name, pl.caseSensitive())) hit = true;
    if (hit) p.flags = static_cast<uint8_t>(((p.flags & ~clear) | set) & 7);
  }
  return Value();
}

NATIVE(errorCtor) {
  Object* o = self.isObject() ? self.o : pl.newObject(pl.errorProto());
  if (!args.empty() && args[0].type != Value::Undefined) pl.setMember(Value(o), "message", args[0]);
  return Value(o);
}

NATIVE(errorToString) { return Value(pl.toString(pl.getMember(self, "message"))); }

// ---- MovieClip ------------------------------------------------------------------------

DisplayObject* clipSelf(Player& pl, const Value& self) { return pl.clipOf(self); }

NATIVE(mcPlay) {
  if (auto* d = clipSelf(pl, self)) d->playing = true;
  return Value();
}
NATIVE(mcStop) {
  if (auto* d = clipSelf(pl, self)) d->playing = false;
  return Value();
}
NATIVE(mcGotoAndPlay) {
  if (auto* d = clipSelf(pl, self)) pl.gotoValue(d, arg(args, 0), true);
  return Value();
}
NATIVE(mcGotoAndStop) {
  if (auto* d = clipSelf(pl, self)) pl.gotoValue(d, arg(args, 0), false);
  return Value();
}
NATIVE(mcNextFrame) {
  if (auto* d = clipSelf(pl, self)) pl.gotoFrameOf(d, d->currentFrame + 1, true);
  return Value();
}
NATIVE(mcPrevFrame) {
  if (auto* d = clipSelf(pl, self)) pl.gotoFrameOf(d, d->currentFrame - 1, true);
  return Value();
}
NATIVE(mcGetDepth) {
  auto* d = clipSelf(pl, self);
  // A removed clip has no depth, unless it waits for its unload handler.
  return d && (!d->removed || d->unloading) ? Value(d->depth) : Value();
}
NATIVE(mcSwapDepths) {
  if (auto* d = clipSelf(pl, self)) pl.swapDepths(d, arg(args, 0));
  return Value();
}
NATIVE(mcRemove) {
  auto* d = clipSelf(pl, self);
  if (d && Player::removableDepth(d->depth) && d->level < 0) pl.removeClip(d);
  return Value();
}
NATIVE(mcDuplicate) {
  auto* d = clipSelf(pl, self);
  if (!d || args.size() < 2) return Value();
  double depth = pl.toNumber(args[1]);
  if (!std::isfinite(depth)) return Value();
  Object* init = args.size() > 2 && args[2].isObject() ? args[2].o : nullptr;
  DisplayObject* c = pl.duplicateClip(d, pl.toString(args[0]), clampToInt(depth), init);
  return c && c->object ? Value(c->object) : Value();
}
NATIVE(mcAttach) {
  auto* d = clipSelf(pl, self);
  if (!d || args.size() < 3 || !d->movie) return Value();
  std::string link = toLowerAscii(pl.toString(args[0]));
  auto it = d->movie->exports.find(link);
  if (it == d->movie->exports.end()) return Value();
  double depth = pl.toNumber(args[2]);
  if (!std::isfinite(depth)) return Value();
  Object* init = args.size() > 3 && args[3].isObject() ? args[3].o : nullptr;
  DisplayObject* c = pl.attachClip(d, it->second, pl.toString(args[1]), clampToInt(depth), init);
  return c && c->object ? Value(c->object) : Value();
}
NATIVE(mcCreateEmpty) {
  auto* d = clipSelf(pl, self);
  if (!d || args.size() < 2) return Value();
  double depth = pl.toNumber(args[1]);
  if (!std::isfinite(depth)) return Value();
  DisplayObject* c = pl.createEmptyClip(d, pl.toString(args[0]), clampToInt(depth));
  return c && c->object ? Value(c->object) : Value();
}
NATIVE(mcNextHighestDepth) {
  auto* d = clipSelf(pl, self);
  if (!d) return Value();
  int depth = 0;
  for (auto& kv : d->children)
    if (kv.first >= depth) depth = kv.first + 1;
  return Value(depth);
}
NATIVE(mcGetBounds) {
  auto* d = clipSelf(pl, self);
  if (!d) return Value();
  DisplayObject* space = args.empty() ? d : pl.clipOf(args[0]);
  if (!space) space = d;
  Rect r = pl.boundsOf(d, space);
  Object* o = pl.newObject();
  if (r.xmax < r.xmin) {
    r = Rect{0x7FFFFFF, 0x7FFFFFF, 0x7FFFFFF, 0x7FFFFFF};
  }
  pl.setMember(Value(o), "xMin", Value(r.xmin / 20.0));
  pl.setMember(Value(o), "xMax", Value(r.xmax / 20.0));
  pl.setMember(Value(o), "yMin", Value(r.ymin / 20.0));
  pl.setMember(Value(o), "yMax", Value(r.ymax / 20.0));
  return Value(o);
}
NATIVE(mcHitTest) {
  auto* d = clipSelf(pl, self);
  if (!d || args.empty()) return Value(false);
  Rect a = pl.boundsOf(d, nullptr);
  a = transformRect(pl.worldMatrix(d), a);
  if (args.size() >= 2) {
    double x = pl.toNumber(args[0]) * 20, y = pl.toNumber(args[1]) * 20;
    return Value(x >= a.xmin && x <= a.xmax && y >= a.ymin && y <= a.ymax);
  }
  DisplayObject* o = pl.clipOf(args[0]);
  if (!o) return Value(false);
  Rect b = transformRect(pl.worldMatrix(o), pl.boundsOf(o, nullptr));
  return Value(a.xmin <= b.xmax && b.xmin <= a.xmax && a.ymin <= b.ymax && b.ymin <= a.ymax);
}
NATIVE(mcLocalToGlobal) {
  auto* d = clipSelf(pl, self);
  Value pt = arg(args, 0);
  if (!d || !pt.isObject()) return Value();
  double x = pl.toNumber(pl.getMember(pt, "x")) * 20, y = pl.toNumber(pl.getMember(pt, "y")) * 20, ox, oy;
  pl.worldMatrix(d).apply(x, y, ox, oy);
  pl.setMember(pt, "x", Value(ox / 20));
  pl.setMember(pt, "y", Value(oy / 20));
  return Value();
}
NATIVE(mcGlobalToLocal) {
  auto* d = clipSelf(pl, self);
  Value pt = arg(args, 0);
  if (!d || !pt.isObject()) return Value();
  double x = pl.toNumber(pl.getMember(pt, "x")) * 20, y = pl.toNumber(pl.getMember(pt, "y")) * 20, ox, oy;
  pl.worldMatrix(d).inverted().apply(x, y, ox, oy);
  pl.setMember(pt, "x", Value(ox / 20));
  pl.setMember(pt, "y", Value(oy / 20));
  return Value();
}
NATIVE(mcBytes) {
  auto* d = clipSelf(pl, self);
  if (!d || !d->movie || !d->movie->data) return Value(0);
  return Value(static_cast<double>(d->movie->data->size()));
}
NATIVE(mcNoop) { return Value(); }
NATIVE(mcToString) {
  auto* d = clipSelf(pl, self);
  return d ? Value(pl.targetPath(d)) : Value("[object Object]");
}

// ---- Key ------------------------------------------------------------------------------

NATIVE(keyGetCode) { return Value(pl.lastKey); }
NATIVE(keyGetAscii) { return Value(pl.lastAscii); }
NATIVE(keyIsDown) { return Value(false); }
NATIVE(keyAddListener) {
  if (!args.empty() && args[0].isObject()) {
    auto& l = pl.keyListeners;
    if (std::find(l.begin(), l.end(), args[0].o) == l.end()) l.push_back(args[0].o);
  }
  return Value();
}
NATIVE(keyRemoveListener) {
  if (!args.empty() && args[0].isObject()) {
    auto& l = pl.keyListeners;
    l.erase(std::remove(l.begin(), l.end(), args[0].o), l.end());
  }
  return Value();
}

}  // namespace

void Player::initBuiltins() {
  objectProto_ = newObject();
  objectProto_->proto = nullptr;
  functionProto_ = newObject(objectProto_);
  // The global object is bare: no prototype, so it has no toString or valueOf of its own.
  global_ = newObject(objectProto_);
  global_->proto = nullptr;
  auto cls = [&](const char* name, NativeFn fn, NativeFn ctor, Object* proto) {
    Object* f = newFunction(fn, ctor);
    defineProp(f, "prototype", Value(proto), DontEnum | DontDelete);
    defineProp(proto, "constructor", Value(f), DontEnum);
    defineProp(global_, name, Value(f), DontEnum);
    return f;
  };
  Object* objectCtorFn = cls("Object", objectFn, objectCtor, objectProto_);
  method(*this, objectProto_, "toString", objectToString);
  method(*this, objectProto_, "toLocaleString", objectToString);
  method(*this, objectProto_, "valueOf", objectValueOf);
  method(*this, objectProto_, "hasOwnProperty", hasOwnProperty);
  method(*this, objectProto_, "isPropertyEnumerable", isPropertyEnumerable);
  method(*this, objectProto_, "isPrototypeOf", isPrototypeOf);
  method(*this, objectProto_, "addProperty", addProperty);
  method(*this, objectProto_, "watch", watch);
  method(*this, objectProto_, "unwatch", unwatch);
  method(*this, objectCtorFn, "registerClass", registerClass);

  cls("Function", functionFn, nullptr, functionProto_);
  method(*this, functionProto_, "call", functionCall);
  method(*this, functionProto_, "apply", functionApply);

  arrayProto_ = newObject(objectProto_);
  Object* arrayCtorFn = cls("Array", arrayCtor, arrayCtor, arrayProto_);
  for (auto [n, f] : std::initializer_list<std::pair<const char*, NativeFn>>{
           {"push", arrayPush}, {"pop", arrayPop}, {"shift", arrayShift}, {"unshift", arrayUnshift},
           {"slice", arraySlice}, {"splice", arraySplice}, {"join", arrayJoin}, {"toString", arrayToString},
           {"concat", arrayConcat}, {"reverse", arrayReverse}, {"sort", arraySort}, {"sortOn", arraySortOn}})
    method(*this, arrayProto_, n, f);
  defineProp(arrayCtorFn, "CASEINSENSITIVE", Value(1), DontEnum);
  defineProp(arrayCtorFn, "DESCENDING", Value(2), DontEnum);
  defineProp(arrayCtorFn, "UNIQUESORT", Value(4), DontEnum);
  defineProp(arrayCtorFn, "RETURNINDEXEDARRAY", Value(8), DontEnum);
  defineProp(arrayCtorFn, "NUMERIC", Value(16), DontEnum);

  stringProto_ = newObject(objectProto_);
  Object* stringCtorFn = cls("String", stringFn, stringCtor, stringProto_);
  for (auto [n, f] : std::initializer_list<std::pair<const char*, NativeFn>>{
           {"toString", stringToString}, {"valueOf", stringToString}, {"charAt", charAt},
           {"charCodeAt", charCodeAt}, {"indexOf", indexOf}, {"lastIndexOf", lastIndexOf},
           {"substr", substr}, {"substring", substring}, {"slice", sliceStr}, {"split", split},
           {"toUpperCase", toUpper}, {"toLowerCase", toLower}, {"concat", stringConcat}})
    method(*this, stringProto_, n, f);
  method(*this, stringCtorFn, "fromCharCode", fromCharCode);

  numberProto_ = newObject(objectProto_);
  Object* numberCtorFn = cls("Number", numberFn, numberCtor, numberProto_);
  method(*this, numberProto_, "toString", numberProtoToString);
  method(*this, numberProto_, "valueOf", primitiveValueOf);
  defineProp(numberCtorFn, "MAX_VALUE", Value(1.7976931348623157e308), DontEnum | DontDelete | ReadOnly);
  defineProp(numberCtorFn, "MIN_VALUE", Value(4.9406564584124654e-324), DontEnum | DontDelete | ReadOnly);
  defineProp(numberCtorFn, "NaN", Value(NAN), DontEnum | DontDelete | ReadOnly);
  defineProp(numberCtorFn, "POSITIVE_INFINITY", Value(INFINITY), DontEnum | DontDelete | ReadOnly);
  defineProp(numberCtorFn, "NEGATIVE_INFINITY", Value(-INFINITY), DontEnum | DontDelete | ReadOnly);

  booleanProto_ = newObject(objectProto_);
  cls("Boolean", booleanFn, booleanCtor, booleanProto_);
  method(*this, booleanProto_, "toString", booleanToString);
  method(*this, booleanProto_, "valueOf", primitiveValueOf);

  Object* math = newObject(objectProto_);
  defineProp(global_, "Math", Value(math), DontEnum);
  for (auto [n, f] : std::initializer_list<std::pair<const char*, NativeFn>>{
           {"abs", mathAbs}, {"acos", mathAcos}, {"asin", mathAsin}, {"atan", mathAtan}, {"atan2", mathAtan2},
           {"ceil", mathCeil}, {"cos", mathCos}, {"exp", mathExp}, {"floor", mathFloor}, {"log", mathLog},
           {"max", mathMax}, {"min", mathMin}, {"pow", mathPow}, {"random", mathRandom}, {"round", mathRound},
           {"sin", mathSin}, {"sqrt", mathSqrt}, {"tan", mathTan}})
    method(*this, math, n, f);
  for (auto [n, v] : std::initializer_list<std::pair<const char*, double>>{
           {"E", M_E}, {"LN10", M_LN10}, {"LN2", M_LN2}, {"LOG10E", M_LOG10E}, {"LOG2E", M_LOG2E},
           {"PI", M_PI}, {"SQRT1_2", M_SQRT1_2}, {"SQRT2", M_SQRT2}})
    defineProp(math, n, Value(v), DontEnum | DontDelete | ReadOnly);

  errorProto_ = newObject(objectProto_);
  cls("Error", errorCtor, nullptr, errorProto_);
  defineProp(errorProto_, "name", Value("Error"), DontEnum);
  defineProp(errorProto_, "message", Value("Error"), DontEnum);
  method(*this, errorProto_, "toString", errorToString);

  for (auto [n, f] : std::initializer_list<std::pair<const char*, NativeFn>>{
           {"parseInt", parseIntFn}, {"parseFloat", parseFloatFn}, {"isNaN", isNaNFn},
           {"isFinite", isFiniteFn}, {"escape", escapeFn}, {"unescape", unescapeFn},
           {"setInterval", setIntervalFn}, {"clearInterval", clearIntervalFn},
           {"ASSetPropFlags", asSetPropFlags}})
    method(*this, global_, n, f);
  defineProp(global_, "NaN", Value(NAN), DontEnum);
  defineProp(global_, "Infinity", Value(INFINITY), DontEnum);

  clipProto_ = newObject(objectProto_);
  cls("MovieClip", mcNoop, nullptr, clipProto_);
  for (auto [n, f] : std::initializer_list<std::pair<const char*, NativeFn>>{
           {"play", mcPlay}, {"stop", mcStop}, {"gotoAndPlay", mcGotoAndPlay}, {"gotoAndStop", mcGotoAndStop},
           {"nextFrame", mcNextFrame}, {"prevFrame", mcPrevFrame}, {"getDepth", mcGetDepth},
           {"swapDepths", mcSwapDepths}, {"removeMovieClip", mcRemove}, {"duplicateMovieClip", mcDuplicate},
           {"attachMovie", mcAttach}, {"createEmptyMovieClip", mcCreateEmpty},
           {"getNextHighestDepth", mcNextHighestDepth}, {"getBounds", mcGetBounds}, {"hitTest", mcHitTest},
           {"localToGlobal", mcLocalToGlobal}, {"globalToLocal", mcGlobalToLocal},
           {"getBytesLoaded", mcBytes}, {"getBytesTotal", mcBytes}, {"startDrag", mcNoop},
           {"stopDrag", mcNoop}, {"toString", mcToString}})
    method(*this, clipProto_, n, f);
  buttonProto_ = newObject(objectProto_);
  cls("Button", mcNoop, nullptr, buttonProto_);
  method(*this, buttonProto_, "getDepth", mcGetDepth);

  keyObject = newObject(objectProto_);
  defineProp(global_, "Key", Value(keyObject), DontEnum);
  method(*this, keyObject, "getCode", keyGetCode);
  method(*this, keyObject, "getAscii", keyGetAscii);
  method(*this, keyObject, "isDown", keyIsDown);
  method(*this, keyObject, "addListener", keyAddListener);
  method(*this, keyObject, "removeListener", keyRemoveListener);
  for (auto [n, v] : std::initializer_list<std::pair<const char*, int>>{
           {"BACKSPACE", 8}, {"CAPSLOCK", 20}, {"CONTROL", 17}, {"DELETEKEY", 46}, {"DOWN", 40}, {"END", 35},
           {"ENTER", 13}, {"ESCAPE", 27}, {"HOME", 36}, {"INSERT", 45}, {"LEFT", 37}, {"PGDN", 34},
           {"PGUP", 33}, {"RIGHT", 39}, {"SHIFT", 16}, {"SPACE", 32}, {"TAB", 9}, {"UP", 38}})
    defineProp(keyObject, n, Value(v), DontEnum);
}

}  // namespace moviectl
