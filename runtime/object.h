// Strings, property tables, arrays and functions (the records of value.h), and the
// conversions and comparisons every operator and class uses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/value.h"

namespace nerva {

// Strings.
CScriptValue MakeStaticString(CScriptEngine& engine, const char16_t* chars, uint32_t length);
CScriptValue MakeString(CScriptEngine& engine, const char16_t* chars, uint32_t length);
CScriptValue MakeString(CScriptEngine& engine, std::u16string_view text);
// A non-static string of `length` code units left for the caller to fill.
CScriptValue MakeStringBuffer(CScriptEngine& engine, uint32_t length, char16_t** chars);
// From 8-bit text in the ANSI code page; ASCII literals of native code go through here too.
CScriptValue FromNarrow(CScriptEngine& engine, const char* text, size_t length);
CScriptValue FromNarrow(CScriptEngine& engine, std::string_view text);
std::string ToNarrow(const CScriptString* s);
std::string ToNarrow(const CScriptValue& v);  // the string's text; "" for other tags
// Grows a non-static string in place to `length` units, padding with fill.
void ExtendString(CScriptEngine& engine, CScriptString* s, uint32_t length, char16_t fill);

// Property tables (keys are atoms).
CScriptObject* NewObject(CScriptEngine& engine);
// Object with __proto__ set (when proto is not null).
CScriptObject* NewObjectWithProto(CScriptEngine& engine, CScriptObject* proto);
bool GetProperty(CScriptEngine& engine, CScriptObject* object, uint32_t atom, CScriptValue& out);
// The slot holding the atom on the object itself, or null.
PropSlot* FindOwnSlot(CScriptObject* object, uint32_t atom);
// Own slot, else along __proto__; null when absent.
PropSlot* FindSlot(CScriptObject* object, uint32_t atom);
void SetProperty(CScriptEngine& engine, CScriptObject* object, uint32_t atom, const CScriptValue& value);
void DeleteProperty(CScriptEngine& engine, CScriptObject* object, uint32_t atom);
bool GetByKey(CScriptEngine& engine, CScriptObject* object, const CScriptValue& key, CScriptValue& out);
void SetByKey(CScriptEngine& engine, CScriptObject* object, const CScriptValue& key, const CScriptValue& value);
void DeleteByKey(CScriptEngine& engine, CScriptObject* object, const CScriptValue& key);
bool NameAt(CScriptEngine& engine, CScriptObject* object, uint64_t n, CScriptValue& out);
// The object in __proto__, or null.
CScriptObject* ProtoOf(CScriptObject* object);

// Arrays.
CScriptArray* NewArray(CScriptEngine& engine, uint64_t length);
// The stored element cell, or null when the index was never stored.
CScriptValue* GetElement(CScriptArray* array, uint64_t index);
void PutElement(CScriptEngine& engine, CScriptArray* array, uint64_t index, const CScriptValue& value);
// Unlinks one element; the others keep their indexes, the length is unchanged.
void DeleteElement(CScriptArray* array, uint64_t index);
// Removes index i, moves every element above it down by one and shortens the length by one.
void RemoveElement(CScriptEngine& engine, CScriptArray* array, uint64_t index);
// Adds amount (may be negative) to the index of every element at or above `from`; the
// caller first removes elements that a negative amount would move onto others.
void ShiftElements(CScriptEngine& engine, CScriptArray* array, uint64_t from, int64_t amount);
// Calls fn(index, value&) for every stored element in ascending index order.
template <typename Fn>
void ForEachElement(CScriptArray* array, Fn fn) {
    for (uint32_t i = 0; i < array->denseCapacity; ++i)
        if (array->dense[i].tag != TagAbsent) fn(uint64_t(i), array->dense[i]);
    for (uint32_t i = 0; i < array->sparseCount; ++i) fn(array->sparse[i].index, array->sparse[i].value);
}
uint64_t StoredElementCount(const CScriptArray* array);

// Functions.
CScriptFunction* NewFunction(CScriptEngine& engine, CCompiledFunction* code);

// Own property table of a string, array, function or host value, made on first use with
// __proto__ = the prototype of the value's type class (create=false: null when absent).
CScriptObject* OwnTable(CScriptEngine& engine, const CScriptValue& value, bool create);

// Conversions.
bool ToBoolean(const CScriptValue& v);
CScriptValue ToNumber(CScriptEngine& engine, const CScriptValue& v);
CScriptValue StringToNumber(const char16_t* chars, uint32_t length);
CScriptValue ToString(CScriptEngine& engine, const CScriptValue& v);
enum class Hint { None, Number, String };
CScriptValue ToPrimitive(CScriptEngine& engine, const CScriptValue& v, Hint hint);
CScriptValue ToObject(CScriptEngine& engine, const CScriptValue& v);
int64_t ToInt64(CScriptEngine& engine, const CScriptValue& v);
int32_t ToInt32(CScriptEngine& engine, const CScriptValue& v);
double ToDouble(CScriptEngine& engine, const CScriptValue& v);  // NaN for TagNaN
// Texts of numbers as the runtime library writes them.
std::string IntegerText(int64_t i);
std::string FloatText(double d);

bool LooseEquals(CScriptEngine& engine, const CScriptValue& a, const CScriptValue& b);
bool StrictEquals(const CScriptValue& a, const CScriptValue& b);
// -1, 0, 1, or 2 when either side is NaN (the result is then undefined).
int Compare(CScriptEngine& engine, const CScriptValue& a, const CScriptValue& b);
int CompareStrings(const CScriptString* a, const CScriptString* b);
const char* TypeOfText(const CScriptValue& v);

// Static strings of the engine for fixed texts ("undefined", "true", typeof names...).
CScriptValue StaticText(CScriptEngine& engine, std::string_view ascii);

}  // namespace nerva
