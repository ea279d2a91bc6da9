// Small helpers shared by the core classes: string views of script strings, new strings from
// UTF-16 text, argument tests and the registration of the individual classes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/engine.h"
#include "runtime/object.h"
#include "runtime/script_class.h"

namespace nerva {

inline std::u16string_view View(const CScriptString* s) { return {s->chars, s->length}; }
inline std::u16string_view View(const CScriptValue& v) {
    return v.tag == TagString ? View(v.s) : std::u16string_view{};
}
inline CScriptValue NewString(CScriptEngine& engine, std::u16string_view text) {
    if (text.size() > 0x7FFFFFFFu) RaiseRuntimeError(engine, "Out of memory");
    return MakeString(engine, text.data(), uint32_t(text.size()));
}
inline std::u16string Widen(std::string_view ascii) {
    std::u16string out;
    out.reserve(ascii.size());
    for (unsigned char c : ascii) out.push_back(char16_t(c));
    return out;
}
inline CScriptValue AsciiString(CScriptEngine& engine, std::string_view ascii) {
    return NewString(engine, Widen(ascii));
}
// ToString of a value as UTF-16 text.
inline std::u16string TextOf(CScriptEngine& engine, const CScriptValue& v) {
    CScriptValue s = ToString(engine, v);
    return std::u16string(View(s));
}

// A value is a number that setters and constructors take (integer or float).
inline bool IsIntOrFloat(const CScriptValue& v) { return v.tag == TagInteger || v.tag == TagFloat; }

// The RegExp pieces String needs (regexp_class.cpp).
bool IsRegExpValue(CScriptEngine& engine, const CScriptValue& v);
CScriptValue RegExpMatch(CScriptEngine& engine, const CScriptValue& re, const CScriptValue& subject);
CScriptValue RegExpReplace(CScriptEngine& engine, const CScriptValue& re, const CScriptValue& subject,
                           std::u16string_view replacement);
CScriptValue RegExpSearch(CScriptEngine& engine, const CScriptValue& re, const CScriptValue& subject);
CScriptValue RegExpSplit(CScriptEngine& engine, const CScriptValue& re, const CScriptValue& subject,
                         int64_t limit);

// An array of the given values (own table made, as constructed arrays have).
CScriptValue NewArrayValue(CScriptEngine& engine, uint64_t length);

void RegisterGlobals(CScriptEngine& engine);
void RegisterObjectAndFunction(CScriptEngine& engine);
void RegisterArray(CScriptEngine& engine);
void RegisterString(CScriptEngine& engine);
void RegisterDate(CScriptEngine& engine);
void RegisterRegExp(CScriptEngine& engine);
void RegisterNumberBooleanMath(CScriptEngine& engine);

}  // namespace nerva
