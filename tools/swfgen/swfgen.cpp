// swfgen: JSON description -> SWF file. A small JSON reader, a bit writer, and writers for
// shapes, sprites, buttons, placements and actions.
#include "swfgen.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace swfgen {

namespace {

using Bytes = std::vector<uint8_t>;

// ---- JSON ------------------------------------------------------------------------------

struct Json {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  bool b = false;
  double n = 0;
  std::string s;
  std::vector<Json> items;
  std::vector<std::string> keys;  // object members, in order
  std::vector<Json> values;
  const Json* get(const std::string& k) const {
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == k) return &values[i];
    return nullptr;
  }
  double num(const std::string& k, double d) const {
    const Json* j = get(k);
    return j && j->type == Number ? j->n : d;
  }
  std::string str(const std::string& k, const std::string& d = "") const {
    const Json* j = get(k);
    return j && j->type == String ? j->s : d;
  }
};

struct JsonReader {
  const std::string& t;
  size_t p = 0;
  int depth = 0;
  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(p));
  }
  void ws() {
    while (p < t.size() && (t[p] == ' ' || t[p] == '\n' || t[p] == '\r' || t[p] == '\t')) ++p;
  }
  Json value() {
    if (++depth > 64) fail("nesting too deep");
    ws();
    if (p >= t.size()) fail("unexpected end");
    Json j;
    char c = t[p];
    if (c == '{') {
      j.type = Json::Object;
      ++p;
      ws();
      if (p < t.size() && t[p] == '}') {
        ++p;
      } else {
        while (true) {
          ws();
          if (p >= t.size() || t[p] != '"') fail("expected a name");
          std::string k = string();
          ws();
          if (p >= t.size() || t[p] != ':') fail("expected ':'");
          ++p;
          Json v = value();
          j.keys.push_back(k);
          j.values.push_back(std::move(v));
          ws();
          if (p < t.size() && t[p] == ',') {
            ++p;
            continue;
          }
          if (p < t.size() && t[p] == '}') {
            ++p;
            break;
          }
          fail("expected ',' or '}'");
        }
      }
    } else if (c == '[') {
      j.type = Json::Array;
      ++p;
      ws();
      if (p < t.size() && t[p] == ']') {
        ++p;
      } else {
        while (true) {
          j.items.push_back(value());
          ws();
          if (p < t.size() && t[p] == ',') {
            ++p;
            continue;
          }
          if (p < t.size() && t[p] == ']') {
            ++p;
            break;
          }
          fail("expected ',' or ']'");
        }
      }
    } else if (c == '"') {
      j.type = Json::String;
      j.s = string();
    } else if (t.compare(p, 4, "true") == 0) {
      j.type = Json::Bool;
      j.b = true;
      p += 4;
    } else if (t.compare(p, 5, "false") == 0) {
      j.type = Json::Bool;
      p += 5;
    } else if (t.compare(p, 4, "null") == 0) {
      p += 4;
    } else {
      size_t start = p;
      while (p < t.size() && (std::strchr("+-.eE", t[p]) || (t[p] >= '0' && t[p] <= '9'))) ++p;
      if (start == p) fail("unexpected character");
      j.type = Json::Number;
      j.n = std::strtod(t.substr(start, p - start).c_str(), nullptr);
    }
    --depth;
    return j;
  }
  std::string string() {
    ++p;
    std::string s;
    while (p < t.size() && t[p] != '"') {
      if (t[p] == '\\' && p + 1 < t.size()) {
        char e = t[++p];
        switch (e) {
          case 'n': s += '\n'; break;
          case 't': s += '\t'; break;
          case 'r': s += '\r'; break;
          case 'u': {
            if (p + 4 >= t.size()) fail("bad escape");
            unsigned cp = static_cast<unsigned>(std::stoul(t.substr(p + 1, 4), nullptr, 16));
            p += 4;
            if (cp < 0x80) {
              s += static_cast<char>(cp);
            } else if (cp < 0x800) {
              s += static_cast<char>(0xC0 | (cp >> 6));
              s += static_cast<char>(0x80 | (cp & 0x3F));
            } else {
              s += static_cast<char>(0xE0 | (cp >> 12));
              s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
              s += static_cast<char>(0x80 | (cp & 0x3F));
            }
            break;
          }
          default: s += e; break;
        }
        ++p;
      } else {
        s += t[p++];
      }
    }
    if (p >= t.size()) fail("unterminated string");
    ++p;
    return s;
  }
};

