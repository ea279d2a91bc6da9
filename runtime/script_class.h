// The native class framework: the descriptor through which every native class (core type
// classes and host classes alike) attaches to the engine, the argument block native
// operations receive, and the helpers to register classes and make host values.
//
// Operations return 1 when they handled the name and 0 otherwise. They report misuse by
// leaving the result undefined, never by raising errors for bad arguments; a class may raise
// a runtime error (RaiseRuntimeError) for real failures such as exhausted memory.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/value.h"

namespace nerva {

// Element 0 is the argument count (TagInteger), elements 1..count the arguments in call
// order. It is the interpreter's own stack: read it during the operation, never keep it.
// An array literal calls the Array constructor with its element count negated: Count() is
// then -n and the n elements are Data()[1..n] (operator[] reads undefined for them).
class CArgBlock {
public:
    explicit CArgBlock(const CScriptValue* values) : values_(values) {}
    int Count() const { return int(values_[0].i); }
    // Argument i (0-based); undefined beyond the count.
    const CScriptValue& operator[](int i) const;
    const CScriptValue* Data() const { return values_; }

private:
    const CScriptValue* values_;
};

struct CScriptClass;

using OnCallFn = void (*)(CScriptEngine& engine, CScriptClass* cls, void* data, CScriptValue* result,
                          const CArgBlock& args);
using OnMethodFn = int (*)(CScriptEngine& engine, CScriptClass* cls, void* self, uint32_t atom,
                           CScriptValue* result, const CArgBlock& args);
using OnPropertyFn = int (*)(CScriptEngine& engine, CScriptClass* cls, void* self, uint32_t atom, int set,
                             CScriptValue* value);
using OnConstructFn = void (*)(CScriptEngine& engine, CScriptClass* cls, const CArgBlock& args,
                               CScriptValue* result);
using OnReleaseFn = void (*)(CScriptClass* cls, void* data);
using OnMarkFn = void (*)(CScriptEngine& engine, CScriptClass* cls, void* data);

struct CScriptClass {
    OnCallFn onCall;
    OnMethodFn onMethod;
    OnPropertyFn onProperty;
    OnConstructFn onConstruct;
    OnReleaseFn onRelease;
    OnMarkFn onMark;
    void* classData;
    void (*freeClassData)(void* classData);
    CScriptObject* protoObject;  // the class prototype; its __proto__ is null
};

// A zeroed descriptor with a fresh prototype; owned by the engine until it is destroyed.
CScriptClass* NewClass(CScriptEngine& engine);
// Makes dest a host value of the class: with null data the class value (no own table),
// otherwise an instance whose own table has __proto__ = the class prototype.
void DefineHostValue(CScriptEngine& engine, CScriptValue* dest, CScriptClass* cls, void* data);
// Binds the class value to a global name and returns the global's atom.
uint32_t DefineGlobalClass(CScriptEngine& engine, std::string_view name, CScriptClass* cls);
// Makes cls the type class of the tag (booleans, numbers, strings, arrays, objects, functions).
void SetTypeClass(CScriptEngine& engine, ValueTag tag, CScriptClass* cls);
// The class of the global constructor value of that name, or null.
CScriptClass* ClassByGlobalName(CScriptEngine& engine, std::string_view name);
// Atoms of member names in order, kept as class data (freed with the descriptor).
std::vector<uint32_t>* InternMembers(CScriptEngine& engine, std::initializer_list<const char*> names);
void FreeMemberList(void* classData);
// Index of atom in a member list, or -1.
int MemberIndex(const void* classData, uint32_t atom);
// Releases an instance's native data at once (delete of a variable that holds it).
void ReleaseHostData(CHostObject* host);

}  // namespace nerva
