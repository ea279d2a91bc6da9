// Conversions and comparisons. Numbers are integers (64-bit) or floats; text-to-number
// follows the runtime library's reading of the digits the way the scripts were written for:
// radix from the prefix, integers kept exact, floats through the library's strtod.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/engine.h"
#include "runtime/engine_internal.h"
#include "runtime/member.h"
#include "runtime/object.h"
#include "runtime/script_class.h"

namespace nerva {

namespace {

bool IsSpace(char16_t c) { return c == ' ' || (c >= 9 && c <= 13) || c == 0xA0 || c == 0x3000 || c == 0xFEFF; }

// The text as the library's wide-string-to-double sees it: anything beyond ASCII ends it.
double LibraryStrtod(const char16_t* chars, uint32_t length, bool* consumed) {
    std::string narrow(length, '\0');
    for (uint32_t i = 0; i < length; ++i) narrow[i] = chars[i] < 0x80 ? char(chars[i]) : (IsSpace(chars[i]) ? ' ' : '\x01');
    const char* begin = narrow.c_str();
    char* end = nullptr;
    double d = std::strtod(begin, &end);
    *consumed = end != begin;
    return d;
}

int DigitValue(char16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// Exact value of a long radix-8 or radix-16 digit string, rounded to 53 significant bits
// (half to even on the bits beyond).
double PowerOfTwoDigits(const char16_t* digits, uint32_t count, int radix) {
    int bitsPerDigit = radix == 16 ? 4 : 3;
    std::vector<uint8_t> bits;
    for (uint32_t i = 0; i < count; ++i) {
        int v = DigitValue(digits[i]);
        for (int b = bitsPerDigit - 1; b >= 0; --b) bits.push_back(uint8_t((v >> b) & 1));
    }
    size_t first = 0;
    while (first < bits.size() && !bits[first]) ++first;
    if (first == bits.size()) return 0.0;
    size_t n = bits.size() - first;
    uint64_t mantissa = 0;
    size_t take = n < 53 ? n : 53;
    for (size_t i = 0; i < take; ++i) mantissa = (mantissa << 1) | bits[first + i];
    int exponent = int(n - take);
    if (n > 53) {
        bool half = bits[first + 53];
        bool sticky = false;
        for (size_t i = first + 54; i < bits.size(); ++i) sticky |= bits[i] != 0;
        if (half && (sticky || (mantissa & 1))) {
            ++mantissa;
            if (mantissa == (uint64_t(1) << 53)) {
                mantissa >>= 1;
                ++exponent;
            }
        }
    }
    return std::ldexp(double(mantissa), exponent);
}

}  // namespace

CScriptValue StringToNumber(const char16_t* chars, uint32_t length) {
    if (length == 0) return MakeInt(0);
    uint32_t i = 0;
    while (i < length && IsSpace(chars[i])) ++i;
    bool negative = false;
    if (i < length && (chars[i] == '+' || chars[i] == '-')) negative = chars[i++] == '-';
    int radix = 10;
    if (i + 1 < length && chars[i] == '0' && (chars[i + 1] == 'x' || chars[i + 1] == 'X')) {
        radix = 16;
        i += 2;
    } else if (i < length && chars[i] == '0') {
        radix = 8;
    }
    uint32_t digitsStart = i;
    uint64_t acc = 0;
    bool overflow = false;
    while (i < length && DigitValue(chars[i]) < radix) {
        uint64_t next = acc * uint64_t(radix) + uint64_t(DigitValue(chars[i]));
        if (acc > (uint64_t(INT64_MAX) - uint64_t(DigitValue(chars[i]))) / uint64_t(radix)) overflow = true;
        acc = next;
        ++i;
    }
    bool consumed;
    if (i == digitsStart) {
        double d = LibraryStrtod(chars, length, &consumed);
        return consumed ? MakeFloat(d) : MakeNaN();
    }
    if (i < length) {
        char16_t c = chars[i];
        if (c == '.' || c == 'e' || c == 'E' || c == 'd' || c == 'D') return MakeFloat(LibraryStrtod(chars, length, &consumed));
    }
    if (overflow) {
        double d;
        if (radix == 10) {
            std::u16string text;
            if (negative) text.push_back('-');
            text.append(chars + digitsStart, i - digitsStart);
            d = LibraryStrtod(text.data(), uint32_t(text.size()), &consumed);
            return MakeFloat(d);
        }
        d = PowerOfTwoDigits(chars + digitsStart, i - digitsStart, radix);
        return MakeFloat(negative ? -d : d);
    }
    int64_t v = int64_t(acc);
    return MakeInt(negative ? -v : v);
}

bool ToBoolean(const CScriptValue& v) {
    switch (v.tag) {
        case TagBoolean: return (v.u & 0xFFFFFFFFu) != 0;
        case TagInteger: return v.i != 0;
        case TagFloat: return v.f != 0.0 && !std::isnan(v.f);
        case TagString: return v.s->length != 0;
        case TagArray:
        case TagObject:
        case TagHost:
        case TagFunction: return true;
        default: return false;
    }
}

CScriptValue ToNumber(CScriptEngine& e, const CScriptValue& v) {
    switch (v.tag) {
        case TagNull: return MakeInt(0);
        case TagBoolean: return MakeInt((v.u & 0xFFFFFFFFu) ? 1 : 0);
        case TagInteger:
        case TagFloat:
        case TagNaN: return v;
        case TagString: return StringToNumber(v.s->chars, v.s->length);
        case TagArray:
        case TagObject:
        case TagHost:
        case TagFunction: {
            CScriptValue p = ToPrimitive(e, v, Hint::Number);
            if (!IsPrimitive(p)) return MakeNaN();
            return ToNumber(e, p);
        }
        default: return MakeNaN();
    }
}

double ToDouble(CScriptEngine& e, const CScriptValue& v) {
    CScriptValue n = v.tag == TagInteger || v.tag == TagFloat ? v : ToNumber(e, v);
    if (n.tag == TagInteger) return double(n.i);
    if (n.tag == TagFloat) return n.f;
    return std::nan("");
}

int64_t ToInt64(CScriptEngine& e, const CScriptValue& v) {
    CScriptValue n = v.tag == TagInteger ? v : ToNumber(e, v);
    if (n.tag == TagInteger) return n.i;
    if (n.tag == TagFloat) {
        double d = n.f;
        if (std::isnan(d) || std::isinf(d)) return 0;
        // Beyond the 64-bit range the library's conversion is undefined; saturate instead.
        if (d >= 9223372036854775807.0) return INT64_MAX;
        if (d <= -9223372036854775808.0) return INT64_MIN;
        return int64_t(d);
    }
    return 0;
}

int32_t ToInt32(CScriptEngine& e, const CScriptValue& v) { return int32_t(uint32_t(uint64_t(ToInt64(e, v)))); }

std::string IntegerText(int64_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(i));
    return buf;
}

std::string FloatText(double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", d);
    return buf;
}

CScriptValue ToString(CScriptEngine& e, const CScriptValue& v) {
    switch (v.tag) {
        case TagUndefined:
        case TagNull: return StaticText(e, "undefined");
        case TagBoolean: return StaticText(e, (v.u & 0xFFFFFFFFu) ? "true" : "false");
        case TagInteger: {
            if (v.i >= 0 && v.i < 10) {
                char digit[2] = {char('0' + v.i), 0};
                return StaticText(e, digit);
            }
            return FromNarrow(e, IntegerText(v.i));
        }
        case TagFloat: return FromNarrow(e, FloatText(v.f));
        case TagNaN: return StaticText(e, "NaN");
        case TagString: return v;
        case TagAtom: return FromNarrow(e, AtomName(e, uint32_t(v.u)));
        case TagObject: {
            CScriptValue out;
            if (CallConversionMethod(e, v, AtomToString, out) && out.tag == TagString) return out;
            return StaticText(e, "object");
        }
        case TagArray:
        case TagFunction:
        case TagHost: {
            CScriptValue out;
            if (CallClassMethod(e, v, AtomToString, out) && out.tag == TagString) return out;
            return StaticText(e, "object");
        }
        default: return StaticText(e, "unknown");
    }
}

CScriptValue ToPrimitive(CScriptEngine& e, const CScriptValue& v, Hint hint) {
    switch (v.tag) {
        case TagUndefined:
        case TagNull:
        case TagBoolean:
        case TagInteger:
        case TagString:
        case TagFloat:
        case TagNaN: return v;
        case TagArray:
        case TagFunction: return ToString(e, v);
        case TagObject: {
            CScriptValue out;
            if (hint == Hint::String) {
                if (CallConversionMethod(e, v, AtomToString, out) && IsPrimitive(out)) return out;
                if (CallConversionMethod(e, v, AtomValueOf, out) && IsPrimitive(out)) return out;
                RaiseRuntimeError(e, "Can't convert to primitive type");
            }
            if (CallConversionMethod(e, v, AtomValueOf, out) && IsPrimitive(out)) return out;
            return ToString(e, v);
        }
        case TagHost: {
            CScriptClass* cls = v.h->cls;
            if (!cls || !cls->onMethod) RaiseRuntimeError(e, "Can't convert to primitive type");
            CScriptValue out;
            if (hint == Hint::String) {
                if (CallClassMethod(e, v, AtomToString, out)) return out;
                if (CallClassMethod(e, v, AtomValueOf, out)) return out;
                RaiseRuntimeError(e, "Can't convert to primitive type");
            }
            if (CallClassMethod(e, v, AtomValueOf, out)) return out;
            return ToString(e, v);
        }
        default: RaiseRuntimeError(e, "Can't convert to primitive type");
    }
}

CScriptValue ToObject(CScriptEngine& e, const CScriptValue& v) {
    switch (v.tag) {
        case TagBoolean:
        case TagInteger:
        case TagFloat:
        case TagNaN:
        case TagArray:
        case TagObject:
        case TagHost:
        case TagFunction: return v;
        case TagString: return MakeString(e, v.s->chars, v.s->length);
        default: RaiseRuntimeError(e, "Can't convert to object");
    }
}

int CompareStrings(const CScriptString* a, const CScriptString* b) {
    uint32_t n = a->length < b->length ? a->length : b->length;
    for (uint32_t i = 0; i < n; ++i)
        if (a->chars[i] != b->chars[i]) return a->chars[i] < b->chars[i] ? -1 : 1;
    if (a->length == b->length) return 0;
    return a->length < b->length ? -1 : 1;
}

namespace {

bool NumbersEqual(const CScriptValue& a, const CScriptValue& b) {
    if (a.tag == TagNaN || b.tag == TagNaN) return false;
    if (a.tag == TagInteger && b.tag == TagInteger) return a.i == b.i;
    double x = a.tag == TagInteger ? double(a.i) : a.f;
    double y = b.tag == TagInteger ? double(b.i) : b.f;
    return x == y;
}

bool SameTagEqual(const CScriptValue& a, const CScriptValue& b, bool atomsEqual) {
    switch (a.tag) {
        case TagUndefined:
        case TagNull: return true;
        case TagBoolean: return (a.u & 0xFFFFFFFFu) == (b.u & 0xFFFFFFFFu);
        case TagInteger: return a.i == b.i;
        case TagString: return CompareStrings(a.s, b.s) == 0;
        case TagFloat: return a.f == b.f;
        case TagArray:
        case TagObject:
        case TagFunction: return a.p == b.p;
        case TagHost: return a.h->cls == b.h->cls && a.h->data == b.h->data;
        case TagAtom: return atomsEqual && a.u == b.u;
        default: return false;
    }
}

}  // namespace

bool LooseEquals(CScriptEngine& e, const CScriptValue& a0, const CScriptValue& b0) {
    CScriptValue a = a0, b = b0;
    for (int round = 0; round < 4; ++round) {
        if (a.tag == b.tag) return SameTagEqual(a, b, true);
        bool aNil = a.tag == TagUndefined || a.tag == TagNull;
        bool bNil = b.tag == TagUndefined || b.tag == TagNull;
        if (aNil && bNil) return true;
        if (IsNumber(a) && IsNumber(b)) return NumbersEqual(a, b);
        bool aPrim = IsPrimitive(a) && !aNil, bPrim = IsPrimitive(b) && !bNil;
        if (aPrim && bPrim) return NumbersEqual(ToNumber(e, a), ToNumber(e, b));
        if (a.tag == TagObject && bPrim) {
            a = ToPrimitive(e, a, Hint::None);
            continue;
        }
        if (b.tag == TagObject && aPrim) {
            b = ToPrimitive(e, b, Hint::None);
            continue;
        }
        return false;
    }
    return false;
}

bool StrictEquals(const CScriptValue& a, const CScriptValue& b) {
    if (a.tag == b.tag) return SameTagEqual(a, b, false);
    if (IsNumber(a) && IsNumber(b)) return NumbersEqual(a, b);
    return false;
}

int Compare(CScriptEngine& e, const CScriptValue& a, const CScriptValue& b) {
    if (a.tag == TagString && b.tag == TagString) return CompareStrings(a.s, b.s);
    if (a.tag == TagInteger && b.tag == TagInteger) return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
    CScriptValue x = IsNumber(a) ? a : ToNumber(e, a);
    CScriptValue y = IsNumber(b) ? b : ToNumber(e, b);
    if (x.tag == TagNaN || y.tag == TagNaN) return 2;
    if (x.tag == TagInteger && y.tag == TagInteger) return x.i < y.i ? -1 : (x.i > y.i ? 1 : 0);
    double dx = x.tag == TagInteger ? double(x.i) : x.f;
    double dy = y.tag == TagInteger ? double(y.i) : y.f;
    if (std::isnan(dx) || std::isnan(dy)) return 2;
    return dx < dy ? -1 : (dx > dy ? 1 : 0);
}

const char* TypeOfText(const CScriptValue& v) {
    switch (v.tag) {
        case TagUndefined: return "undefined";
        case TagNull: return "object";
        case TagBoolean: return "boolean";
        case TagInteger:
        case TagFloat:
        case TagNaN: return "number";
        case TagString: return "string";
        case TagArray:
        case TagObject:
        case TagHost: return "object";
        case TagFunction: return "function";
        default: return "";
    }
}

}  // namespace nerva