// ---- writers ---------------------------------------------------------------------------

void u8(Bytes& b, unsigned v) { b.push_back(static_cast<uint8_t>(v)); }
void u16(Bytes& b, unsigned v) {
  u8(b, v & 0xFF);
  u8(b, (v >> 8) & 0xFF);
}
void u32(Bytes& b, uint32_t v) {
  u16(b, v & 0xFFFF);
  u16(b, v >> 16);
}
void cstr(Bytes& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}

struct Bits {
  Bytes& out;
  uint32_t acc = 0;
  int n = 0;
  void put(uint32_t v, int count) {
    for (int i = count - 1; i >= 0; --i) {
      acc = (acc << 1) | ((v >> i) & 1);
      if (++n == 8) {
        out.push_back(static_cast<uint8_t>(acc));
        acc = 0;
        n = 0;
      }
    }
  }
  void flush() {
    if (n) put(0, 8 - n);
  }
};

int bitsFor(int32_t v) {
  int n = 1;
  while (n < 31 && (v < -(1 << (n - 1)) || v >= (1 << (n - 1)))) ++n;
  return n;
}

void rect(Bytes& b, int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
  int n = std::max({bitsFor(x0), bitsFor(x1), bitsFor(y0), bitsFor(y1)});
  Bits w{b};
  w.put(static_cast<uint32_t>(n), 5);
  for (int32_t v : {x0, x1, y0, y1}) w.put(static_cast<uint32_t>(v), n);
  w.flush();
}

void matrix(Bytes& b, double x, double y, double scale, double rotationDeg) {
  Bits w{b};
  double r = rotationDeg * M_PI / 180;
  double a = scale * std::cos(r), rb = scale * std::sin(r);
  auto fixed = [](double v) { return static_cast<int32_t>(std::lround(v * 65536)); };
  if (scale != 1 || rotationDeg != 0) {
    int32_t sa = fixed(a), sd = fixed(a);
    int n = std::max(bitsFor(sa), bitsFor(sd));
    w.put(1, 1);
    w.put(static_cast<uint32_t>(n), 5);
    w.put(static_cast<uint32_t>(sa), n);
    w.put(static_cast<uint32_t>(sd), n);
  } else {
    w.put(0, 1);
  }
  if (rotationDeg != 0) {
    int32_t r0 = fixed(rb), r1 = fixed(-rb);
    int n = std::max(bitsFor(r0), bitsFor(r1));
    w.put(1, 1);
    w.put(static_cast<uint32_t>(n), 5);
    w.put(static_cast<uint32_t>(r0), n);
    w.put(static_cast<uint32_t>(r1), n);
  } else {
    w.put(0, 1);
  }
  int32_t tx = static_cast<int32_t>(std::lround(x * 20)), ty = static_cast<int32_t>(std::lround(y * 20));
  int n = std::max(bitsFor(tx), bitsFor(ty));
  w.put(static_cast<uint32_t>(n), 5);
  w.put(static_cast<uint32_t>(tx), n);
  w.put(static_cast<uint32_t>(ty), n);
  w.flush();
}

bool color(const std::string& s, uint8_t rgba[4]) {
  if (s.size() != 7 && s.size() != 9) return false;
  if (s[0] != '#') return false;
  unsigned long v = std::strtoul(s.c_str() + 1, nullptr, 16);
  if (s.size() == 7) v = (v << 8) | 0xFF;
  rgba[0] = static_cast<uint8_t>(v >> 24);
  rgba[1] = static_cast<uint8_t>(v >> 16);
  rgba[2] = static_cast<uint8_t>(v >> 8);
  rgba[3] = static_cast<uint8_t>(v);
  return true;
}

struct Tags {
  Bytes b;
  void tag(unsigned code, const Bytes& body) {
    if (body.size() < 0x3F && code != 36 && code != 20) {
      u16(b, (code << 6) | static_cast<unsigned>(body.size()));
    } else {
      u16(b, (code << 6) | 0x3F);
      u32(b, static_cast<uint32_t>(body.size()));
    }
    b.insert(b.end(), body.begin(), body.end());
  }
};

