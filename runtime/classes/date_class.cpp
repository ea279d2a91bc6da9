// Date: one time value per instance (milliseconds since 1970 UTC), local time by one offset
// measured when the engine registers the class.
#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "port/time_zone.h"
#include "runtime/classes/class_util.h"
#include "runtime/classes/date_math.h"

namespace nerva {

namespace {

enum DateMember {
    kParse, kGetDate, kGetDay, kGetFullYear, kGetHours, kGetMilliseconds, kGetMinutes, kGetMonth, kGetSeconds,
    kGetTime, kGetTimezoneOffset, kGetUTCDate, kGetUTCDay, kGetUTCFullYear, kGetUTCHours, kGetUTCMilliseconds,
    kGetUTCMinutes, kGetUTCMonth, kGetUTCSeconds, kGetYear, kSetDate, kSetFullYear, kSetHours, kSetMinutes,
    kSetMilliseconds, kSetMonth, kSetSeconds, kSetTime, kSetUTCDate, kSetUTCFullYear, kSetUTCHours,
    kSetUTCMilliseconds, kSetUTCMinutes, kSetUTCMonth, kSetUTCSeconds, kSetYear, kToGMTString, kToLocaleString,
    kUTC,
};

struct DateClassData {
    std::vector<uint32_t> atoms;
    int64_t offsetMs = 0;  // UTC minus local time
};

void FreeClassData(void* data) { delete static_cast<DateClassData*>(data); }
void Release(CScriptClass*, void* data) { delete static_cast<double*>(data); }

DateClassData& ClassData(CScriptClass* cls) { return *static_cast<DateClassData*>(cls->classData); }

int MemberOf(CScriptClass* cls, uint32_t atom) {
    const auto& atoms = ClassData(cls).atoms;
    for (size_t i = 0; i < atoms.size(); ++i)
        if (atoms[i] == atom) return int(i);
    return -1;
}

double Now() {
    using namespace std::chrono;
    return double(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// An integer or float argument (floats floored); nothing for any other value.
bool NumberArg(const CArgBlock& args, int i, double& out) {
    if (i >= args.Count()) return false;
    const CScriptValue& v = args[i];
    if (v.tag == TagInteger) {
        out = double(v.i);
        return true;
    }
    if (v.tag == TagFloat) {
        out = std::floor(v.f);
        return true;
    }
    return false;
}

// Year, month, date, hours, minutes, seconds, ms from the arguments over their defaults; NaN
// when the result is beyond the time range.
double FromComponents(const CArgBlock& args) {
    double c[7] = {1970, 0, 1, 0, 0, 0, 0};
    for (int i = 0; i < 7; ++i) NumberArg(args, i, c[i]);
    return date::MakeDate(date::MakeDay(c[0], c[1], c[2]), date::MakeTime(c[3], c[4], c[5], c[6]));
}

double Clipped(double t) {
    double clipped = date::TimeClip(t);
    return std::isnan(clipped) ? 0 : clipped;
}

double ParseOr(CScriptEngine& e, const CScriptValue& text, int64_t offset) {
    std::string narrow = ToNarrow(text.s);
    std::optional<double> t = date::Parse(narrow, offset);
    return t ? *t : Now();
}

// The time value of `new Date(args)`.
double ConstructedTime(CScriptEngine& e, CScriptClass* cls, const CArgBlock& args) {
    int64_t offset = ClassData(cls).offsetMs;
    if (args.Count() == 0) return Now();
    if (args.Count() == 1) {
        const CScriptValue& v = args[0];
        double t;
        if (v.tag == TagInteger)
            t = double(v.i);
        else if (v.tag == TagFloat)
            t = v.f;
        else if (v.tag == TagString)
            t = ParseOr(e, v, offset);
        else
            t = Now();
        return Clipped(t);
    }
    return Clipped(FromComponents(args) + double(offset));
}

CScriptValue TimeInteger(double t) { return MakeInt(int64_t(t)); }

CScriptValue LocalText(CScriptEngine& e, CScriptClass* cls, double t) {
    return FromNarrow(e, date::ToLocalText(t, ClassData(cls).offsetMs));
}

// The setters: replace the given parts of the (local or UTC) time, keep the rest; a result
// beyond the time range leaves the value as it was.
void Set(double& value, int member, const CArgBlock& args, int64_t offsetMs) {
    bool utc = member >= kSetUTCDate && member <= kSetUTCSeconds;
    double first;
    if (!NumberArg(args, 0, first)) return;
    if (member == kSetTime) {
        double clipped = date::TimeClip(args[0].tag == TagInteger ? double(args[0].i) : args[0].f);
        if (!std::isnan(clipped)) value = clipped;
        return;
    }
    double offset = utc ? 0 : double(offsetMs);
    double t = value - offset;
    date::Fields f = date::Split(t);
    double year = f.year, month = f.month, day = f.date;
    double h = f.hours, m = f.minutes, s = f.seconds, ms = f.ms;
    auto arg = [&](int i, double& field) { NumberArg(args, i, field); };
    switch (member) {
        case kSetMilliseconds: case kSetUTCMilliseconds: ms = first; break;
        case kSetSeconds: case kSetUTCSeconds: s = first; arg(1, ms); break;
        case kSetMinutes: case kSetUTCMinutes: m = first; arg(1, s); arg(2, ms); break;
        case kSetHours: case kSetUTCHours: h = first; arg(1, m); arg(2, s); arg(3, ms); break;
        case kSetDate: case kSetUTCDate: day = first; break;
        case kSetMonth: case kSetUTCMonth: month = first; arg(1, day); break;
        case kSetFullYear: case kSetUTCFullYear: year = first; arg(1, month); arg(2, day); break;
        case kSetYear: year = first >= 0 && first <= 99 ? 1900 + first : first; break;
        default: return;
    }
    double result = date::TimeClip(date::MakeDate(date::MakeDay(year, month, day), date::MakeTime(h, m, s, ms)) + offset);
    if (!std::isnan(result)) value = result;
}

int DateMethod(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, CScriptValue* result,
               const CArgBlock& args) {
    *result = MakeUndefined();
    int member = MemberOf(cls, atom);
    if (member == kUTC) {
        *result = TimeInteger(Clipped(FromComponents(args)));
        return 1;
    }
    if (member == kParse) {
        if (args.Count() < 1) {
            *result = MakeInt(0);
        } else {
            CScriptValue one[2] = {MakeInt(1), args[0]};
            *result = TimeInteger(ConstructedTime(e, cls, CArgBlock(one)));
        }
        return 1;
    }
    if (!self) {
        if (atom != AtomToString) return 0;
        *result = StaticText(e, "[object Date]");
        return 1;
    }
    double& value = *static_cast<double*>(self);
    int64_t offset = ClassData(cls).offsetMs;
    if (atom == AtomToString) {
        *result = LocalText(e, cls, value);
        return 1;
    }
    if (atom == AtomValueOf) {
        *result = TimeInteger(value);
        return 1;
    }
    double local = value - double(offset);
    switch (member) {
        case kGetTime: *result = TimeInteger(value); return 1;
        case kGetFullYear: *result = MakeInt(int64_t(date::YearFromTime(local))); return 1;
        case kGetMonth: *result = MakeInt(date::MonthFromTime(local)); return 1;
        case kGetDate: *result = MakeInt(date::DateFromTime(local)); return 1;
        case kGetDay: *result = MakeInt(date::WeekDay(local)); return 1;
        case kGetHours: *result = MakeInt(date::HourFromTime(local)); return 1;
        case kGetMinutes: *result = MakeInt(date::MinFromTime(local)); return 1;
        case kGetSeconds: *result = MakeInt(date::SecFromTime(local)); return 1;
        case kGetMilliseconds: *result = MakeInt(date::MsFromTime(local)); return 1;
        case kGetUTCFullYear: *result = MakeInt(int64_t(date::YearFromTime(value))); return 1;
        case kGetUTCMonth: *result = MakeInt(date::MonthFromTime(value)); return 1;
        case kGetUTCDate: *result = MakeInt(date::DateFromTime(value)); return 1;
        case kGetUTCDay: *result = MakeInt(date::WeekDay(value)); return 1;
        case kGetUTCHours: *result = MakeInt(date::HourFromTime(value)); return 1;
        case kGetUTCMinutes: *result = MakeInt(date::MinFromTime(value)); return 1;
        case kGetUTCSeconds: *result = MakeInt(date::SecFromTime(value)); return 1;
        case kGetUTCMilliseconds: *result = MakeInt(date::MsFromTime(value)); return 1;
        case kGetYear: {
            int64_t year = int64_t(date::YearFromTime(local));
            *result = MakeInt(year >= 1900 && year <= 1999 ? year - 1900 : year);
            return 1;
        }
        case kGetTimezoneOffset: *result = MakeInt(offset / 60000); return 1;
        case kToLocaleString: *result = LocalText(e, cls, value); return 1;
        case kToGMTString: *result = FromNarrow(e, date::ToGmtText(value)); return 1;
        case kSetDate: case kSetFullYear: case kSetHours: case kSetMinutes: case kSetMilliseconds: case kSetMonth:
        case kSetSeconds: case kSetTime: case kSetUTCDate: case kSetUTCFullYear: case kSetUTCHours:
        case kSetUTCMilliseconds: case kSetUTCMinutes: case kSetUTCMonth: case kSetUTCSeconds: case kSetYear:
            Set(value, member, args, offset);
            *result = TimeInteger(value);
            return 1;
        default:
            return 0;
    }
}

void DateConstruct(CScriptEngine& e, CScriptClass* cls, const CArgBlock& args, CScriptValue* result) {
    double t = ConstructedTime(e, cls, args);
    DefineHostValue(e, result, cls, new double(t));
}

void DateCall(CScriptEngine& e, CScriptClass* cls, void* data, CScriptValue* result, const CArgBlock&) {
    double t = data ? *static_cast<double*>(data) : Now();
    if (data) {
        // Calling an instance is not a Date operation.
        *result = MakeUndefined();
        Warn(e, "Warning: call a undefined function");
        return;
    }
    *result = LocalText(e, cls, t);
}

}  // namespace

void RegisterDate(CScriptEngine& e) {
    CScriptClass* cls = NewClass(e);
    auto* data = new DateClassData;
    cls->classData = data;
    cls->freeClassData = &FreeClassData;
    std::unique_ptr<std::vector<uint32_t>> atoms(InternMembers(
        e, {"parse", "getDate", "getDay", "getFullYear", "getHours", "getMilliseconds", "getMinutes", "getMonth",
            "getSeconds", "getTime", "getTimezoneOffset", "getUTCDate", "getUTCDay", "getUTCFullYear", "getUTCHours",
            "getUTCMilliseconds", "getUTCMinutes", "getUTCMonth", "getUTCSeconds", "getYear", "setDate",
            "setFullYear", "setHours", "setMinutes", "setMilliseconds", "setMonth", "setSeconds", "setTime",
            "setUTCDate", "setUTCFullYear", "setUTCHours", "setUTCMilliseconds", "setUTCMinutes", "setUTCMonth",
            "setUTCSeconds", "setYear", "toGMTString", "toLocaleString", "UTC"}));
    data->atoms = *atoms;
    data->offsetMs = vantor::LocalTimeZoneOffsetMs();
    cls->onMethod = &DateMethod;
    cls->onConstruct = &DateConstruct;
    cls->onCall = &DateCall;
    cls->onRelease = &Release;
    DefineGlobalClass(e, "Date", cls);
}

}  // namespace nerva
