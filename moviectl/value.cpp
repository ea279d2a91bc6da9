// Value conversions that do not need the interpreter: number formatting and parsing, name
// comparison and UTF-8 character counting.
#include "moviectl/value.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace moviectl {

static inline char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool namesEqual(const std::string& a, const std::string& b, bool caseSensitive) {
  if (a.size() != b.size()) return false;
  if (caseSensitive) return a == b;
  for (size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

std::string toLowerAscii(std::string s) {
  for (auto& c : s) c = lowerAscii(c);
  return s;
}

Property* Object::find(const std::string& name, bool caseSensitive) {
  for (auto& p : props)
    if (namesEqual(p.name, name, caseSensitive)) return &p;
  return nullptr;
}

std::string numberToString(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  if (d == 0) return "0";
  if (std::fabs(d) < 1e15 && d == std::floor(d)) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", d);
    return buf;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.14e", d);
  // buf: [-]d.dddddddddddddde[+-]XX
  std::string s(buf);
  bool neg = s[0] == '-';
  if (neg) s.erase(0, 1);
  size_t epos = s.find('e');
  int exp = std::atoi(s.c_str() + epos + 1);
  std::string digits = s.substr(0, 1) + s.substr(2, epos - 2);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out;
  if (exp >= 15 || exp < -5) {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += exp > 0 ? "e+" : "e-";
    out += std::to_string(std::abs(exp));
  } else if (exp < 0) {
    out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  } else {
    if (digits.size() <= static_cast<size_t>(exp) + 1) {
      out = digits + std::string(exp + 1 - digits.size(), '0');
    } else {
      out = digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
    }
  }
  return neg ? "-" + out : out;
}

static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

double stringToNumber(const std::string& str, int swfVersion) {
  const char* p = str.c_str();
  size_t n = str.size();
  size_t i = 0;
  while (i < n && isSpace(p[i])) ++i;
  if (i == n) return swfVersion >= 5 ? NAN : 0;
  // Hexadecimal (SWF 6+): "0x1F", "-0x1F"; values wrap to 32 bits.
  if (swfVersion >= 6) {
    size_t j = i;
    bool neg = false;
    if (p[j] == '-' || p[j] == '+') {
      neg = p[j] == '-';
      ++j;
    }
    if (j + 1 < n && p[j] == '0' && (p[j + 1] == 'x' || p[j + 1] == 'X')) {
      j += 2;
      if (j == n) return NAN;
      uint32_t v = 0;
      for (; j < n; ++j) {
        char c = p[j];
        int dgt = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (dgt < 0) return NAN;
        v = v * 16 + static_cast<uint32_t>(dgt);
      }
      double r = static_cast<int32_t>(v);
      return neg ? -r : r;
    }
  }
  // Plain decimal with optional fraction and exponent; trailing text makes it NaN.
  size_t j = i;
  if (j < n && (p[j] == '-' || p[j] == '+')) ++j;
  size_t digitsStart = j;
  bool any = false;
  while (j < n && p[j] >= '0' && p[j] <= '9') ++j, any = true;
  if (j < n && p[j] == '.') {
    ++j;
    while (j < n && p[j] >= '0' && p[j] <= '9') ++j, any = true;
  }
  if (any && j < n && (p[j] == 'e' || p[j] == 'E')) {
    size_t k = j + 1;
    if (k < n && (p[k] == '-' || p[k] == '+')) ++k;
    if (k < n && p[k] >= '0' && p[k] <= '9') {
      while (k < n && p[k] >= '0' && p[k] <= '9') ++k;
      j = k;
    }
  }
  if (!any) return swfVersion >= 5 ? NAN : 0;
  size_t end = j;
  // Trailing text, spaces included, makes the whole string no number; SWF 4 takes the
  // number in front of it.
  if (j != n && swfVersion >= 5) return NAN;
  // Leading-zero octal (SWF 6+), as the reference players parse integer literals.
  if (swfVersion >= 6) {
    size_t k = digitsStart;
    if (k + 1 < end && p[k] == '0') {
      bool octal = true;
      for (size_t q = k; q < end; ++q)
        if (p[q] < '0' || p[q] > '7') octal = false;
      if (octal) {
        uint32_t v = 0;
        for (size_t q = k; q < end; ++q) v = v * 8 + static_cast<uint32_t>(p[q] - '0');
        double r = static_cast<int32_t>(v);
        return p[i] == '-' ? -r : r;
      }
    }
  }
  return std::strtod(std::string(p + i, end - i).c_str(), nullptr);
}

int clampToInt(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 2147483647.0) return 2147483647;
  if (d <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(d);
}

int32_t toInt32(double d) {
  if (!std::isfinite(d)) return 0;
  double t = std::trunc(d);
  double m = std::fmod(t, 4294967296.0);
  if (m < 0) m += 4294967296.0;
  return static_cast<int32_t>(static_cast<uint32_t>(m));
}

std::vector<uint32_t> utf8Decode(const std::string& s) {
  std::vector<uint32_t> out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if ((c >> 5) == 6) {
      cp = c & 0x1F;
      len = 2;
    } else if ((c >> 4) == 14) {
      cp = c & 0x0F;
      len = 3;
    } else if ((c >> 3) == 30) {
      cp = c & 0x07;
      len = 4;
    } else {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + len > s.size()) {
      out.push_back(c);
      ++i;
      continue;
    }
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc >> 6) != 2) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok) {
      out.push_back(c);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

std::string utf8Encode(uint32_t cp) {
  std::string o;
  if (cp < 0x80) {
    o += static_cast<char>(cp);
  } else if (cp < 0x800) {
    o += static_cast<char>(0xC0 | (cp >> 6));
    o += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    o += static_cast<char>(0xE0 | (cp >> 12));
    o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    o += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    o += static_cast<char>(0xF0 | ((cp >> 18) & 0x07));
    o += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    o += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    o += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return o;
}

size_t utf8Length(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string utf8Substr(const std::string& s, size_t start, size_t count) {
  auto cps = utf8Decode(s);
  std::string o;
  for (size_t i = start; i < cps.size() && i - start < count; ++i) o += utf8Encode(cps[i]);
  return o;
}

}  // namespace moviectl
