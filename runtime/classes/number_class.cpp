// Number, Boolean and Math. Numbers and booleans are never boxed: their constructors return
// plain values, and their type classes answer methods on the values themselves.
#include <cmath>
#include <ctime>
#include <limits>

#include "runtime/classes/class_util.h"
#include "runtime/classes/number_text.h"
#include "runtime/classes/random48.h"

namespace nerva {

namespace {

enum NumberMember { kMaxValue, kMinValue, kNaN, kNegativeInfinity, kPositiveInfinity, kFormat };

enum MathMember {
    kAbs, kAcos, kAsin, kAtan, kAtan2, kCeil, kCos, kExp, kFloor, kLog, kMax, kMin, kPow, kRandom, kRound, kSin,
    kSqrt, kTan, kE, kLN10, kLN2, kLOG10E, kLOG2E, kPI, kSQRT1_2, kSQRT2,
};

CScriptValue GlobalNamed(CScriptEngine& e, const char* name) { return GlobalSlot(e, Intern(e, name)); }

CScriptValue NumberConstant(int member) {
    switch (member) {
        case kMaxValue: return MakeFloat(1.7976931348623157e308);
        case kMinValue: return MakeFloat(2.2250738585072014e-308);
        case kNaN: return MakeNaN();
        case kNegativeInfinity: return MakeFloat(-std::numeric_limits<double>::infinity());
        default: return MakeFloat(std::numeric_limits<double>::infinity());
    }
}

int NumberProperty(CScriptEngine&, CScriptClass* cls, void*, uint32_t atom, int set, CScriptValue* value) {
    int member = MemberIndex(cls->classData, atom);
    if (member < kMaxValue || member > kPositiveInfinity) return 0;
    if (!set) *value = NumberConstant(member);
    return 1;
}

int NumberMethod(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, CScriptValue* result,
                 const CArgBlock& args) {
    *result = MakeUndefined();
    if (!self) {
        if (atom == AtomToString) *result = StaticText(e, "[type Function]");
        else if (atom == AtomValueOf) *result = GlobalNamed(e, "Number");
        else return 0;
        return 1;
    }
    const CScriptValue v = *static_cast<CScriptValue*>(self);
    if (!IsNumber(v)) return 0;
    if (atom == AtomValueOf) {
        *result = v;
        return 1;
    }
    if (atom == AtomToString) {
        if (v.tag == TagNaN) {
            *result = StaticText(e, "NaN");
        } else if (v.tag == TagFloat) {
            *result = FromNarrow(e, FloatToText(v.f));
        } else {
            int radix = args[0].tag == TagInteger ? int(args[0].i) : 10;
            if (args[0].tag == TagInteger && (args[0].i < 2 || args[0].i > 36)) radix = 10;
            *result = FromNarrow(e, IntegerToText(v.i, radix));
        }
        return 1;
    }
    if (MemberIndex(cls->classData, atom) != kFormat) return 0;
    if (v.tag == TagNaN) {
        *result = StaticText(e, "NaN");
        return 1;
    }
    if (args[0].tag == TagString) {
        std::optional<std::u16string> text =
            v.tag == TagInteger ? FormatNumber(View(args[0]), v.i) : FormatNumber(View(args[0]), v.f);
        if (text) {
            *result = NewString(e, *text);
            return 1;
        }
    }
    // A format that does not fit the number gives the plain text.
    *result = ToString(e, v);
    return 1;
}

void NumberCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = args.Count() < 1 ? MakeInt(0) : ToNumber(e, args[0]);
}
void NumberConstruct(CScriptEngine& e, CScriptClass* cls, const CArgBlock& args, CScriptValue* result) {
    NumberCall(e, cls, nullptr, result, args);
}

int BooleanMethod(CScriptEngine& e, CScriptClass*, void* self, uint32_t atom, CScriptValue* result, const CArgBlock&) {
    *result = MakeUndefined();
    if (!self) {
        if (atom == AtomToString) *result = StaticText(e, "[type Function]");
        else if (atom == AtomValueOf) *result = GlobalNamed(e, "Boolean");
        else return 0;
        return 1;
    }
    const CScriptValue v = *static_cast<CScriptValue*>(self);
    if (v.tag != TagBoolean) return 0;
    if (atom == AtomToString) *result = StaticText(e, (v.u & 0xFFFFFFFFu) ? "true" : "false");
    else if (atom == AtomValueOf) *result = v;
    else return 0;
    return 1;
}

void BooleanCall(CScriptEngine&, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = MakeBool(args.Count() >= 1 && ToBoolean(args[0]));
}
void BooleanConstruct(CScriptEngine& e, CScriptClass* cls, const CArgBlock& args, CScriptValue* result) {
    BooleanCall(e, cls, nullptr, result, args);
}

// Math results: a NaN result is the NaN value.
CScriptValue FloatResult(double d) { return std::isnan(d) ? MakeNaN() : MakeFloat(d); }

double MathArg(CScriptEngine& e, const CArgBlock& args, int i) {
    if (i >= args.Count()) return std::numeric_limits<double>::quiet_NaN();
    return ToDouble(e, ToNumber(e, args[i]));
}

CScriptValue MathCall(CScriptEngine& e, int member, const CArgBlock& args) {
    switch (member) {
        case kAtan2:
        case kPow: {
            if (args.Count() < 2) return MakeNaN();
            CScriptValue a = ToNumber(e, args[0]), b = ToNumber(e, args[1]);
            double x = ToDouble(e, a), y = ToDouble(e, b);
            if (std::isnan(x) || std::isnan(y)) return MakeNaN();
            if (member == kAtan2) return FloatResult(std::atan2(x, y));
            double r = std::pow(x, y);
            if (a.tag == TagInteger && b.tag == TagInteger && std::fabs(r) < 9007199254740992.0)
                return MakeInt(int64_t(r));
            return FloatResult(r);
        }
        case kMax:
        case kMin: {
            if (args.Count() < 1) return MakeNaN();
            double best = 0;
            for (int i = 0; i < args.Count(); ++i) {
                double x = MathArg(e, args, i);
                if (std::isnan(x)) return MakeNaN();
                if (i == 0 || (member == kMax ? x > best : x < best)) best = x;
            }
            return MakeFloat(best);
        }
        case kRandom: return MakeFloat(NextRandom48());
        default: break;
    }
    double x = MathArg(e, args, 0);
    if (std::isnan(x)) return MakeNaN();
    switch (member) {
        case kAbs: return FloatResult(std::fabs(x));
        case kAcos: return FloatResult(std::acos(x));
        case kAsin: return FloatResult(std::asin(x));
        case kAtan: return FloatResult(std::atan(x));
        case kCeil: return FloatResult(std::ceil(x));
        case kCos: return FloatResult(std::cos(x));
        case kExp: return FloatResult(std::exp(x));
        case kFloor: return FloatResult(std::floor(x));
        case kLog: return FloatResult(std::log(x));
        case kSin: return FloatResult(std::sin(x));
        case kSqrt: return FloatResult(std::sqrt(x));
        case kTan: return FloatResult(std::tan(x));
        case kRound: {
            if (std::isinf(x)) return MakeFloat(x);
            double r = std::floor(x + 0.5);
            // Beyond the 64-bit range the rounded float is the answer.
            if (r >= 9223372036854775808.0 || r < -9223372036854775808.0) return MakeFloat(r);
            return MakeInt(int64_t(r));
        }
        default: return MakeNaN();
    }
}

int MathMethod(CScriptEngine& e, CScriptClass* cls, void*, uint32_t atom, CScriptValue* result,
               const CArgBlock& args) {
    *result = MakeUndefined();
    if (atom == AtomToString) {
        *result = StaticText(e, "[object Math]");
        return 1;
    }
    int member = MemberIndex(cls->classData, atom);
    if (member < kAbs || member > kTan) return 0;
    *result = MathCall(e, member, args);
    return 1;
}

int MathProperty(CScriptEngine&, CScriptClass* cls, void*, uint32_t atom, int set, CScriptValue* value) {
    static const double kConstants[] = {2.718281828459045,  2.302585092994046,  0.6931471805599453,
                                        0.4342944819032518, 1.4426950408889634, 3.141592653589793,
                                        0.7071067811865476, 1.4142135623730951};
    int member = MemberIndex(cls->classData, atom);
    if (member < kE) return 0;
    if (!set) *value = MakeFloat(kConstants[member - kE]);
    return 1;
}

}  // namespace