// ---- shapes ----------------------------------------------------------------------------

struct Outline {
  // Commands in twips: 'M' x y, 'L' x y, 'Q' cx cy x y
  struct Cmd {
    char op;
    int32_t v[4];
  };
  std::vector<Cmd> cmds;
};

int32_t tw(double px) { return static_cast<int32_t>(std::lround(px * 20)); }

Outline outlineOf(const Json& s) {
  Outline o;
  std::string kind = s.str("kind", "rect");
  double x = s.num("x", 0), y = s.num("y", 0), w = s.num("w", 0), h = s.num("h", 0);
  if (kind == "rect") {
    o.cmds = {{'M', {tw(x), tw(y)}}, {'L', {tw(x + w), tw(y)}}, {'L', {tw(x + w), tw(y + h)}}, {'L', {tw(x), tw(y + h)}}, {'L', {tw(x), tw(y)}}};
  } else if (kind == "ellipse") {
    double cx = x + w / 2, cy = y + h / 2, rx = w / 2, ry = h / 2;
    const int n = 8;
    double k = 1 / std::cos(M_PI / n);
    o.cmds.push_back({'M', {tw(cx + rx), tw(cy)}});
    for (int i = 1; i <= n; ++i) {
      double a0 = 2 * M_PI * (i - 0.5) / n, a1 = 2 * M_PI * i / n;
      o.cmds.push_back({'Q', {tw(cx + rx * k * std::cos(a0)), tw(cy + ry * k * std::sin(a0)), tw(cx + rx * std::cos(a1)), tw(cy + ry * std::sin(a1))}});
    }
  } else if (kind == "polygon") {
    const Json* pts = s.get("points");
    if (!pts || pts->type != Json::Array || pts->items.size() < 2) throw std::runtime_error("polygon needs points");
    for (size_t i = 0; i <= pts->items.size(); ++i) {
      const Json& p = pts->items[i % pts->items.size()];
      if (p.type != Json::Array || p.items.size() != 2) throw std::runtime_error("points are [x, y] pairs");
      o.cmds.push_back({i == 0 ? 'M' : 'L', {tw(p.items[0].n), tw(p.items[1].n)}});
    }
  } else if (kind == "path") {
    std::istringstream in(s.str("path"));
    std::string op;
    double first[2] = {0, 0};
    while (in >> op) {
      double v[4] = {0, 0, 0, 0};
      if (op == "M" || op == "L") {
        if (!(in >> v[0] >> v[1])) throw std::runtime_error("path: M and L take x y");
        if (op == "M") first[0] = v[0], first[1] = v[1];
        o.cmds.push_back({op[0], {tw(v[0]), tw(v[1])}});
      } else if (op == "Q") {
        if (!(in >> v[0] >> v[1] >> v[2] >> v[3])) throw std::runtime_error("path: Q takes cx cy x y");
        o.cmds.push_back({'Q', {tw(v[0]), tw(v[1]), tw(v[2]), tw(v[3])}});
      } else if (op == "Z") {
        o.cmds.push_back({'L', {tw(first[0]), tw(first[1])}});
      } else {
        throw std::runtime_error("path: unknown command " + op);
      }
    }
  } else {
    throw std::runtime_error("unknown shape kind " + kind);
  }
  return o;
}

