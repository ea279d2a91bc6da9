// Member access, indexing and method resolution for every kind of value: what GETMEMBER,
// SETMEMBER, GETINDEX, SETINDEX, DELINDEX and CALLMETHOD do, shared with the host calls.
#pragma once

#include <cstdint>

#include "runtime/value.h"

namespace nerva {

// obj points at a rooted value (a stack slot or a rooted local).
void GetMember(CScriptEngine& engine, CScriptValue* obj, uint32_t atom, CScriptValue& out);
// Without the warning; false when nothing was found (LOADNAME through with-scopes).
bool TryGetMember(CScriptEngine& engine, CScriptValue* obj, uint32_t atom, CScriptValue& out);
void SetMember(CScriptEngine& engine, CScriptValue* obj, uint32_t atom, const CScriptValue& value);
// STORENAME through a with-scope: stores only where the name already exists; true if taken.
bool StoreIntoScope(CScriptEngine& engine, CScriptValue* obj, uint32_t atom, const CScriptValue& value);
void GetIndex(CScriptEngine& engine, CScriptValue* obj, const CScriptValue& key, CScriptValue& out);
void SetIndex(CScriptEngine& engine, CScriptValue* obj, const CScriptValue& key, const CScriptValue& value);
void DeleteIndex(CScriptEngine& engine, CScriptValue* obj, const CScriptValue& key);

enum class MethodResult { Native, Script, Unknown };
// Resolves recv.atom(...): Native when a class answered (result written), Script when a
// script function is to be called with this = recv (*function set), Unknown otherwise.
// args is the argument block (count first).
MethodResult ResolveMethod(CScriptEngine& engine, CScriptValue* recv, uint32_t atom, const CScriptValue* args,
                           CScriptValue* result, CScriptFunction** function);

// For conversions: an object's own or inherited script method, else the Object type
// class; runs script methods in a protected region. False when nothing answered or failed.
bool CallConversionMethod(CScriptEngine& engine, const CScriptValue& value, uint32_t atom, CScriptValue& out);
// The class's onMethod (type class or host class) with no arguments.
bool CallClassMethod(CScriptEngine& engine, const CScriptValue& value, uint32_t atom, CScriptValue& out);

// The type class of a value's tag, or the host value's class.
CScriptClass* ClassOf(CScriptEngine& engine, const CScriptValue& value);

}  // namespace nerva
