// RegExp: POSIX extended expressions over the adapter in posix_regex.h, with the state of the
// last match kept per engine at class level, and the pattern operations String hands over.
#include <algorithm>
#include <memory>
#include <string>

#include "runtime/classes/class_util.h"
#include "runtime/classes/posix_regex.h"
#include "runtime/heap.h"

namespace nerva {

namespace {

enum RegExpMember {
    kD1, kD2, kD3, kD4, kD5, kD6, kD7, kD8, kD9, kDUnderscore, kInput, kLastMatch, kLastParen, kLeftContext,
    kMultiline, kRightContext, kGlobal, kIgnoreCase, kLastIndex, kSource, kCompile, kExec, kTest,
};

constexpr bool kLinkerKeepsLiterals = true;

enum RegExpFlags : uint32_t { kFlagGlobal = 1, kFlagIgnoreCase = 2, kFlagMultiline = 4, kFlagLiteral = 8 };

struct RegExpData {
    std::u16string pattern;
    uint32_t flags = 0;
    PosixRegex re;
    bool compiled = false;
    uint32_t lastIndex = 0;
};

// Shared by every instance of one engine. The last input lives in a slot of the class
// prototype under a name scripts cannot write, so the collector sees it.
struct RegExpClassData {
    std::vector<uint32_t> atoms;
    uint32_t inputAtom = 0;
    PosixRegex::Slots last;
};

void FreeClassData(void* data) { delete static_cast<RegExpClassData*>(data); }
void Release(CScriptClass*, void* data) { delete static_cast<RegExpData*>(data); }

RegExpClassData& ClassData(CScriptClass* cls) { return *static_cast<RegExpClassData*>(cls->classData); }

CScriptClass* RegExpClass(CScriptEngine& e) { return ClassByGlobalName(e, "RegExp"); }

int MemberOf(CScriptClass* cls, uint32_t atom) {
    const auto& atoms = ClassData(cls).atoms;
    for (size_t i = 0; i < atoms.size(); ++i)
        if (atoms[i] == atom) return int(i);
    return -1;
}

CScriptValue LastInput(CScriptEngine& e, CScriptClass* cls) {
    CScriptValue v = MakeUndefined();
    if (PropSlot* slot = FindOwnSlot(cls->protoObject, ClassData(cls).inputAtom)) v = slot->value;
    return v;
}

void SetLastInput(CScriptEngine& e, CScriptClass* cls, const CScriptValue& v) {
    SetProperty(e, cls->protoObject, ClassData(cls).inputAtom, v);
}

void ClearLastMatch(CScriptClass* cls) { ClassData(cls).last.fill(PosixRegex::Slot{}); }

uint32_t FlagsFromText(std::u16string_view text) {
    uint32_t flags = 0;
    for (char16_t c : text) {
        if (c == u'g') flags |= kFlagGlobal;
        if (c == u'i') flags |= kFlagIgnoreCase;
        if (c == u'm') flags |= kFlagMultiline;
    }
    return flags;
}

// Compiles data->pattern; traces the library's message on failure.
bool CompilePattern(CScriptEngine& e, RegExpData& data, bool fromConstructor) {
    int options = PosixRegex::kExtended;
    if (fromConstructor) options |= PosixRegex::kNoCollate | PosixRegex::kEscapeInLists;
    if (data.flags & kFlagIgnoreCase) options |= PosixRegex::kIgnoreCase;
    if (data.flags & kFlagMultiline) options |= PosixRegex::kNewline;
    int code = data.re.Compile(data.pattern, options);
    data.compiled = code == 0;
    if (code != 0) Trace(e, "RegExp runtime error: " + PosixRegex::ErrorText(code));
    return data.compiled;
}

bool MakeRegExp(CScriptEngine& e, CScriptClass* cls, std::u16string_view source, uint32_t flags, CScriptValue* out) {
    auto data = std::make_unique<RegExpData>();
    data->pattern.assign(source.empty() ? std::u16string_view(u"^") : source);
    data->flags = flags;
    if (!CompilePattern(e, *data, true)) {
        *out = MakeNull();
        return false;
    }
    DefineHostValue(e, out, cls, data.release());
    return true;
}

RegExpData* DataOf(CScriptEngine& e, const CScriptValue& v) {
    if (v.tag != TagHost || !v.h->data || v.h->cls != RegExpClass(e)) return nullptr;
    return static_cast<RegExpData*>(v.h->data);
}

// One search from `start`; on a match the slots become the class's last match table.
bool Search(CScriptClass* cls, RegExpData& data, std::u16string_view subject, size_t start,
            PosixRegex::Slots& slots) {
    if (!data.compiled) return false;
    if (!data.re.Execute(subject, std::min(start, subject.size()), slots)) return false;
    ClassData(cls).last = slots;
    return true;
}

size_t GroupsTakingPart(const PosixRegex::Slots& slots) {
    size_t n = 0;
    while (n < slots.size() && slots[n].start >= 0) ++n;
    return n;
}

std::u16string_view GroupText(std::u16string_view subject, const PosixRegex::Slot& slot) {
    if (slot.start < 0 || slot.end < slot.start) return {};
    size_t start = std::min(size_t(slot.start), subject.size());
    size_t end = std::min(size_t(slot.end), subject.size());
    return subject.substr(start, end - start);
}

// exec and test: `make` selects the array result.
CScriptValue Exec(CScriptEngine& e, CScriptClass* cls, RegExpData& data, const CArgBlock& args, bool make) {
    CScriptValue subject;
    if (args.Count() >= 1) {
        subject = ToString(e, args[0]);
        SetLastInput(e, cls, subject);
    } else {
        subject = ToString(e, LastInput(e, cls));
    }
    CScriptValue rooted = subject;
    CValueRoot root(e, &rooted);
    std::u16string_view text = View(subject);
    PosixRegex::Slots slots;
    if (!Search(cls, data, text, data.lastIndex, slots)) {
        if (data.flags & kFlagGlobal) data.lastIndex = 0;
        return make ? MakeNull() : MakeBool(false);
    }
    if (data.flags & kFlagGlobal) data.lastIndex = uint32_t(slots[0].end);
    if (!make) return MakeBool(true);
    size_t groups = GroupsTakingPart(slots);
    CScriptValue array = NewArrayValue(e, groups);
    CScriptValue heldArray = array;
    CValueRoot rootArray(e, &heldArray);
    for (size_t g = 0; g < groups; ++g) PutElement(e, array.a, g, NewString(e, GroupText(text, slots[g])));
    CScriptObject* own = OwnTable(e, array, true);
    SetProperty(e, own, Intern(e, "index"), MakeInt(slots[0].start));
    SetProperty(e, own, Intern(e, "input"), LastInput(e, cls));
    return array;
}

CScriptValue ClassProperty(CScriptEngine& e, CScriptClass* cls, int member) {
    CScriptValue input = LastInput(e, cls);
    if (member == kInput || member == kDUnderscore) return input;
    if (input.tag != TagString) return MakeNull();
    const PosixRegex::Slots& last = ClassData(cls).last;
    std::u16string_view text = View(input);
    auto group = [&](size_t g) -> CScriptValue {
        if (last[g].start < 0) return MakeNull();
        return NewString(e, GroupText(text, last[g]));
    };
    switch (member) {
        case kLastMatch: return group(0);
        case kLastParen: {
            size_t n = GroupsTakingPart(last);
            return n >= 2 ? group(n - 1) : MakeNull();
        }
        case kLeftContext:
            if (last[0].start < 0) return MakeNull();
            return NewString(e, text.substr(0, std::min(size_t(last[0].start), text.size())));
        case kRightContext:
            if (last[0].start < 0) return MakeNull();
            return NewString(e, text.substr(std::min(size_t(last[0].end), text.size())));
        default:
            return group(size_t(member - kD1 + 1));
    }
}

int RegExpProperty(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, int set, CScriptValue* value) {
    int member = MemberOf(cls, atom);
    bool classProperty = member >= kD1 && member <= kRightContext && member != kMultiline;
    if (classProperty) {
        if (!set) *value = ClassProperty(e, cls, member);
        return 1;
    }
    if (!self) return 0;
    auto& data = *static_cast<RegExpData*>(self);
    if (set) {
        if (member == kLastIndex && value->tag == TagInteger) data.lastIndex = uint32_t(value->i);
        return 1;
    }
    switch (member) {
        case kGlobal: *value = MakeBool(data.flags & kFlagGlobal); return 1;
        case kIgnoreCase: *value = MakeBool(data.flags & kFlagIgnoreCase); return 1;
        case kMultiline: *value = MakeBool(data.flags & kFlagMultiline); return 1;
        case kSource: *value = NewString(e, data.pattern); return 1;
        case kLastIndex: *value = MakeInt(data.lastIndex); return 1;
        default: return 0;
    }
}

int RegExpMethod(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, CScriptValue* result,
                 const CArgBlock& args) {
    *result = MakeUndefined();
    if (!self) {
        if (atom != AtomToString) return 0;
        *result = StaticText(e, "[Object RegExp]");
        return 1;
    }
    auto& data = *static_cast<RegExpData*>(self);
    if (atom == AtomToString) {
        std::u16string text = u"/" + data.pattern + u"/";
        if (data.flags & kFlagGlobal) text += u'g';
        if (data.flags & kFlagIgnoreCase) text += u'i';
        if (data.flags & kFlagMultiline) text += u'm';
        *result = NewString(e, text);
        return 1;
    }
    switch (MemberOf(cls, atom)) {
        case kCompile: {
            if (args.Count() < 1) {
                *result = MakeBool(false);
                return 1;
            }
            std::u16string source = TextOf(e, args[0]);
            // A missing flags argument means no flags (its text "undefined" would read as "i").
            std::u16string flags = args.Count() >= 2 ? TextOf(e, args[1]) : std::u16string();
            data.pattern = source.empty() ? u"^" : source;
            data.flags = (data.flags & kFlagLiteral) | FlagsFromText(flags);
            *result = MakeBool(CompilePattern(e, data, false));
            return 1;
        }
        case kExec:
            *result = Exec(e, cls, data, args, true);
            return 1;
        case kTest:
            *result = Exec(e, cls, data, args, false);
            return 1;
        default:
            return 0;
    }
}

void RegExpConstruct(CScriptEngine& e, CScriptClass* cls, const CArgBlock& args, CScriptValue* result) {
    std::u16string_view source = args[0].tag == TagString ? View(args[0]) : std::u16string_view{};
    uint32_t flags = args[1].tag == TagString ? FlagsFromText(View(args[1])) : 0;
    MakeRegExp(e, cls, source, flags, result);
}

void RegExpCall(CScriptEngine& e, CScriptClass* cls, void* data, CScriptValue* result, const CArgBlock& args) {
    if (!data) {
        RegExpConstruct(e, cls, args, result);
        return;
    }
    *result = Exec(e, cls, *static_cast<RegExpData*>(data), args, true);
}

bool LiteralFactory(CScriptEngine& e, uint32_t flags, const char16_t* pattern, uint32_t length, CScriptValue& out) {
    CScriptClass* cls = RegExpClass(e);
    if (!cls) return false;
    MakeRegExp(e, cls, std::u16string_view(pattern, length), (flags & 7) | kFlagLiteral, &out);
    return true;
}

// The subject of a String operation becomes the last input; the match table starts empty.
CScriptClass* BeginStringOperation(CScriptEngine& e, const CScriptValue& subject) {
    CScriptClass* cls = RegExpClass(e);
    SetLastInput(e, cls, subject);
    ClearLastMatch(cls);
    return cls;
}

}  // namespace

bool IsRegExpValue(CScriptEngine& e, const CScriptValue& v) { return DataOf(e, v) != nullptr; }

CScriptValue RegExpMatch(CScriptEngine& e, const CScriptValue& re, const CScriptValue& subject) {
    RegExpData* data = DataOf(e, re);
    CScriptClass* cls = BeginStringOperation(e, subject);
    if (!data->compiled) return MakeNull();
    if (!(data->flags & kFlagGlobal)) {
        CScriptValue args[2] = {MakeInt(1), subject};
        return Exec(e, cls, *data, CArgBlock(args), true);
    }
    std::u16string_view text = View(subject);
    CScriptValue out = NewArrayValue(e, 0);
    CScriptValue rooted = out;
    CValueRoot root(e, &rooted);
    data->lastIndex = 0;
    PosixRegex::Slots slots;
    uint64_t count = 0;
    // A match that does not advance moves on by one; the scan ends past the end of the text.
    while (data->lastIndex <= text.size() && Search(cls, *data, text, data->lastIndex, slots)) {
        PutElement(e, out.a, count, NewString(e, GroupText(text, slots[0])));
        out.a->length = ++count;
        uint32_t end = uint32_t(slots[0].end);
        data->lastIndex = end > data->lastIndex ? end : data->lastIndex + 1;
    }
    data->lastIndex = 0;
    return out;
}

CScriptValue RegExpReplace(CScriptEngine& e, const CScriptValue& re, const CScriptValue& subject,
                           std::u16string_view replacement) {
    RegExpData* data = DataOf(e, re);
    CScriptClass* cls = BeginStringOperation(e, subject);
    std::u16string_view text = View(subject);
    bool global = data->flags & kFlagGlobal;
    size_t pos = global ? 0 : std::min<size_t>(data->lastIndex, text.size());
    std::u16string out(text.substr(0, pos));
    size_t scanStart = pos;
    PosixRegex::Slots slots;
    while (pos <= text.size() && Search(cls, *data, text, pos, slots)) {
        size_t start = size_t(slots[0].start), end = size_t(slots[0].end);
        out.append(text.substr(pos, start - pos));
        for (size_t i = 0; i < replacement.size(); ++i) {
            char16_t c = replacement[i];
            if (c != u'$' || i + 1 >= replacement.size()) {
                out += c;
                continue;
            }
            char16_t n = replacement[i + 1];
            if (n == u'$') {
                out += u'$';
            } else if (n == u'&') {
                out.append(text.substr(start, end - start));
            } else if (n == u'`') {
                out.append(text.substr(scanStart, start - scanStart));
            } else if (n == u'\'') {
                out.append(text.substr(end));
            } else if (n == u'+') {
                size_t g = data->re.GroupCount();
                while (g > 0 && slots[g].start < 0) --g;
                if (g > 0) out.append(GroupText(text, slots[g]));
            } else if (n >= u'1' && n <= u'9') {
                out.append(GroupText(text, slots[size_t(n - u'0')]));
            } else {
                out += c;
                continue;
            }
            ++i;
        }
        if (out.size() > 0x3FFFFFFF) RaiseRuntimeError(e, "Out of memory");
        if (end == start) {
            // An empty match copies one character and moves on.
            if (end < text.size()) out += text[end];
            pos = end + 1;
        } else {
            pos = end;
        }
        scanStart = pos;
        if (!global) break;
    }
    if (pos < text.size()) out.append(text.substr(pos));
    if (global) data->lastIndex = 0;
    return NewString(e, out);
}

CScriptValue RegExpSearch(CScriptEngine& e, const CScriptValue& re, const CScriptValue& subject) {
    RegExpData* data = DataOf(e, re);
    CScriptClass* cls = BeginStringOperation(e, subject);
    PosixRegex::Slots slots;
    bool found = Search(cls, *data, View(subject), data->lastIndex, slots);
    if (data->flags & kFlagGlobal) data->lastIndex = found ? uint32_t(slots[0].end) : 0;
    return MakeInt(found ? slots[0].start : -1);
}

CScriptValue RegExpSplit(CScriptEngine& e, const CScriptValue& re, const CScriptValue& subject, int64_t limit) {
    RegExpData* data = DataOf(e, re);
    CScriptClass* cls = BeginStringOperation(e, subject);
    CScriptValue out = NewArrayValue(e, 0);
    if (limit <= 0) return out;
    CScriptValue rooted = out;
    CValueRoot root(e, &rooted);
    std::u16string_view text = View(subject);
    uint64_t pieces = 0;
    auto add = [&](std::u16string_view piece) {
        PutElement(e, out.a, pieces, NewString(e, piece));
        out.a->length = ++pieces;
    };
    size_t scan = 0, pieceStart = 0;
    PosixRegex::Slots slots;
    while (int64_t(pieces) < limit && scan <= text.size() && Search(cls, *data, text, scan, slots)) {
        size_t start = size_t(slots[0].start), end = size_t(slots[0].end);
        if (start == end && start == scan) {
            ++scan;
            continue;
        }
        add(text.substr(pieceStart, start - pieceStart));
        pieceStart = scan = end;
    }
    if (int64_t(pieces) < limit) add(text.substr(std::min(pieceStart, text.size())));
    return out;
}

void RegisterRegExp(CScriptEngine& e) {
    CScriptClass* cls = NewClass(e);
    auto* data = new RegExpClassData;
    cls->classData = data;
    cls->freeClassData = &FreeClassData;
    std::unique_ptr<std::vector<uint32_t>> atoms(
        InternMembers(e, {"$1", "$2", "$3", "$4", "$5", "$6", "$7", "$8", "$9", "$_", "input", "lastMatch",
                          "lastParen", "leftContext", "multiline", "rightContext", "global", "ignoreCase", "lastIndex",
                          "source", "compile", "exec", "test"}));
    data->atoms = *atoms;
    data->inputAtom = Intern(e, " last input");
    data->last.fill(PosixRegex::Slot{});
    cls->onMethod = &RegExpMethod;
    cls->onProperty = &RegExpProperty;
    cls->onConstruct = &RegExpConstruct;
    cls->onCall = &RegExpCall;
    cls->onRelease = &Release;
    DefineGlobalClass(e, "RegExp", cls);
    // Literals of compiled scripts become RegExp values only once the linker stores the made
    // value in the constant pool (it currently skips that slot, which shifts every later
    // constant); until then they stay strings.
    if (kLinkerKeepsLiterals) e.regexpFactory = &LiteralFactory;
}

}  // namespace nerva