// DefineShape3 with one fill and/or one line style per outline, each outline its own style list.
Bytes defineShape(uint16_t id, const Json& sym) {
  const Json* shapes = sym.get("shapes");
  if (!shapes || shapes->type != Json::Array || shapes->items.empty()) throw std::runtime_error("shape symbol needs shapes");
  std::vector<Outline> outlines;
  int32_t x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
  double maxLine = 0;
  for (auto& s : shapes->items) {
    outlines.push_back(outlineOf(s));
    for (auto& c : outlines.back().cmds)
      for (int k = 0; k < (c.op == 'Q' ? 4 : 2); k += 2) {
        x0 = std::min(x0, c.v[k]);
        x1 = std::max(x1, c.v[k]);
        y0 = std::min(y0, c.v[k + 1]);
        y1 = std::max(y1, c.v[k + 1]);
      }
    maxLine = std::max(maxLine, s.get("line") ? s.num("lineWidth", 1) : 0.0);
  }
  int32_t pad = tw(maxLine / 2);
  Bytes b;
  u16(b, id);
  rect(b, x0 - pad, x1 + pad, y0 - pad, y1 + pad);
  u8(b, 0);  // no styles up front: each outline brings its own
  u8(b, 0);
  // One bit stream for all records; it is padded only where new style lists start.
  Bits w{b};
  w.put(0, 4);
  w.put(0, 4);
  for (size_t i = 0; i < outlines.size(); ++i) {
    const Json& s = shapes->items[i];
    uint8_t fill[4], line[4];
    bool hasFill = color(s.str("fill"), fill);
    bool hasLine = color(s.str("line"), line);
    const auto& first = outlines[i].cmds.front();
    w.put(0, 1);
    w.put(0x10 | 0x01, 5);  // new styles, move to the first point
    int n = std::max(bitsFor(first.v[0]), bitsFor(first.v[1]));
    w.put(static_cast<uint32_t>(n), 5);
    w.put(static_cast<uint32_t>(first.v[0]), n);
    w.put(static_cast<uint32_t>(first.v[1]), n);
    w.flush();
    u8(b, hasFill ? 1 : 0);
    if (hasFill) {
      u8(b, 0);
      b.insert(b.end(), fill, fill + 4);
    }
    u8(b, hasLine ? 1 : 0);
    if (hasLine) {
      u16(b, static_cast<unsigned>(tw(s.num("lineWidth", 1))));
      b.insert(b.end(), line, line + 4);
    }
    w.put(1, 4);
    w.put(1, 4);
    w.put(0, 1);
    w.put((hasFill ? 0x04 : 0) | 0x08, 5);  // select the new styles
    if (hasFill) w.put(1, 1);
    w.put(hasLine ? 1 : 0, 1);
    int32_t cx = first.v[0], cy = first.v[1];
    for (size_t k = 1; k < outlines[i].cmds.size(); ++k) {
      const auto& c = outlines[i].cmds[k];
      if (c.op == 'M') {
        w.put(0, 1);
        w.put(0x01, 5);
        int m = std::max(bitsFor(c.v[0]), bitsFor(c.v[1]));
        w.put(static_cast<uint32_t>(m), 5);
        w.put(static_cast<uint32_t>(c.v[0]), m);
        w.put(static_cast<uint32_t>(c.v[1]), m);
        cx = c.v[0];
        cy = c.v[1];
      } else if (c.op == 'L') {
        int32_t dx = c.v[0] - cx, dy = c.v[1] - cy;
        int m = std::max({bitsFor(dx), bitsFor(dy), 2});
        w.put(1, 1);
        w.put(1, 1);
        w.put(static_cast<uint32_t>(m - 2), 4);
        w.put(1, 1);  // general line
        w.put(static_cast<uint32_t>(dx), m);
        w.put(static_cast<uint32_t>(dy), m);
        cx = c.v[0];
        cy = c.v[1];
      } else {
        int32_t d[4] = {c.v[0] - cx, c.v[1] - cy, c.v[2] - c.v[0], c.v[3] - c.v[1]};
        int m = std::max({bitsFor(d[0]), bitsFor(d[1]), bitsFor(d[2]), bitsFor(d[3]), 2});
        w.put(1, 1);
        w.put(0, 1);
        w.put(static_cast<uint32_t>(m - 2), 4);
        for (int32_t v : d) w.put(static_cast<uint32_t>(v), m);
        cx = c.v[2];
        cy = c.v[3];
      }
    }
  }
  w.put(0, 6);  // end of shape
  w.flush();
  return b;
}

// ---- actions ---------------------------------------------------------------------------

