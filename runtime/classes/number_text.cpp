// The format check reads the one conversion of a printf format and allows only those whose
// argument type matches the number, with bounded width and precision, so formatting can never
// read a missing argument or write past its buffer.
#include "runtime/classes/number_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <variant>

namespace nerva {

namespace {

constexpr size_t kMaxFormatted = 256;

struct Conversion {
    size_t begin = 0, end = 0;  // the conversion's span in the format
    std::string text;           // "%", flags, width and precision, ready for snprintf
    int lengthBits = 32;        // 64 with ll, I64, j, z, t, q; 16 with h; 8 with hh; 128 with L
    char type = 0;
};

bool IsFlag(char16_t c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char16_t c) { return c >= '0' && c <= '9'; }

// Reads a run of digits, refusing values too large to be a sane width or precision.
bool ReadBounded(std::u16string_view format, size_t& i, std::string& text) {
    int value = 0;
    while (i < format.size() && IsDigit(format[i])) {
        value = value * 10 + (format[i] - '0');
        if (value > int(kMaxFormatted)) return false;
        text += char(format[i++]);
    }
    return true;
}

// Finds the single conversion. No conversion: begin == end == npos. Refused formats: nothing.
std::optional<Conversion> FindConversion(std::u16string_view format) {
    Conversion found;
    found.begin = found.end = std::u16string_view::npos;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (i + 1 < format.size() && format[i + 1] == '%') {
            ++i;
            continue;
        }
        if (found.begin != std::u16string_view::npos) return std::nullopt;  // a second argument
        Conversion c;
        c.begin = i++;
        c.text = "%";
        while (i < format.size() && IsFlag(format[i])) c.text += char(format[i++]);
        if (!ReadBounded(format, i, c.text)) return std::nullopt;
        if (i < format.size() && format[i] == '.') {
            c.text += char(format[i++]);
            if (!ReadBounded(format, i, c.text)) return std::nullopt;
        }
        std::u16string_view rest = format.substr(std::min(i, format.size()));
        if (rest.substr(0, 2) == u"ll") c.lengthBits = 64, i += 2;
        else if (rest.substr(0, 3) == u"I64") c.lengthBits = 64, i += 3;
        else if (rest.substr(0, 2) == u"hh") c.lengthBits = 8, i += 2;
        else if (!rest.empty() && (rest[0] == 'j' || rest[0] == 'z' || rest[0] == 't' || rest[0] == 'q'))
            c.lengthBits = 64, ++i;
        else if (!rest.empty() && rest[0] == 'h') c.lengthBits = 16, ++i;
        else if (!rest.empty() && rest[0] == 'L') c.lengthBits = 128, ++i;  // long double: never ours
        else if (!rest.empty() && rest[0] == 'l') ++i;  // long is 32 bits on Windows; %lf is a double
        if (i >= format.size()) return std::nullopt;
        char16_t type = format[i];
        if (type > 0x7F) return std::nullopt;
        c.type = char(type);
        c.end = i + 1;
        found = c;
        i = c.end - 1;
    }
    return found;
}

bool IsIntegerType(char t) { return std::strchr("diouxXc", t) != nullptr; }
bool IsFloatType(char t) { return std::strchr("eEfFgGaA", t) != nullptr; }

std::u16string Widen(const char* text) { return std::u16string(text, text + std::strlen(text)); }

// Copies the literal text around the conversion, turning "%%" into "%".
void AppendLiteral(std::u16string& out, std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
    }
}

std::optional<std::u16string> Assemble(std::u16string_view format, const Conversion& c, const std::string& middle) {
    std::u16string out;
    if (c.begin == std::u16string_view::npos) {
        AppendLiteral(out, format);
    } else {
        AppendLiteral(out, format.substr(0, c.begin));
        out += Widen(middle.c_str());
        AppendLiteral(out, format.substr(c.end));
    }
    if (out.size() > kMaxFormatted) return std::nullopt;
    return out;
}

std::optional<std::string> FormatOne(const std::string& conversion, const char* length, char type, auto value) {
    std::string full = conversion + length + type;
    char buffer[kMaxFormatted * 2 + 64];
    int n = std::snprintf(buffer, sizeof buffer, full.c_str(), value);
    if (n < 0 || size_t(n) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, size_t(n));
}

}  // namespace

std::string IntegerToText(int64_t value, int radix) {
    if (radix < 2 || radix > 36) radix = 10;
    if (radix == 10) return std::to_string(value);
    uint64_t v = uint64_t(value);
    char digits[65];
    int pos = 64;
    digits[pos] = 0;
    do {
        int d = int(v % uint64_t(radix));
        digits[--pos] = char(d < 10 ? '0' + d : 'a' + d - 10);
        v /= uint64_t(radix);
    } while (v);
    return digits + pos;
}

std::string FloatToText(double value) {
    if (std::isnan(value)) return "NaN";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

std::optional<std::u16string> FormatNumber(std::u16string_view format, int64_t integer) {
    std::optional<Conversion> c = FindConversion(format);
    if (!c) return std::nullopt;
    if (c->begin == std::u16string_view::npos) return Assemble(format, *c, "");
    if (!IsIntegerType(c->type) || c->lengthBits > 64) return std::nullopt;
    std::optional<std::string> middle;
    if (c->type == 'c') {
        middle = FormatOne(c->text, "", 'c', int(uint8_t(integer)));
    } else if (c->lengthBits == 64) {
        middle = FormatOne(c->text, "ll", c->type, (long long)integer);
    } else {
        // A narrower conversion sees the low bits of the 64-bit argument.
        long long narrowed = c->lengthBits == 8    ? (long long)int8_t(integer)
                             : c->lengthBits == 16 ? (long long)int16_t(integer)
                                                   : (long long)int32_t(integer);
        bool isUnsigned = c->type != 'd' && c->type != 'i';
        if (isUnsigned) narrowed &= (c->lengthBits == 8 ? 0xFFLL : c->lengthBits == 16 ? 0xFFFFLL : 0xFFFFFFFFLL);
        middle = FormatOne(c->text, "ll", c->type, narrowed);
    }
    if (!middle) return std::nullopt;
    return Assemble(format, *c, *middle);
}

std::optional<std::u16string> FormatNumber(std::u16string_view format, double value) {
    std::optional<Conversion> c = FindConversion(format);
    if (!c) return std::nullopt;
    if (c->begin == std::u16string_view::npos) return Assemble(format, *c, "");
    if (!IsFloatType(c->type) || c->lengthBits != 32) return std::nullopt;
    std::optional<std::string> middle = FormatOne(c->text, "", c->type, value);
    if (!middle) return std::nullopt;
    return Assemble(format, *c, *middle);
}

}  // namespace nerva
