// Small movie writer for tests: tags, sprites and action records assembled by hand.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace swftest {

using Bytes = std::vector<uint8_t>;

inline void u8(Bytes& b, unsigned v) { b.push_back(static_cast<uint8_t>(v)); }
inline void u16(Bytes& b, unsigned v) {
  u8(b, v & 0xFF);
  u8(b, (v >> 8) & 0xFF);
}
inline void u32(Bytes& b, uint32_t v) {
  u16(b, v & 0xFFFF);
  u16(b, v >> 16);
}
inline void str(Bytes& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}

// Action assembler.
struct Asm {
  Bytes b;
  Asm& op(uint8_t code) {
    u8(b, code);
    return *this;
  }
  Asm& rec(uint8_t code, const Bytes& payload) {
    u8(b, code);
    u16(b, static_cast<unsigned>(payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    return *this;
  }
  Asm& push(const std::string& s) {
    Bytes p;
    u8(p, 0);
    str(p, s);
    return rec(0x96, p);
  }
  Asm& push(double d) {
    Bytes p;
    u8(p, 6);
    uint64_t v;
    std::memcpy(&v, &d, 8);
    u32(p, static_cast<uint32_t>(v >> 32));
    u32(p, static_cast<uint32_t>(v));
    return rec(0x96, p);
  }
  Asm& pushInt(int32_t i) {
    Bytes p;
    u8(p, 7);
    u32(p, static_cast<uint32_t>(i));
    return rec(0x96, p);
  }
  Asm& trace() { return op(0x26); }
  Asm& getVar() { return op(0x1C); }
  Asm& setVar() { return op(0x1D); }
  Asm& jump(int16_t off) {
    Bytes p;
    u16(p, static_cast<uint16_t>(off));
    return rec(0x99, p);
  }
  Asm& fscommand(const std::string& cmd, const std::string& args) {
    Bytes p;
    str(p, "FSCommand:" + cmd);
    str(p, args);
    return rec(0x83, p);
  }
  Asm& stop() { return op(0x07); }
  Bytes end() const {
    Bytes r = b;
    r.push_back(0);
    return r;
  }
};

struct Tags {
  Bytes b;
  Tags& tag(unsigned code, const Bytes& body) {
    if (body.size() < 0x3F) {
      u16(b, (code << 6) | static_cast<unsigned>(body.size()));
    } else {
      u16(b, (code << 6) | 0x3F);
      u32(b, static_cast<uint32_t>(body.size()));
    }
    b.insert(b.end(), body.begin(), body.end());
    return *this;
  }
  Tags& showFrame() { return tag(1, {}); }
  Tags& doAction(const Asm& a) { return tag(12, a.end()); }
  Tags& label(const std::string& l) {
    Bytes p;
    str(p, l);
    return tag(43, p);
  }
  // PlaceObject2 of a new character with a name at a file depth, identity matrix.
  Tags& place(uint16_t id, uint16_t depth, const std::string& name) {
    Bytes p;
    u8(p, 0x02 | 0x04 | (name.empty() ? 0 : 0x20));
    u16(p, depth);
    u16(p, id);
    u8(p, 0);  // empty matrix: all flags clear, 0 translate bits
    if (!name.empty()) str(p, name);
    return tag(26, p);
  }
  // PlaceObject2 of a new unnamed character with clip event handlers (SWF 6+ event flags).
  Tags& placeWithEvents(uint16_t id, uint16_t depth, const std::vector<std::pair<uint32_t, Asm>>& events) {
    Bytes p;
    u8(p, 0x80 | 0x02 | 0x04);
    u16(p, depth);
    u16(p, id);
    u8(p, 0);
    u16(p, 0);
    uint32_t all = 0;
    for (auto& e : events) all |= e.first;
    u32(p, all);
    for (auto& e : events) {
      Bytes code = e.second.end();
      u32(p, e.first);
      u32(p, static_cast<uint32_t>(code.size()));
      p.insert(p.end(), code.begin(), code.end());
    }
    u32(p, 0);
    return tag(26, p);
  }
  Tags& remove(uint16_t depth) {
    Bytes p;
    u16(p, depth);
    return tag(28, p);
  }
  Tags& sprite(uint16_t id, uint16_t frames, const Tags& body) {
    Bytes p;
    u16(p, id);
    u16(p, frames);
    p.insert(p.end(), body.b.begin(), body.b.end());
    u16(p, 0);
    return tag(39, p);
  }
  // Solid rectangle shape (twips), DefineShape with one fill.
  Tags& rectShape(uint16_t id, int w, int h, uint8_t r, uint8_t g, uint8_t bl);
};

struct BitWriter {
  Bytes& out;
  uint32_t acc = 0;
  int n = 0;
  void bits(uint32_t v, int count) {
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
    if (n) {
      out.push_back(static_cast<uint8_t>(acc << (8 - n)));
      acc = 0;
      n = 0;
    }
  }
};

inline void rect(Bytes& b, int xmin, int xmax, int ymin, int ymax) {
  BitWriter w{b};
  w.bits(16, 5);
  w.bits(static_cast<uint32_t>(xmin), 16);
  w.bits(static_cast<uint32_t>(xmax), 16);
  w.bits(static_cast<uint32_t>(ymin), 16);
  w.bits(static_cast<uint32_t>(ymax), 16);
  w.flush();
}

inline Tags& Tags::rectShape(uint16_t id, int w, int h, uint8_t r, uint8_t g, uint8_t bl) {
  Bytes p;
  u16(p, id);
  rect(p, 0, w, 0, h);
  u8(p, 1);  // one fill
  u8(p, 0);
  u8(p, r);
  u8(p, g);
  u8(p, bl);
  u8(p, 0);  // no lines
  BitWriter bw{p};
  bw.bits(1, 4);  // fill bits
  bw.bits(0, 4);  // line bits
  // style change: moveTo(0,0), fill1 = 1
  bw.bits(0, 1);
  bw.bits(0x05, 5);  // FillStyle1 | MoveTo
  bw.bits(16, 5);
  bw.bits(0, 16);
  bw.bits(0, 16);
  bw.bits(1, 1);
  auto line = [&](int dx, int dy) {
    bw.bits(1, 1);
    bw.bits(1, 1);
    bw.bits(15, 4);  // 17 bits per delta
    if (dx && dy) {
      bw.bits(1, 1);
      bw.bits(static_cast<uint32_t>(dx), 17);
      bw.bits(static_cast<uint32_t>(dy), 17);
    } else {
      bw.bits(0, 1);
      bw.bits(dy ? 1 : 0, 1);
      bw.bits(static_cast<uint32_t>(dx ? dx : dy), 17);
    }
  };
  line(w, 0);
  line(0, h);
  line(-w, 0);
  line(0, -h);
  bw.bits(0, 6);  // end
  bw.flush();
  return tag(2, p);
}

// Whole file: header with a 550x400 stage at 12 fps.
inline Bytes movie(const Tags& t, int version = 7, int frames = 1, bool compress = false) {
  Bytes body;
  rect(body, 0, 11000, 0, 8000);
  u16(body, 12 << 8);
  u16(body, static_cast<unsigned>(frames));
  body.insert(body.end(), t.b.begin(), t.b.end());
  u16(body, 0);
  Bytes out = {static_cast<uint8_t>(compress ? 'C' : 'F'), 'W', 'S', static_cast<uint8_t>(version)};
  u32(out, static_cast<uint32_t>(body.size() + 8));
  if (!compress) {
    out.insert(out.end(), body.begin(), body.end());
  } else {
    uLongf n = compressBound(body.size());
    Bytes z(n);
    compress2(z.data(), &n, body.data(), body.size(), 9);
    z.resize(n);
    out.insert(out.end(), z.begin(), z.end());
  }
  return out;
}

}  // namespace swftest