void record(Bytes& out, uint8_t code, const Bytes& payload) {
  u8(out, code);
  if (code >= 0x80) {
    u16(out, static_cast<unsigned>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
  }
}

void pushString(Bytes& out, const std::string& s) {
  Bytes p;
  u8(p, 0);
  cstr(p, s);
  record(out, 0x96, p);
}

void pushNumber(Bytes& out, double d) {
  Bytes p;
  u8(p, 6);
  uint64_t v;
  std::memcpy(&v, &d, 8);
  u32(p, static_cast<uint32_t>(v >> 32));
  u32(p, static_cast<uint32_t>(v));
  record(out, 0x96, p);
}

void fscommand(Bytes& out, const std::string& cmd, const std::string& args) {
  Bytes p;
  cstr(p, "FSCommand:" + cmd);
  cstr(p, args);
  record(out, 0x83, p);
}

void steps(const Json& list, Bytes& out) {
  if (list.type != Json::Array) throw std::runtime_error("actions are a list of steps");
  for (auto& st : list.items) {
    if (st.type != Json::Object || st.keys.size() != 1) throw std::runtime_error("a step has exactly one key");
    const std::string& k = st.keys[0];
    const Json& v = st.values[0];
    auto pair = [&](std::string& a, std::string& b) {
      if (v.type != Json::Array || v.items.size() != 2 || v.items[0].type != Json::String)
        throw std::runtime_error(k + " takes two strings");
      a = v.items[0].s;
      b = v.items[1].type == Json::String ? v.items[1].s : std::to_string(v.items[1].n);
    };
    if (k == "fscommand") {
      std::string a, b;
      pair(a, b);
      fscommand(out, a, b);
    } else if (k == "setVariable") {
      std::string a, b;
      pair(a, b);
      pushString(out, a);
      pushString(out, b);
      record(out, 0x1D, {});
    } else if (k == "trace") {
      pushString(out, v.s);
      record(out, 0x26, {});
    } else if (k == "stop") {
      record(out, 0x07, {});
    } else if (k == "play") {
      record(out, 0x06, {});
    } else if (k == "gotoFrame") {
      if (v.type != Json::Number || v.n < 1 || v.n > 65535) throw std::runtime_error("gotoFrame takes a frame number from 1");
      Bytes p;
      u16(p, static_cast<unsigned>(v.n) - 1);
      record(out, 0x81, p);
    } else if (k == "gotoLabel") {
      Bytes p;
      cstr(p, v.s);
      record(out, 0x8C, p);
    } else {
      throw std::runtime_error("unknown step " + k);
    }
  }
}

const std::map<std::string, uint8_t>& simpleOps() {
  static const std::map<std::string, uint8_t> ops = {
      {"nextframe", 0x04}, {"prevframe", 0x05}, {"play", 0x06}, {"stop", 0x07}, {"add", 0x0A},
      {"subtract", 0x0B}, {"multiply", 0x0C}, {"divide", 0x0D}, {"equals", 0x0E}, {"less", 0x0F},
      {"and", 0x10}, {"or", 0x11}, {"not", 0x12}, {"pop", 0x17}, {"getvariable", 0x1C},
      {"setvariable", 0x1D}, {"settarget2", 0x20}, {"stringadd", 0x21}, {"getproperty", 0x22},
      {"setproperty", 0x23}, {"trace", 0x26}, {"callfunction", 0x3D}, {"return", 0x3E},
      {"newobject", 0x40}, {"initarray", 0x42}, {"initobject", 0x43}, {"typeof", 0x44}, {"add2", 0x47},
      {"less2", 0x48}, {"equals2", 0x49}, {"tonumber", 0x4A}, {"tostring", 0x4B}, {"dup", 0x4C},
      {"swap", 0x4D}, {"getmember", 0x4E}, {"setmember", 0x4F}, {"increment", 0x50}, {"decrement", 0x51},
      {"callmethod", 0x52}, {"strictequals", 0x66}, {"greater", 0x67}, {"definelocal", 0x3C},
      {"delete", 0x3A}, {"delete2", 0x3B}, {"definelocal2", 0x41}, {"modulo", 0x3F}, {"targetpath", 0x45},
      {"newmethod", 0x53}, {"instanceof", 0x54}, {"enumerate2", 0x55}, {"extends", 0x69}, {"throw", 0x2A},
      {"stringequals", 0x13}, {"tointeger", 0x18}, {"bitand", 0x60}, {"bitor", 0x61}, {"bitxor", 0x62},
      {"bitlshift", 0x63}, {"bitrshift", 0x64}, {"biturshift", 0x65}};
  return ops;
}

}  // namespace