void RegisterNumberBooleanMath(CScriptEngine& e) {
    CScriptClass* number = NewClass(e);
    number->classData =
        InternMembers(e, {"MAX_VALUE", "MIN_VALUE", "NaN", "NEGATIVE_INFINITY", "POSITIVE_INFINITY", "format"});
    number->freeClassData = &FreeMemberList;
    number->onMethod = &NumberMethod;
    number->onProperty = &NumberProperty;
    number->onCall = &NumberCall;
    number->onConstruct = &NumberConstruct;
    SetTypeClass(e, TagInteger, number);
    SetTypeClass(e, TagFloat, number);
    SetTypeClass(e, TagNaN, number);
    DefineGlobalClass(e, "Number", number);

    CScriptClass* boolean = NewClass(e);
    boolean->onMethod = &BooleanMethod;
    boolean->onCall = &BooleanCall;
    boolean->onConstruct = &BooleanConstruct;
    SetTypeClass(e, TagBoolean, boolean);
    DefineGlobalClass(e, "Boolean", boolean);

    CScriptClass* math = NewClass(e);
    math->classData = InternMembers(e, {"abs", "acos", "asin", "atan", "atan2", "ceil", "cos", "exp", "floor", "log",
                                        "max", "min", "pow", "random", "round", "sin", "sqrt", "tan", "E", "LN10",
                                        "LN2", "LOG10E", "LOG2E", "PI", "SQRT1_2", "SQRT2"});
    math->freeClassData = &FreeMemberList;
    math->onMethod = &MathMethod;
    math->onProperty = &MathProperty;
    DefineGlobalClass(e, "Math", math);
    SeedRandom48(uint32_t(std::time(nullptr)));
}

}  // namespace nerva
