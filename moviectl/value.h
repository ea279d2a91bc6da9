// AVM1 values and objects.
//
// Objects and display objects live in the player's heap and are freed together with the
// player (or by its collector between frames), so raw pointers between them stay valid for
// as long as any script can reach them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "moviectl/swf.h"

namespace moviectl {

class Player;
struct Object;
struct DisplayObject;

struct Value {
  enum Type : uint8_t { Undefined, Null, Bool, Number, String, Obj } type = Undefined;
  bool b = false;
  double n = 0;
  std::string s;
  Object* o = nullptr;

  Value() = default;
  static Value null() {
    Value v;
    v.type = Null;
    return v;
  }
  Value(bool x) : type(Bool), b(x) {}
  Value(double x) : type(Number), n(x) {}
  Value(int x) : type(Number), n(x) {}
  Value(std::string x) : type(String), s(std::move(x)) {}
  Value(const char* x) : type(String), s(x) {}
  Value(Object* x) : type(x ? Obj : Null), o(x) {}

  bool isUndefined() const { return type == Undefined; }
  bool isNullish() const { return type == Undefined || type == Null; }
  bool isObject() const { return type == Obj && o; }
};

// Arrays are stored densely: an index or length past this bound does not grow them (an index
// stays an ordinary property), so a tiny movie cannot make one array take gigabytes.
constexpr size_t kMaxArrayLength = 1u << 20;

enum PropFlags : uint8_t { DontEnum = 1, DontDelete = 2, ReadOnly = 4 };

struct Property {
  std::string name;
  Value value;
  uint8_t flags = 0;
  Object* getter = nullptr;  // addProperty
  Object* setter = nullptr;
};

using Args = std::vector<Value>;
using NativeFn = Value (*)(Player&, Value self, Args& args);

// Code and context of a function defined by a script.
struct ScriptFunction {
  ActionCode code;
  std::string name;
  std::vector<std::pair<uint8_t, std::string>> params;  // register (0 = none), name
  bool isFunction2 = false;
  uint8_t registerCount = 0;
  uint16_t flags = 0;
  std::vector<Object*> scope;  // captured scope chain, outermost first
  std::shared_ptr<const std::vector<std::string>> constants;
  DisplayObject* target = nullptr;  // timeline the function was defined on
  int swfVersion = 7;
};

struct Object {
  enum Kind : uint8_t { Plain, Function, Array, Clip, Boolean, Number, String, Error, Super, Date } kind = Plain;
  Object* proto = nullptr;
  std::vector<Property> props;
  std::vector<Value> elems;  // Array
  Value primitive;           // Boolean, Number, String wrappers; Date time
  NativeFn native = nullptr;
  NativeFn nativeConstruct = nullptr;  // constructor behaviour when called with `new`
  std::shared_ptr<ScriptFunction> fn;
  DisplayObject* clip = nullptr;  // Clip kind
  Object* superThis = nullptr;    // Super kind: the object methods are called on
  Object* superProto = nullptr;   // Super kind: where lookup starts
  Object* superCtor = nullptr;    // Super kind: the constructor super() calls
  std::vector<std::pair<std::string, std::pair<Object*, Value>>> watches;
  bool marked = false;
  bool interfaceList = false;
  std::vector<Object*> interfaces;

  Property* find(const std::string& name, bool caseSensitive);
  bool isCallable() const { return kind == Function; }
};

// Case-insensitive for SWF 6 and earlier (ASCII only, as the reference players do).
bool namesEqual(const std::string& a, const std::string& b, bool caseSensitive);
std::string toLowerAscii(std::string s);

std::string numberToString(double d);
double stringToNumber(const std::string& s, int swfVersion);
int32_t toInt32(double d);
// Saturating conversion for frame numbers and depths coming from scripts.
int clampToInt(double d);

// UTF-8 helpers: lengths and offsets in characters (code points).
size_t utf8Length(const std::string& s);
std::string utf8Substr(const std::string& s, size_t start, size_t count);
std::vector<uint32_t> utf8Decode(const std::string& s);
std::string utf8Encode(uint32_t cp);

}  // namespace moviectl
