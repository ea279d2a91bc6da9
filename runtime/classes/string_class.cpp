// String: the type class of string values, with the pattern-taking methods handed to RegExp.
#include <algorithm>
#include <cmath>
#include <cwctype>
#include <limits>

#include "runtime/classes/class_util.h"
#include "runtime/heap.h"

namespace nerva {

namespace {

enum StringMember {
    kLength, kCharAt, kCharCodeAt, kConcat, kFromCharCode, kIndexOf, kLastIndexOf, kMatch, kReplace, kSearch,
    kSlice, kSplit, kSubstr, kSubstring, kToLowerCase, kToUpperCase, kAnchor, kBig, kBlink, kBold, kFixed,
    kFontColor, kFontSize, kItalics, kLink, kSmall, kStrike, kSub, kSup,
};

constexpr size_t kMaxText = 0x3FFFFFFF;

CScriptValue Empty(CScriptEngine& e) { return MakeString(e, u"", 0); }

// The text up to its first NUL, as the runtime library's string functions see it.
std::u16string_view UpToNul(std::u16string_view s) {
    size_t n = s.find(u'\0');
    return n == std::u16string_view::npos ? s : s.substr(0, n);
}

// _wtoi: blanks, a sign, decimal digits; wraps like the C library's int conversion.
int32_t WideToInt(std::u16string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || (s[i] >= 9 && s[i] <= 13))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    uint32_t v = 0;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') v = v * 10 + uint32_t(s[i++] - u'0');
    return int32_t(negative ? 0u - v : v);
}

char16_t CodeUnitOf(const CScriptValue& v) {
    switch (v.tag) {
        case TagInteger: return char16_t(uint64_t(v.i) & 0xFFFF);
        case TagFloat:
            if (!std::isfinite(v.f) || std::fabs(v.f) >= 9.2e18) return 0;
            return char16_t(uint64_t(int64_t(v.f)) & 0xFFFF);
        case TagString: return char16_t(uint32_t(WideToInt(View(v))) & 0xFFFF);
        default: return 0;
    }
}

CScriptValue FromCharCode(CScriptEngine& e, const CArgBlock& args) {
    char16_t* chars = nullptr;
    CScriptValue s = MakeStringBuffer(e, uint32_t(args.Count()), &chars);
    for (int k = 0; k < args.Count(); ++k) chars[k] = CodeUnitOf(args[k]);
    return s;
}

// An HTML wrapper: open, [attribute "">"], the string, close; produced whole at any length.
CScriptValue Html(CScriptEngine& e, const CScriptValue& self, std::u16string_view open, const CArgBlock* attribute,
                  std::u16string_view close) {
    std::u16string out(open);
    if (attribute) {
        if (attribute->Count() >= 1) out += TextOf(e, (*attribute)[0]);
        out += u"\">";
    }
    std::u16string_view text = View(self);
    if (out.size() + text.size() + close.size() > kMaxText) RaiseRuntimeError(e, "Out of memory");
    out += text;
    out += close;
    return NewString(e, out);
}

CScriptValue Split(CScriptEngine& e, const CScriptValue& self, const CArgBlock& args) {
    std::u16string_view s = View(self);
    int64_t limit = args.Count() >= 2 && args[1].tag == TagInteger ? args[1].i : 2147483647;
    const CScriptValue& sep = args[0];
    if (args.Count() < 1 || (sep.tag != TagString && !IsRegExpValue(e, sep))) {
        CScriptValue out = NewArrayValue(e, 1);
        PutElement(e, out.a, 0, self);
        return out;
    }
    if (sep.tag != TagString) return RegExpSplit(e, sep, self, limit);
    CScriptValue out = NewArrayValue(e, 0);
    CScriptValue rooted = out;
    CValueRoot root(e, &rooted);
    uint64_t pieces = 0;
    auto add = [&](std::u16string_view piece) {
        PutElement(e, out.a, pieces, NewString(e, piece));
        out.a->length = ++pieces;
    };
    std::u16string_view separator = View(sep);
    if (separator.empty()) {
        for (size_t i = 0; i < s.size() && int64_t(pieces) < limit; ++i) add(s.substr(i, 1));
        return out;
    }
    size_t from = 0;
    while (int64_t(pieces) < limit) {
        size_t at = s.find(separator, from);
        if (at == std::u16string_view::npos) {
            add(s.substr(from));
            break;
        }
        add(s.substr(from, at - from));
        from = at + separator.size();
    }
    return out;
}

CScriptValue Replace(CScriptEngine& e, const CScriptValue& self, const CArgBlock& args) {
    if (args.Count() < 2 || args[1].tag != TagString) return Empty(e);
    const CScriptValue& pattern = args[0];
    if (pattern.tag != TagString) {
        if (IsRegExpValue(e, pattern)) return RegExpReplace(e, pattern, self, View(args[1]));
        return Empty(e);
    }
    std::u16string_view s = View(self);
    std::u16string_view needle = UpToNul(View(pattern));
    size_t at = UpToNul(s).find(needle);
    if (at == std::u16string_view::npos) return self;
    std::u16string out(s.substr(0, at));
    out += View(args[1]);
    out += s.substr(at + needle.size());
    return NewString(e, out);
}

int StringMethod(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, CScriptValue* result,
                 const CArgBlock& args) {
    *result = MakeUndefined();
    int member = MemberIndex(cls->classData, atom);
    if (!self) {
        if (atom == AtomToString) {
            *result = StaticText(e, "[Object String]");
            return 1;
        }
        if (atom == AtomValueOf) {
            *result = GlobalSlot(e, Intern(e, "String"));
            return 1;
        }
        if (member == kFromCharCode) {
            *result = FromCharCode(e, args);
            return 1;
        }
        return 0;
    }
    CScriptValue value = *static_cast<CScriptValue*>(self);
    if (value.tag != TagString) return 0;
    if (atom == AtomToString || atom == AtomValueOf) {
        *result = value;
        return 1;
    }
    std::u16string_view s = View(value);
    int64_t length = int64_t(s.size());
    const CScriptValue& a0 = args[0];
    const CScriptValue& a1 = args[1];
    switch (member) {
        case kFromCharCode:
            *result = FromCharCode(e, args);
            return 1;
        case kCharAt:
            if (a0.tag == TagInteger && a0.i >= 0 && a0.i < length)
                *result = NewString(e, s.substr(size_t(a0.i), 1));
            else
                *result = Empty(e);
            return 1;
        case kCharCodeAt: {
            int64_t i = args.Count() < 1 ? 0 : a0.tag == TagInteger ? a0.i : -1;
            *result = i >= 0 && i < length ? MakeInt(s[size_t(i)]) : MakeNaN();
            return 1;
        }
        case kConcat: {
            std::u16string out(s);
            for (int k = 0; k < args.Count(); ++k) {
                CScriptValue piece = ToString(e, args[k]);
                if (out.size() + piece.s->length > kMaxText) RaiseRuntimeError(e, "Out of memory");
                out += View(piece);
            }
            *result = NewString(e, out);
            return 1;
        }
        case kIndexOf: {
            *result = MakeInt(-1);
            if (args.Count() < 1) return 1;
            CScriptValue search = ToString(e, a0);
            s = View(value);  // the conversion may have run a script that changed the string
            length = int64_t(s.size());
            int64_t from = a1.tag == TagInteger ? a1.i : 0;
            if (from < 0 || from > length) return 1;
            size_t at = s.find(View(search), size_t(from));
            if (at != std::u16string_view::npos) *result = MakeInt(int64_t(at));
            return 1;
        }
        case kLastIndexOf: {
            *result = MakeInt(-1);
            if (args.Count() < 1) return 1;
            CScriptValue search = ToString(e, a0);
            std::u16string_view needle = View(search);
            s = View(value);
            length = int64_t(s.size());
            int64_t most = length - int64_t(needle.size());
            int64_t from = a1.tag == TagInteger ? std::min(a1.i, most) : most;
            if (from < 0) return 1;
            size_t at = s.rfind(needle, size_t(from));
            if (at != std::u16string_view::npos) *result = MakeInt(int64_t(at));
            return 1;
        }
        case kMatch:
            if (IsRegExpValue(e, a0))
                *result = RegExpMatch(e, a0, value);
            else
                *result = NewArrayValue(e, 0);
            return 1;
        case kReplace:
            *result = Replace(e, value, args);
            return 1;
        case kSearch:
            if (a0.tag == TagString) {
                size_t at = s.find(View(a0));
                *result = MakeInt(at == std::u16string_view::npos ? -1 : int64_t(at));
            } else if (IsRegExpValue(e, a0)) {
                *result = RegExpSearch(e, a0, value);
            } else {
                *result = MakeInt(-1);
            }
            return 1;
        case kSlice: {
            if (a0.tag != TagInteger || (args.Count() >= 2 && a1.tag != TagInteger)) {
                *result = Empty(e);
                return 1;
            }
            int64_t start = a0.i, end = args.Count() >= 2 ? a1.i : length;
            if (start < 0) start = std::max<int64_t>(start + length, 0);
            if (end < 0) end = std::max<int64_t>(end + length, 0);
            start = std::min(start, length);
            end = std::min(end, length);
            *result = start > end ? Empty(e) : NewString(e, s.substr(size_t(start), size_t(end - start)));
            return 1;
        }
        case kSplit:
            *result = Split(e, value, args);
            return 1;
        case kSubstr: {
            if (a0.tag != TagInteger) {
                *result = Empty(e);
                return 1;
            }
            int64_t start = a0.i;
            if (start < 0) start = std::max<int64_t>(start + length, 0);
            start = std::min(start, length);
            int64_t count = a1.tag == TagInteger ? std::max<int64_t>(a1.i, 0) : length - start;
            count = std::min(count, length - start);
            *result = NewString(e, s.substr(size_t(start), size_t(count)));
            return 1;
        }
        case kSubstring: {
            if (a0.tag != TagInteger) {
                *result = Empty(e);
                return 1;
            }
            int64_t start = std::max<int64_t>(a0.i, 0);
            int64_t end = a1.tag == TagInteger ? a1.i : length;
            end = std::min(end, length);
            if (end < 0 || start > end)
                *result = Empty(e);
            else
                *result = NewString(e, s.substr(size_t(start), size_t(end - start)));
            return 1;
        }
        case kToLowerCase:
        case kToUpperCase: {
            char16_t* chars = nullptr;
            CScriptValue out = MakeStringBuffer(e, uint32_t(length), &chars);
            for (int64_t i = 0; i < length; ++i) {
                wint_t c = s[size_t(i)];
                c = member == kToLowerCase ? std::towlower(c) : std::towupper(c);
                chars[i] = char16_t(c);
            }
            *result = out;
            return 1;
        }
        case kAnchor: *result = Html(e, value, u"<A NAME=\"", &args, u"</A>"); return 1;
        case kBig: *result = Html(e, value, u"<BIG>", nullptr, u"</BIG>"); return 1;
        case kBlink: *result = Html(e, value, u"<BLINK>", nullptr, u"</BLINK>"); return 1;
        case kBold: *result = Html(e, value, u"<B>", nullptr, u"</B>"); return 1;
        case kFixed: *result = Html(e, value, u"<TT>", nullptr, u"</TT>"); return 1;
        case kFontColor: *result = Html(e, value, u"<FONT COLOR=\"", &args, u"</FONT>"); return 1;
        case kFontSize: *result = Html(e, value, u"<FONT SIZE=\"", &args, u"</FONT>"); return 1;
        case kItalics: *result = Html(e, value, u"<I>", nullptr, u"</I>"); return 1;
        case kLink: *result = Html(e, value, u"<A HREF=\"", &args, u"</A>"); return 1;
        case kSmall: *result = Html(e, value, u"<SMALL>", nullptr, u"</SMALL>"); return 1;
        case kStrike: *result = Html(e, value, u"<STRIKE>", nullptr, u"</STRIKE>"); return 1;
        case kSub: *result = Html(e, value, u"<SUB>", nullptr, u"</SUB>"); return 1;
        case kSup: *result = Html(e, value, u"<SUP>", nullptr, u"</SUP>"); return 1;
        default:
            return 0;
    }
}

int StringProperty(CScriptEngine&, CScriptClass* cls, void* self, uint32_t atom, int set, CScriptValue* value) {
    if (!self || MemberIndex(cls->classData, atom) != kLength) return 0;
    const CScriptValue* v = static_cast<CScriptValue*>(self);
    if (v->tag != TagString) return 0;
    if (!set) *value = MakeInt(v->s->length);
    return 1;
}

void StringCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = args.Count() < 1 ? StaticText(e, "") : ToString(e, args[0]);
}

void StringConstruct(CScriptEngine& e, CScriptClass*, const CArgBlock& args, CScriptValue* result) {
    if (args.Count() < 1) {
        *result = Empty(e);
    } else {
        CScriptValue text = ToString(e, args[0]);
        *result = NewString(e, View(text));
    }
    OwnTable(e, *result, true);
}

}  // namespace

void RegisterString(CScriptEngine& e) {
    CScriptClass* cls = NewClass(e);
    cls->classData = InternMembers(
        e, {"length", "charAt", "charCodeAt", "concat", "fromCharCode", "indexOf", "lastIndexOf", "match", "replace",
            "search", "slice", "split", "substr", "substring", "toLowerCase", "toUpperCase", "anchor", "big", "blink",
            "bold", "fixed", "fontColor", "fontSize", "italics", "link", "small", "strike", "sub", "sup"});
    cls->freeClassData = &FreeMemberList;
    cls->onMethod = &StringMethod;
    cls->onProperty = &StringProperty;
    cls->onCall = &StringCall;
    cls->onConstruct = &StringConstruct;
    SetTypeClass(e, TagString, cls);
    DefineGlobalClass(e, "String", cls);
}

}  // namespace nerva