bool assemble(const std::string& text, std::vector<uint8_t>& out, std::string& error) {
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  std::map<std::string, size_t> labels;
  std::vector<std::pair<size_t, std::string>> fixups;  // offset of the SI16, label
  std::vector<size_t> blocks;  // offsets of the UI16 body sizes of open function/with blocks
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    std::string rest = line.substr(i);
    std::string op = rest.substr(0, rest.find_first_of(" \t"));
    std::string arg = op.size() < rest.size() ? rest.substr(op.size()) : "";
    arg.erase(0, std::min(arg.size(), arg.find_first_not_of(" \t")));
    for (auto& c : op) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto quoted = [&](std::string& a, std::string& s) {
      if (a.empty() || (a[0] != '\'' && a[0] != '"')) return false;
      size_t e = a.find(a[0], 1);
      if (e == std::string::npos) return false;
      s = a.substr(1, e - 1);
      a = a.substr(e + 1);
      a.erase(0, std::min(a.size(), a.find_first_not_of(" \t")));
      return true;
    };
    if (!op.empty() && op.back() == ':') {
      labels[op.substr(0, op.size() - 1)] = out.size();
      continue;
    }
    auto it = simpleOps().find(op);
    if (it != simpleOps().end()) {
      out.push_back(it->second);
    } else if (op == "push") {
      std::string s;
      if (quoted(arg, s)) pushString(out, s);
      else if (arg == "true" || arg == "false") record(out, 0x96, {5, static_cast<uint8_t>(arg == "true")});
      else if (arg == "null") record(out, 0x96, {2});
      else if (arg == "undefined") record(out, 0x96, {3});
      else if (!arg.empty() && (std::isdigit(static_cast<unsigned char>(arg[0])) || arg[0] == '-' || arg[0] == '.'))
        pushNumber(out, std::strtod(arg.c_str(), nullptr));
      else {
        error = "line " + std::to_string(lineNo) + ": push takes a quoted text, a number, true, false, null or undefined";
        return false;
      }
    } else if (op == "fscommand") {
      std::string c, a;
      if (!quoted(arg, c) || !quoted(arg, a)) {
        error = "line " + std::to_string(lineNo) + ": fscommand takes two quoted texts";
        return false;
      }
      fscommand(out, c, a);
    } else if (op == "gotolabel" || op == "settarget") {
      std::string s;
      if (!quoted(arg, s)) {
        error = "line " + std::to_string(lineNo) + ": " + op + " takes a quoted text";
        return false;
      }
      Bytes p;
      cstr(p, s);
      record(out, op == "gotolabel" ? 0x8C : 0x8B, p);
    } else if (op == "gotoframe") {
      Bytes p;
      u16(p, static_cast<unsigned>(std::max(1L, std::strtol(arg.c_str(), nullptr, 10))) - 1);
      record(out, 0x81, p);
    } else if (op == "function" || op == "function2") {
      // function 'name' 'param'...            (name '' for an anonymous function)
      // function2 'name' REGISTERS FLAGS 'param:register'...
      // The body follows up to the matching `end`.
      std::string name, param;
      if (!quoted(arg, name)) return fail(op + " takes a quoted name");
      Bytes p;
      cstr(p, name);
      unsigned regs = 0, flags = 0;
      if (op == "function2") {
        char* e = nullptr;
        regs = static_cast<unsigned>(std::strtoul(arg.c_str(), &e, 0));
        flags = static_cast<unsigned>(std::strtoul(e, &e, 0));
        arg = e;
        arg.erase(0, std::min(arg.size(), arg.find_first_not_of(" \t")));
        if (regs > 255 || flags > 0xFFFF) return fail("function2 takes a register count and flags");
      }
      std::vector<std::string> params;
      while (quoted(arg, param)) params.push_back(param);
      if (!arg.empty()) return fail(op + " parameters are quoted texts");
      u16(p, static_cast<unsigned>(params.size()));
      if (op == "function2") {
        p.push_back(static_cast<uint8_t>(regs));
        u16(p, flags);
      }
      for (auto& q : params) {
        if (op == "function2") {
          size_t colon = q.rfind(':');
          p.push_back(static_cast<uint8_t>(colon == std::string::npos ? 0 : std::strtoul(q.c_str() + colon + 1, nullptr, 10)));
          cstr(p, q.substr(0, colon));
        } else {
          cstr(p, q);
        }
      }
      u16(p, 0);
      record(out, op == "function" ? 0x9B : 0x8E, p);
      blocks.push_back(out.size() - 2);
    } else if (op == "with") {
      record(out, 0x94, {0, 0});
      blocks.push_back(out.size() - 2);
    } else if (op == "end") {
      if (blocks.empty()) return fail("end without function or with");
      size_t at = blocks.back();
      blocks.pop_back();
      size_t len = out.size() - (at + 2);
      if (len > 0xFFFF) return fail("block too long");
      out[at] = static_cast<uint8_t>(len & 0xFF);
      out[at + 1] = static_cast<uint8_t>(len >> 8);
    } else if (op == "storeregister") {
      record(out, 0x87, {static_cast<uint8_t>(std::strtoul(arg.c_str(), nullptr, 10))});
    } else if (op == "pushregister") {
      record(out, 0x96, {4, static_cast<uint8_t>(std::strtoul(arg.c_str(), nullptr, 10))});
    } else if (op == "jump" || op == "if") {
      out.push_back(op == "jump" ? 0x99 : 0x9D);
      u16(out, 2);
      fixups.emplace_back(out.size(), arg);
      u16(out, 0);
    } else {
      error = "line " + std::to_string(lineNo) + ": unknown action " + op;
      return false;
    }
  }
  if (!blocks.empty()) {
    error = "function or with block without end";
    return false;
  }
  for (auto& f : fixups) {
    auto it = labels.find(f.second);
    if (it == labels.end()) {
      error = "unknown label " + f.second;
      return false;
    }
    long off = static_cast<long>(it->second) - static_cast<long>(f.first + 2);
    out[f.first] = static_cast<uint8_t>(off & 0xFF);
    out[f.first + 1] = static_cast<uint8_t>((off >> 8) & 0xFF);
  }
  return true;
}

