// The tagged value cell of Nerva Script and the heap records that hang off it. A value is a
// 32-bit tag and a 64-bit payload; records live in the engine's collected heap (heap.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace nerva {

class CScriptEngine;
struct CScriptString;
struct CScriptObject;
struct CScriptArray;
struct CScriptFunction;
struct CHostObject;
struct CScriptClass;
struct CCompiledFunction;

enum ValueTag : uint32_t {
    TagUndefined = 0,
    TagNull = 1,
    TagBoolean = 2,
    TagInteger = 3,
    TagString = 4,
    TagFloat = 5,
    TagArray = 6,
    TagObject = 7,
    TagAbsent = 8,  // internal: an array cell that was never stored; never visible to scripts
    TagAtom = 10,
    TagHost = 11,
    TagFunction = 12,
    TagNaN = 13,
    TagFrame = 14,
    TagFrameInfo = 15,
};
constexpr uint32_t kTagCount = 16;

struct CScriptValue {
    uint32_t tag;
    uint32_t aux;  // unused by values; frame bookkeeping uses it
    union {
        int64_t i;
        uint64_t u;
        double f;
        void* p;
        CScriptString* s;
        CScriptObject* o;
        CScriptArray* a;
        CScriptFunction* fn;
        CHostObject* h;
    };
};
static_assert(sizeof(CScriptValue) == 16, "values are 16-byte cells");

inline CScriptValue MakeUndefined() { CScriptValue v; v.tag = TagUndefined; v.aux = 0; v.u = 0; return v; }
inline CScriptValue MakeNull() { CScriptValue v; v.tag = TagNull; v.aux = 0; v.u = 0; return v; }
inline CScriptValue MakeNaN() { CScriptValue v; v.tag = TagNaN; v.aux = 0; v.u = 0; return v; }
inline CScriptValue MakeBool(bool b) { CScriptValue v; v.tag = TagBoolean; v.aux = 0; v.u = b ? 1 : 0; return v; }
inline CScriptValue MakeInt(int64_t i) { CScriptValue v; v.tag = TagInteger; v.aux = 0; v.i = i; return v; }
inline CScriptValue MakeFloat(double d) { CScriptValue v; v.tag = TagFloat; v.aux = 0; v.f = d; return v; }
inline CScriptValue MakeAtomValue(uint32_t atom) { CScriptValue v; v.tag = TagAtom; v.aux = 0; v.u = atom; return v; }
inline CScriptValue MakeStringValue(CScriptString* s) { CScriptValue v; v.tag = TagString; v.aux = 0; v.s = s; return v; }
inline CScriptValue MakeObjectValue(CScriptObject* o) { CScriptValue v; v.tag = TagObject; v.aux = 0; v.o = o; return v; }
inline CScriptValue MakeArrayValue(CScriptArray* a) { CScriptValue v; v.tag = TagArray; v.aux = 0; v.a = a; return v; }
inline CScriptValue MakeFunctionValue(CScriptFunction* f) { CScriptValue v; v.tag = TagFunction; v.aux = 0; v.fn = f; return v; }
inline CScriptValue MakeHostValue(CHostObject* h) { CScriptValue v; v.tag = TagHost; v.aux = 0; v.h = h; return v; }

inline bool IsNumber(const CScriptValue& v) { return v.tag == TagInteger || v.tag == TagFloat || v.tag == TagNaN; }
inline bool IsPrimitive(const CScriptValue& v) {
    return v.tag <= TagFloat || v.tag == TagNaN;  // undefined, null, boolean, integer, string, float, NaN
}

// Every heap record with a finalizer starts with it; the sweep calls it before reclaiming.
using FinalizerFn = void (*)(CScriptEngine& engine, void* payload);

enum StringFlags : uint32_t {
    kStringStatic = 1,     // characters belong to a constant pool or a literal; never modified
    kStringOwnBlock = 2,   // characters are a heap block of their own (else they follow the record)
};

struct CScriptString {
    uint32_t flags;
    uint32_t length;
    char16_t* chars;
    CScriptObject* props;  // own properties, made on first store
};

// One property slot: key atom (-1 deleted, kPositionalKey for slots appended by integer key).
struct PropSlot {
    int32_t key;
    uint32_t attr;
    CScriptValue value;
};
constexpr int32_t kDeletedKey = -1;
constexpr int32_t kPositionalKey = -2;

// Name index of a property table: 128 buckets by name hash; entries chained newest first.
struct NameEntry {
    int32_t next;
    int32_t atom;
    uint32_t slot;
};

struct NameIndex {
    int32_t heads[128];
    uint32_t counts[128];
    uint32_t used;
    uint32_t capacity;
    NameEntry* entries;
};

struct CScriptObject {
    PropSlot* slots;
    uint32_t count;
    uint32_t capacity;
    NameIndex* index;  // built on first access by name text, NameAt or delete by text
};

struct SparseElement {
    uint64_t index;
    CScriptValue value;
};

// Elements are kept densely for indexes below the dense capacity and in an index-sorted run
// beyond it; scripts see only indexes, values and the length.
struct CScriptArray {
    uint64_t length;
    CScriptValue* dense;  // dense[i] for i < denseCapacity; TagAbsent when never stored
    uint32_t denseCapacity;
    uint32_t sparseCount;
    SparseElement* sparse;  // ascending by index, all at or above denseCapacity
    uint32_t sparseCapacity;
    CScriptObject* props;
};

struct CScriptFunction {
    CCompiledFunction* code;
    CScriptObject* props;
};

struct CHostObject {
    FinalizerFn finalize;
    CScriptClass* cls;
    void* data;
    CScriptObject* props;
};

}  // namespace nerva
