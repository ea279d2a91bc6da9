// Object, Function and the global values and functions. Each global function is a class
// value whose one operation is onCall.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "runtime/classes/class_util.h"
#include "runtime/classes/text_codecs.h"
#include "runtime/compiler_hook.h"

namespace nerva {

namespace {

// ---- Object ------------------------------------------------------------------------------

bool Nothing(const CScriptValue& v) { return v.tag == TagUndefined || v.tag == TagNull; }

void ObjectCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    if (args.Count() == 0 || (args.Count() == 1 && Nothing(args[0])))
        *result = MakeObjectValue(NewObject(e));
    else
        *result = ToObject(e, args[0]);
}

void ObjectConstruct(CScriptEngine& e, CScriptClass*, const CArgBlock& args, CScriptValue* result) {
    if (args.Count() == 0 || Nothing(args[0]))
        *result = MakeObjectValue(NewObject(e));
    else
        *result = ToObject(e, args[0]);
}

int ObjectMethod(CScriptEngine& e, CScriptClass*, void* self, uint32_t atom, CScriptValue* result, const CArgBlock&) {
    *result = MakeUndefined();
    switch (atom) {
        case AtomToString:
            *result = StaticText(e, self ? "[object Object]" : "[type Function]");
            return 1;
        case AtomValueOf:
            *result = self ? *static_cast<CScriptValue*>(self) : GlobalSlot(e, Intern(e, "Object"));
            return 1;
        case AtomToSource:
            if (!self) *result = StaticText(e, "new Object()");
            return 1;
        default:
            return 0;
    }
}

// ---- Function ----------------------------------------------------------------------------

void FunctionConstruct(CScriptEngine& e, CScriptClass*, const CArgBlock& args, CScriptValue* result) {
    *result = MakeNull();
    int n = args.Count();
    std::string text = "function (";
    bool first = true;
    for (int i = 0; i + 1 < n; ++i) {
        if (args[i].tag != TagString) continue;
        if (!first) text += ", ";
        text += ToNarrow(args[i].s);
        first = false;
    }
    text += ") {";
    if (n >= 1 && args[n - 1].tag == TagString) text += ToNarrow(args[n - 1].s);
    text += "}";
    uint32_t counter = AnonymousFunctionCounter(e);
    if (!RunSource(e, text, 0)) return;
    char name[32];
    std::snprintf(name, sizeof name, "@F_%u", counter);
    int32_t atom = FindAtom(e, name);
    if (atom >= 0 && e.globals[atom].tag == TagFunction) *result = e.globals[atom];
}

int FunctionMethod(CScriptEngine& e, CScriptClass*, void* self, uint32_t atom, CScriptValue* result,
                   const CArgBlock&) {
    *result = MakeUndefined();
    if (atom == AtomToString) {
        *result = StaticText(e, "[object Function]");
        return 1;
    }
    if (atom == AtomValueOf) {
        *result = self ? *static_cast<CScriptValue*>(self) : GlobalSlot(e, Intern(e, "Function"));
        return 1;
    }
    return 0;
}

// ---- global functions --------------------------------------------------------------------

int DigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

bool IsBlank(char16_t c) { return c == u' ' || (c >= 9 && c <= 13); }

CScriptValue ParseInteger(std::u16string_view s, int64_t radix) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    auto hexPrefix = [&] { return i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X'); };
    if (radix == 0) {
        if (hexPrefix()) {
            radix = 16;
            i += 2;
        } else if (i < s.size() && s[i] == u'0') {
            radix = 8;
        } else {
            radix = 10;
        }
    } else if (radix == 16 && hexPrefix()) {
        i += 2;
    }
    if (radix < 2 || radix > 36) return MakeNaN();
    uint64_t acc = 0;
    double wide = 0;
    bool overflow = false;
    size_t digits = 0;
    for (; i < s.size(); ++i, ++digits) {
        int d = DigitValue(s[i]);
        if (d >= radix) break;
        wide = wide * double(radix) + d;
        if (!overflow) {
            if (acc > (uint64_t(std::numeric_limits<int64_t>::max()) - uint64_t(d)) / uint64_t(radix))
                overflow = true;
            else
                acc = acc * uint64_t(radix) + uint64_t(d);
        }
    }
    if (digits == 0) return MakeNaN();
    if (overflow) return MakeFloat(negative ? -wide : wide);
    return MakeInt(negative ? -int64_t(acc) : int64_t(acc));
}

void ParseIntCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    if (args.Count() < 1) {
        *result = MakeNaN();
        return;
    }
    CScriptValue text = ToString(e, args[0]);
    int64_t radix = 0;
    if (args.Count() >= 2) radix = args[1].tag == TagInteger ? args[1].i : ToInt32(e, args[1]);
    *result = ParseInteger(View(text), radix);
}

void ParseFloatCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    if (args.Count() < 1) {
        *result = MakeNaN();
        return;
    }
    CScriptValue n = ToNumber(e, args[0]);
    *result = n.tag == TagInteger ? MakeFloat(double(n.i)) : n;
}

void EscapeCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    if (args.Count() < 1) {
        *result = MakeString(e, u"", 0);
        return;
    }
    *result = NewString(e, Escape(View(ToString(e, args[0]))));
}

void UnescapeCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = MakeUndefined();
    if (args.Count() < 1) return;
    *result = NewString(e, Unescape(View(ToString(e, args[0]))));
}

// Float NaNs left by plain arithmetic count as NaN too.
double NumericValue(CScriptEngine& e, const CScriptValue& v) {
    CScriptValue n = IsNumber(v) ? v : ToNumber(e, v);
    return ToDouble(e, n);
}

void IsNaNCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = MakeUndefined();
    if (args.Count() < 1) return;
    *result = MakeBool(std::isnan(NumericValue(e, args[0])));
}

void IsFiniteCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = MakeUndefined();
    if (args.Count() < 1) return;
    *result = MakeBool(std::isfinite(NumericValue(e, args[0])));
}

void TraceCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    std::string line;
    for (int i = 0; i < args.Count(); ++i) line += ToNarrow(ToString(e, args[i]));
    Trace(e, line);
    *result = MakeUndefined();
}

template <bool kDecode, bool kComponent>
void UriCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = MakeUndefined();
    if (args.Count() < 1) return;
    CScriptValue text = ToString(e, args[0]);
    std::optional<std::u16string> out = kDecode ? DecodeUri(View(text), kComponent) : EncodeUri(View(text), kComponent);
    if (!out) {
        Trace(e, "Invalid URI string");
        return;
    }
    *result = NewString(e, *out);
}

int GlobalFunctionText(CScriptEngine& e, CScriptClass*, void*, uint32_t atom, CScriptValue* result,
                       const CArgBlock&) {
    if (atom != AtomToString) return 0;
    *result = StaticText(e, "[type Function]");
    return 1;
}

void DefineFunction(CScriptEngine& e, const char* name, OnCallFn call) {
    CScriptClass* cls = NewClass(e);
    cls->onCall = call;
    cls->onMethod = &GlobalFunctionText;
    DefineGlobalClass(e, name, cls);
}

}  // namespace

void RegisterGlobals(CScriptEngine& e) {
    GlobalSlot(e, Intern(e, "NaN")) = MakeNaN();
    GlobalSlot(e, Intern(e, "Infinity")) = MakeFloat(std::numeric_limits<double>::infinity());
    DefineFunction(e, "parseInt", &ParseIntCall);
    DefineFunction(e, "parseFloat", &ParseFloatCall);
    DefineFunction(e, "escape", &EscapeCall);
    DefineFunction(e, "unescape", &UnescapeCall);
    DefineFunction(e, "isNaN", &IsNaNCall);
    DefineFunction(e, "isFinite", &IsFiniteCall);
    DefineFunction(e, "trace", &TraceCall);
    DefineFunction(e, "encodeURI", &UriCall<false, false>);
    DefineFunction(e, "encodeURIComponent", &UriCall<false, true>);
    DefineFunction(e, "decodeURI", &UriCall<true, false>);
    DefineFunction(e, "decodeURIComponent", &UriCall<true, true>);
}

void RegisterObjectAndFunction(CScriptEngine& e) {
    CScriptClass* object = NewClass(e);
    object->onCall = &ObjectCall;
    object->onConstruct = &ObjectConstruct;
    object->onMethod = &ObjectMethod;
    SetTypeClass(e, TagObject, object);
    DefineGlobalClass(e, "Object", object);

    CScriptClass* function = NewClass(e);
    function->onConstruct = &FunctionConstruct;
    function->onMethod = &FunctionMethod;
    SetTypeClass(e, TagFunction, function);
    DefineGlobalClass(e, "Function", function);
}

}  // namespace nerva
