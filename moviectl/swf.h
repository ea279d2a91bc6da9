// SWF container reading: header, decompression, bit-level readers and the parsed movie
// definition (dictionary of characters, timelines as lists of control tags).
//
// Everything here is read from untrusted bytes. Readers never go past their buffer: a short
// read yields zeros and sets the reader's `overrun` flag, so a truncated tag decodes to a
// harmless value instead of a fault.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace moviectl {

using Bytes = std::vector<uint8_t>;

struct Rect {
  int32_t xmin = 0, xmax = 0, ymin = 0, ymax = 0;  // twips
  bool empty() const { return xmax <= xmin || ymax <= ymin; }
};

// x' = a*x + c*y + tx ; y' = b*x + d*y + ty  (tx, ty in twips)
struct Matrix {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  Matrix operator*(const Matrix& inner) const;  // this applied after inner
  Matrix inverted() const;
  void apply(double x, double y, double& ox, double& oy) const {
    ox = a * x + c * y + tx;
    oy = b * x + d * y + ty;
  }
};
Rect transformRect(const Matrix& m, const Rect& r);

// Colour transform in 8.8 multiply terms (256 = 1.0) and integer add terms.
struct ColorTransform {
  double rm = 1, gm = 1, bm = 1, am = 1;
  double ra = 0, ga = 0, ba = 0, aa = 0;
  ColorTransform operator*(const ColorTransform& inner) const;
  bool identity() const {
    return rm == 1 && gm == 1 && bm == 1 && am == 1 && ra == 0 && ga == 0 && ba == 0 && aa == 0;
  }
};

struct RGBA {
  uint8_t r = 0, g = 0, b = 0, a = 255;
};

class ByteReader {
 public:
  ByteReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  size_t pos() const { return pos_; }
  size_t size() const { return n_; }
  size_t remaining() const { return pos_ < n_ ? n_ - pos_ : 0; }
  bool overrun() const { return overrun_; }
  const uint8_t* data() const { return p_; }
  void seek(size_t pos) { pos_ = pos <= n_ ? pos : n_; align(); }
  void skip(size_t n);

  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  int16_t s16() { return static_cast<int16_t>(u16()); }
  int32_t s32() { return static_cast<int32_t>(u32()); }
  float f32();
  double f64Swapped();  // two little-endian words, high word first
  std::string cstr();   // NUL-terminated; unterminated text ends at the buffer end

  uint32_t ub(unsigned bits);
  int32_t sb(unsigned bits);
  double fb(unsigned bits) { return sb(bits) / 65536.0; }
  void align() { bitCount_ = 0; }

  Rect rect();
  Matrix matrix();
  ColorTransform cxform(bool withAlpha);
  RGBA rgb();
  RGBA rgba();

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  uint32_t bitBuf_ = 0;
  unsigned bitCount_ = 0;
  bool overrun_ = false;
};

struct SwfHeader {
  char signature[4] = {0, 0, 0, 0};
  uint8_t version = 0;
  uint32_t fileLength = 0;
  Rect frameSize;
  uint16_t frameRateRaw = 0;
  uint16_t frameCount = 0;
  double frameRate() const { return frameRateRaw / 256.0; }
};

// A run of action records inside the movie's byte buffer.
struct ActionCode {
  std::shared_ptr<const Bytes> data;
  uint32_t offset = 0;
  uint32_t length = 0;
  bool empty() const { return !data || length == 0; }
};

// Clip event flags as one 32-bit set (SWF 6 layout; SWF 5's two bytes map onto the low half).
enum ClipEvent : uint32_t {
  EvKeyUp = 1u << 7, EvKeyDown = 1u << 6, EvMouseUp = 1u << 5, EvMouseDown = 1u << 4,
  EvMouseMove = 1u << 3, EvUnload = 1u << 2, EvEnterFrame = 1u << 1, EvLoad = 1u << 0,
  EvDragOver = 1u << 15, EvRollOut = 1u << 14, EvRollOver = 1u << 13, EvReleaseOutside = 1u << 12,
  EvRelease = 1u << 11, EvPress = 1u << 10, EvInitialize = 1u << 9, EvData = 1u << 8,
  EvConstruct = 1u << 18, EvKeyPress = 1u << 17, EvDragOut = 1u << 16,
};

struct ClipAction {
  uint32_t events = 0;
  uint8_t keyCode = 0;
  ActionCode code;
};

struct PlaceInfo {
  int tagVersion = 2;
  uint16_t depth = 0;
  bool move = false;
  bool hasCharacter = false;
  uint16_t characterId = 0;
  bool hasMatrix = false;
  Matrix matrix;
  bool hasCxform = false;
  ColorTransform cxform;
  bool hasRatio = false;
  uint16_t ratio = 0;
  bool hasName = false;
  std::string name;
  bool hasClipDepth = false;
  uint16_t clipDepth = 0;
  std::vector<ClipAction> clipActions;
};

