// The collector's marking: roots of the engine, then a work list of newly marked records, so
// a million-element chain is marked without any native recursion.
#include <cstring>

#include "runtime/engine.h"
#include "runtime/engine_internal.h"
#include "runtime/heap.h"
#include "runtime/object.h"
#include "runtime/script_class.h"

namespace nerva {

namespace {

void Push(CScriptEngine& e, uint32_t tag, void* record) {
    if (CScriptHeap::Mark(record)) e.markStack.emplace_back(tag, record);
}

void MarkTable(CScriptEngine& e, CScriptObject* o) {
    if (o) Push(e, TagObject, o);
}

void Scan(CScriptEngine& e, uint32_t tag, void* record) {
    switch (tag) {
        case TagString: {
            auto* s = static_cast<CScriptString*>(record);
            if (s->flags & kStringOwnBlock) CScriptHeap::Mark(s->chars);
            MarkTable(e, s->props);
            break;
        }
        case TagArray: {
            auto* a = static_cast<CScriptArray*>(record);
            if (a->dense) {
                CScriptHeap::Mark(a->dense);
                for (uint32_t i = 0; i < a->denseCapacity; ++i) MarkValue(e, a->dense[i]);
            }
            if (a->sparse) {
                CScriptHeap::Mark(a->sparse);
                for (uint32_t i = 0; i < a->sparseCount; ++i) MarkValue(e, a->sparse[i].value);
            }
            MarkTable(e, a->props);
            break;
        }
        case TagObject: {
            auto* o = static_cast<CScriptObject*>(record);
            if (o->slots) {
                CScriptHeap::Mark(o->slots);
                for (uint32_t i = 0; i < o->count; ++i) MarkValue(e, o->slots[i].value);
            }
            if (o->index) {
                CScriptHeap::Mark(o->index);
                if (o->index->entries) CScriptHeap::Mark(o->index->entries);
            }
            break;
        }
        case TagHost: {
            auto* h = static_cast<CHostObject*>(record);
            if (h->cls) {
                MarkTable(e, h->cls->protoObject);
                if (h->cls->onMark && h->data) h->cls->onMark(e, h->cls, h->data);
            }
            MarkTable(e, h->props);
            break;
        }
        case TagFunction: {
            auto* f = static_cast<CScriptFunction*>(record);
            CScriptHeap::Mark(f->code);
            MarkTable(e, f->props);
            break;
        }
        default:
            break;
    }
}

void Drain(CScriptEngine& e) {
    while (!e.markStack.empty()) {
        auto [tag, record] = e.markStack.back();
        e.markStack.pop_back();
        Scan(e, tag, record);
    }
}

}  // namespace

void MarkValue(CScriptEngine& e, const CScriptValue& v) {
    switch (v.tag) {
        case TagString:
        case TagArray:
        case TagObject:
        case TagHost:
        case TagFunction:
            if (v.p) Push(e, v.tag, v.p);
            break;
        default:
            break;
    }
}

void MarkObject(CScriptEngine& e, CScriptObject* object) { MarkTable(e, object); }
void MarkBlock(CScriptEngine&, const void* block) { CScriptHeap::Mark(block); }

CValueRoot::CValueRoot(CScriptEngine& engine, CScriptValue* values, size_t count) : engine_(engine) {
    engine_.tempRoots.emplace_back(values, count);
}
CValueRoot::~CValueRoot() { engine_.tempRoots.pop_back(); }

void Collect(CScriptEngine& e) {
    e.heap.CountCollection();
    e.markStack.clear();
    for (const CScriptValue& v : e.constants) MarkValue(e, v);
    for (uint32_t i = 0; i < e.globalCount; ++i) MarkValue(e, e.globals[i]);
    for (CScriptClass* cls : e.classes) MarkTable(e, cls->protoObject);
    for (auto& [text, v] : e.staticTexts) MarkValue(e, v);
    for (auto& [values, count] : e.tempRoots)
        for (size_t i = 0; i < count; ++i) MarkValue(e, values[i]);
    MarkValue(e, e.lastResult);
    MarkValue(e, e.thrown);
    CScriptValue* end = e.stackMemory + e.stackTotal;
    for (CScriptValue* v = e.sp + 1; v < end; ++v) MarkValue(e, *v);
    // Slots below the stack pointer are not roots, so what they still name may be swept;
    // damaged code that reads such a slot before writing it (a local beyond those it
    // reserved) must find undefined there, not a reference to a reclaimed block.
    for (CScriptValue* v = e.stackMemory; v <= e.sp; ++v) *v = MakeUndefined();
    for (uint32_t i = 0; i < e.frameCount; ++i) {
        const CallRecord& r = e.frames[i];
        CScriptHeap::Mark(r.fn);
        if (r.with) {
            CScriptHeap::Mark(r.with);
            for (uint32_t k = 0; k < r.with->count; ++k) MarkValue(e, r.with->values[k]);
        }
    }
    Drain(e);
    e.heap.Sweep(e);
    e.markStack.shrink_to_fit();
}

void CollectAtSafePoint(CScriptEngine& e) {
    Collect(e);
    if (e.hook) {
        int code = e.hook(2, e.hookData);
        if (code) RaiseRuntimeError(e, "hook break %d", code);
    }
}

}  // namespace nerva