namespace {

void frames(const Json& list, Tags& t, int version) {
  if (list.type != Json::Array) throw std::runtime_error("frames are a list");
  for (auto& f : list.items) {
    if (const Json* l = f.get("label")) {
      Bytes p;
      cstr(p, l->s);
      t.tag(43, p);
    }
    if (const Json* r = f.get("remove"))
      for (auto& d : r->items) {
        Bytes p;
        u16(p, static_cast<unsigned>(d.n));
        t.tag(28, p);
      }
    if (const Json* pl = f.get("place"))
      for (auto& p : pl->items) {
        Bytes b;
        std::string name = p.str("name");
        bool move = p.get("move") && p.get("move")->b;
        u8(b, (move ? 0x01 : 0x02) | 0x04 | (name.empty() ? 0 : 0x20));
        u16(b, static_cast<unsigned>(p.num("depth", 1)));
        if (!move) u16(b, static_cast<unsigned>(p.num("id", 0)));
        matrix(b, p.num("x", 0), p.num("y", 0), p.num("scale", 1), p.num("rotation", 0));
        if (!name.empty()) cstr(b, name);
        t.tag(26, b);
      }
    Bytes code;
    if (const Json* a = f.get("actions")) steps(*a, code);
    if (const Json* a = f.get("asm")) {
      std::string err;
      if (!assemble(a->s, code, err)) throw std::runtime_error(err);
    }
    if (!code.empty()) {
      code.push_back(0);
      t.tag(12, code);
    }
    t.tag(1, {});
  }
  (void)version;
}

Bytes defineButton(uint16_t id, const Json& sym) {
  Bytes b;
  u16(b, id);
  u8(b, 0);
  Bytes recs;
  struct State {
    const char* key;
    uint8_t bit;
  } states[] = {{"up", 1}, {"over", 2}, {"down", 4}, {"hit", 8}};
  for (auto& st : states) {
    if (!sym.get(st.key)) continue;
    u8(recs, st.bit);
    u16(recs, static_cast<unsigned>(sym.num(st.key, 0)));
    u16(recs, st.bit);
    u8(recs, 0);  // identity matrix
    u8(recs, 0);  // no colour transform
  }
  u8(recs, 0);
  const Json* acts = sym.get("actions");
  u16(b, acts && !acts->items.empty() ? static_cast<unsigned>(recs.size() + 2) : 0);
  b.insert(b.end(), recs.begin(), recs.end());
  static const std::map<std::string, uint16_t> conds = {{"rollOver", 0x0001}, {"rollOut", 0x0002}, {"press", 0x0004},
                                                        {"release", 0x0008}, {"releaseOutside", 0x0040}};
  if (acts)
    for (size_t i = 0; i < acts->items.size(); ++i) {
      const Json& a = acts->items[i];
      std::string on = a.str("on", "release");
      auto it = conds.find(on);
      uint16_t cond = 0;
      if (it != conds.end()) cond = it->second;
      else if (on.rfind("key:", 0) == 0 && on.size() == 5) cond = static_cast<uint16_t>(static_cast<uint8_t>(on[4]) << 9);
      else throw std::runtime_error("unknown button event " + on);
      Bytes code;
      if (const Json* s = a.get("steps")) steps(*s, code);
      code.push_back(0);
      u16(b, i + 1 == acts->items.size() ? 0 : static_cast<unsigned>(code.size() + 4));
      u16(b, cond);
      b.insert(b.end(), code.begin(), code.end());
    }
  return b;
}

}  // namespace