struct FrameTag {
  enum Kind : uint8_t { Place, Remove, Action } kind = Action;
  std::shared_ptr<const PlaceInfo> place;
  uint16_t depth = 0;  // Remove
  ActionCode action;   // Action
};

struct Frame {
  std::vector<FrameTag> tags;
  std::vector<std::pair<uint16_t, ActionCode>> initActions;  // sprite id, code
  std::vector<std::string> labels;
};

struct Timeline {
  std::vector<Frame> frames;  // frames as parsed; may be fewer than the declared count
  int frameCount = 1;         // declared count, at least one; missing frames are empty
  const Frame* frame(int index) const {
    return index >= 0 && index < static_cast<int>(frames.size()) ? &frames[index] : nullptr;
  }
  int findLabel(const std::string& label) const;  // 0-based frame, -1 when absent
};

// --- shapes ---------------------------------------------------------------------------
struct Gradient {
  struct Stop {
    uint8_t ratio;
    RGBA color;
  };
  std::vector<Stop> stops;
  uint8_t spread = 0;
  uint8_t interpolation = 0;  // 1: colours blend in linear light rather than as stored
  double focal = 0;
};

struct FillStyle {
  enum Type : uint8_t { Solid, Linear, Radial, Focal, Bitmap } type = Solid;
  RGBA color;
  Matrix matrix;
  Gradient gradient;
  uint16_t bitmapId = 0;
  bool repeat = true;
  bool smooth = true;
};

struct LineStyle {
  uint16_t width = 0;  // twips
  RGBA color;
  bool hasFill = false;
  FillStyle fill;
};

// One edge: a straight line (cx, cy unused) or a quadratic curve, in twips.
struct Edge {
  int32_t x0, y0, cx, cy, x1, y1;
  bool curve;
};

// Edges grouped into paths that share fill and line styles; styles index into the owning
// path's style tables (0 = none).
struct ShapePath {
  std::shared_ptr<std::vector<FillStyle>> fills;
  std::shared_ptr<std::vector<LineStyle>> lines;
  uint32_t fill0 = 0, fill1 = 0, line = 0;
  std::vector<Edge> edges;
};

struct ShapeDef {
  Rect bounds;
  bool nonZero = false;
  std::vector<ShapePath> paths;
};

struct BitmapDef {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // premultiplied ARGB
};

struct ButtonRecord {
  uint8_t states = 0;  // 1 up, 2 over, 4 down, 8 hit
  uint16_t characterId = 0;
  uint16_t depth = 0;
  Matrix matrix;
  ColorTransform cxform;
};

struct ButtonCondAction {
  uint16_t conditions = 0;
  ActionCode code;
};

struct ButtonDef {
  bool trackAsMenu = false;
  std::vector<ButtonRecord> records;
  std::vector<ButtonCondAction> actions;
};

struct TextDef {
  Rect bounds;
  std::string variableName;
  std::string initialText;
};

struct MorphDef;  // moviectl/raster_morph.h

struct Character {
  enum Kind : uint8_t { Shape, Sprite, Button, Bitmap, Text, EditText, Morph, Font, Other } kind =
      Other;
  uint16_t id = 0;
  Rect bounds;
  std::shared_ptr<const ShapeDef> shape;
  std::shared_ptr<const MorphDef> morph;
  std::shared_ptr<const Timeline> sprite;
  std::shared_ptr<ButtonDef> button;
  std::shared_ptr<const BitmapDef> bitmap;
  std::shared_ptr<const TextDef> text;
};

// Limits that keep hostile files from exhausting memory while parsing.
struct ParseLimits {
  size_t maxUncompressed = 64u << 20;
  size_t maxFrames = 16000;
  size_t maxBitmapPixels = 16u << 20;
  size_t maxEdgesPerShape = 1u << 20;
};

struct MovieDef {
  SwfHeader header;
  std::shared_ptr<const Bytes> data;  // whole decompressed file, header included
  Timeline root;
  std::map<uint16_t, Character> characters;
  std::map<std::string, uint16_t> exports;  // linkage name (lower case) -> character id
  bool hasBackground = false;
  RGBA background{255, 255, 255, 255};
  bool as3 = false;
  int version() const { return header.version; }
  const Character* character(uint16_t id) const {
    auto it = characters.find(id);
    return it == characters.end() ? nullptr : &it->second;
  }
};

enum class LoadError { None, TooShort, BadSignature, Lzma, BadVersion, BadCompression };
const char* loadErrorText(LoadError e);

// Reads the header only (for the host's movie size); false when the bytes are no SWF.
bool readSwfHeader(const uint8_t* p, size_t n, SwfHeader& out, LoadError* err = nullptr);

// Parses a whole movie. Returns null with `err` set when the file cannot be played at all;
// damaged data after a valid header is parsed as far as it goes.
std::shared_ptr<MovieDef> loadSwf(const uint8_t* p, size_t n, LoadError& err,
                                  const ParseLimits& limits = {});

// Text of SWF 5 and earlier movies is in the Windows-1252 code page; everything inside the
// player is UTF-8.
std::string latin1ToUtf8(const std::string& s);

}  // namespace moviectl