bool generate(const std::string& json, std::vector<uint8_t>& out, std::string& error) {
  try {
    JsonReader rd{json};
    Json doc = rd.value();
    rd.ws();
    if (rd.p != json.size()) rd.fail("text after the document");
    if (doc.type != Json::Object) throw std::runtime_error("the description is a JSON object");
    int version = static_cast<int>(doc.num("version", 7));
    if (version < 1 || version > 10) throw std::runtime_error("version must be 1 to 10");
    Tags t;
    Bytes bg;
    uint8_t c[4];
    if (color(doc.str("background", "#ffffff"), c)) {
      bg.assign(c, c + 3);
      t.tag(9, bg);
    }
    if (const Json* syms = doc.get("symbols"))
      for (auto& s : syms->items) {
        double idv = s.num("id", 0);
        if (idv < 1 || idv > 65535) throw std::runtime_error("symbol ids are 1 to 65535");
        uint16_t id = static_cast<uint16_t>(idv);
        std::string type = s.str("type");
        if (type == "shape") {
          t.tag(32, defineShape(id, s));
        } else if (type == "sprite") {
          Tags inner;
          const Json* fr = s.get("frames");
          if (!fr) throw std::runtime_error("sprite needs frames");
          frames(*fr, inner, version);
          Bytes b;
          u16(b, id);
          u16(b, static_cast<unsigned>(fr->items.size()));
          b.insert(b.end(), inner.b.begin(), inner.b.end());
          u16(b, 0);
          t.tag(39, b);
        } else if (type == "button") {
          t.tag(34, defineButton(id, s));
        } else {
          throw std::runtime_error("unknown symbol type " + type);
        }
      }
    if (const Json* ex = doc.get("exports")) {
      Bytes b;
      u16(b, static_cast<unsigned>(ex->keys.size()));
      for (size_t i = 0; i < ex->keys.size(); ++i) {
        u16(b, static_cast<unsigned>(ex->values[i].n));
        cstr(b, ex->keys[i]);
      }
      t.tag(56, b);
    }
    const Json* fr = doc.get("frames");
    if (!fr || fr->items.empty()) throw std::runtime_error("a movie needs at least one frame");
    frames(*fr, t, version);
    Bytes body;
    rect(body, 0, tw(doc.num("width", 550)), 0, tw(doc.num("height", 400)));
    u16(body, static_cast<unsigned>(std::lround(doc.num("fps", 12) * 256)));
    u16(body, static_cast<unsigned>(fr->items.size()));
    body.insert(body.end(), t.b.begin(), t.b.end());
    u16(body, 0);
    bool compress = doc.get("compress") && doc.get("compress")->b && version >= 6;
    out = {static_cast<uint8_t>(compress ? 'C' : 'F'), 'W', 'S', static_cast<uint8_t>(version)};
    u32(out, static_cast<uint32_t>(body.size() + 8));
    if (compress) {
      uLongf n = compressBound(static_cast<uLong>(body.size()));
      Bytes z(n);
      if (compress2(z.data(), &n, body.data(), static_cast<uLong>(body.size()), 9) != Z_OK)
        throw std::runtime_error("compression failed");
      out.insert(out.end(), z.begin(), z.begin() + static_cast<long>(n));
    } else {
      out.insert(out.end(), body.begin(), body.end());
    }
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

}  // namespace swfgen
