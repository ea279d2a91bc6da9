// Strings, property tables, arrays and functions. Property tables keep their slots in
// insertion order (deleted slots are reused by later stores); the name index that fixes the
// enumeration order is built lazily exactly when a lookup by name text, an enumeration or a
// delete by text first needs it, because its bucket order depends on that moment.
#include <algorithm>
#include <cstring>

#include "port/code_page.h"
#include "runtime/engine.h"
#include "runtime/object.h"
#include "runtime/script_class.h"

namespace nerva {

namespace {

// Prototype chains are script data; a chain that loops back must not hang a lookup.
constexpr int kMaxProtoHops = 100000;

}  // namespace

// ---- strings ---------------------------------------------------------------------------

CScriptValue MakeStaticString(CScriptEngine& engine, const char16_t* chars, uint32_t length) {
    auto* s = static_cast<CScriptString*>(HeapAlloc(engine, sizeof(CScriptString)));
    s->flags = kStringStatic;
    s->length = length;
    s->chars = const_cast<char16_t*>(chars);
    s->props = nullptr;
    return MakeStringValue(s);
}

CScriptValue MakeStringBuffer(CScriptEngine& engine, uint32_t length, char16_t** chars) {
    auto* s = static_cast<CScriptString*>(HeapAlloc(engine, sizeof(CScriptString) + size_t(length) * 2));
    s->flags = 0;
    s->length = length;
    s->chars = reinterpret_cast<char16_t*>(s + 1);
    s->props = nullptr;
    *chars = s->chars;
    return MakeStringValue(s);
}

CScriptValue MakeString(CScriptEngine& engine, const char16_t* chars, uint32_t length) {
    char16_t* out;
    CScriptValue v = MakeStringBuffer(engine, length, &out);
    if (length) std::memcpy(out, chars, size_t(length) * 2);
    return v;
}

CScriptValue MakeString(CScriptEngine& engine, std::u16string_view text) {
    return MakeString(engine, text.data(), uint32_t(text.size()));
}

CScriptValue FromNarrow(CScriptEngine& engine, const char* text, size_t length) {
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i) ascii = static_cast<unsigned char>(text[i]) < 0x80;
    if (ascii) {
        char16_t* out;
        CScriptValue v = MakeStringBuffer(engine, uint32_t(length), &out);
        for (size_t i = 0; i < length; ++i) out[i] = char16_t(text[i]);
        return v;
    }
    std::u16string wide = vantor::AnsiToWide(std::string_view(text, length));
    return MakeString(engine, wide);
}

CScriptValue FromNarrow(CScriptEngine& engine, std::string_view text) { return FromNarrow(engine, text.data(), text.size()); }

std::string ToNarrow(const CScriptString* s) {
    bool ascii = true;
    for (uint32_t i = 0; i < s->length && ascii; ++i) ascii = s->chars[i] < 0x80;
    if (ascii) {
        std::string out(s->length, '\0');
        for (uint32_t i = 0; i < s->length; ++i) out[i] = char(s->chars[i]);
        return out;
    }
    return vantor::WideToAnsi(std::u16string_view(s->chars, s->length));
}

std::string ToNarrow(const CScriptValue& v) { return v.tag == TagString ? ToNarrow(v.s) : std::string(); }

void ExtendString(CScriptEngine& engine, CScriptString* s, uint32_t length, char16_t fill) {
    if (length <= s->length || (s->flags & kStringStatic)) return;
    char16_t* chars;
    if (s->flags & kStringOwnBlock) {
        chars = static_cast<char16_t*>(HeapRealloc(engine, s->chars, size_t(length) * 2));
    } else {
        chars = static_cast<char16_t*>(HeapAlloc(engine, size_t(length) * 2));
        if (s->length) std::memcpy(chars, s->chars, size_t(s->length) * 2);
    }
    for (uint32_t i = s->length; i < length; ++i) chars[i] = fill;
    s->chars = chars;
    s->length = length;
    s->flags |= kStringOwnBlock;
}

CScriptValue StaticText(CScriptEngine& engine, std::string_view ascii) {
    auto it = engine.staticTexts.find(std::string(ascii));
    if (it != engine.staticTexts.end()) return it->second;
    std::unique_ptr<char16_t[]> chars(new char16_t[ascii.size() + 1]);
    for (size_t i = 0; i < ascii.size(); ++i) chars[i] = char16_t(static_cast<unsigned char>(ascii[i]));
    CScriptValue v = MakeStaticString(engine, chars.get(), uint32_t(ascii.size()));
    engine.constantText.push_back(std::move(chars));
    engine.staticTexts.emplace(std::string(ascii), v);
    return v;
}

// ---- property tables -------------------------------------------------------------------

CScriptObject* NewObject(CScriptEngine& engine) {
    auto* o = static_cast<CScriptObject*>(HeapAlloc(engine, sizeof(CScriptObject)));
    o->slots = nullptr;
    o->count = 0;
    o->capacity = 0;
    o->index = nullptr;
    return o;
}

CScriptObject* NewObjectWithProto(CScriptEngine& engine, CScriptObject* proto) {
    CScriptObject* o = NewObject(engine);
    if (proto) {
        // Rooted through the table itself once stored; the allocation in between is the
        // slot array only, which cannot collect.
        o->slots = static_cast<PropSlot*>(HeapAlloc(engine, 4 * sizeof(PropSlot)));
        o->capacity = uint32_t(CScriptHeap::BlockSize(o->slots) / sizeof(PropSlot));
        o->slots[0].key = AtomProto;
        o->slots[0].attr = 0;
        o->slots[0].value = MakeObjectValue(proto);
        o->count = 1;
    }
    return o;
}

CScriptObject* ProtoOf(CScriptObject* object) {
    PropSlot* s = FindOwnSlot(object, AtomProto);
    return (s && s->value.tag == TagObject) ? s->value.o : nullptr;
}

PropSlot* FindOwnSlot(CScriptObject* object, uint32_t atom) {
    PropSlot* s = object->slots;
    for (uint32_t i = 0, n = object->count; i < n; ++i)
        if (s[i].key == int32_t(atom)) return &s[i];
    return nullptr;
}

PropSlot* FindSlot(CScriptObject* object, uint32_t atom) {
    for (int hops = 0; object && hops < kMaxProtoHops; ++hops) {
        CScriptObject* next = nullptr;
        PropSlot* s = object->slots;
        for (uint32_t i = 0, n = object->count; i < n; ++i) {
            if (s[i].key == int32_t(atom)) return &s[i];
            if (s[i].key == AtomProto && s[i].value.tag == TagObject) next = s[i].value.o;
        }
        object = next;
    }
    return nullptr;
}

bool GetProperty(CScriptEngine&, CScriptObject* object, uint32_t atom, CScriptValue& out) {
    if (PropSlot* s = FindSlot(object, atom)) {
        out = s->value;
        return true;
    }
    out = MakeUndefined();
    return false;
}

namespace {

void IndexAdd(CScriptEngine& engine, CScriptObject* object, int32_t atom, uint32_t slot) {
    NameIndex* ix = object->index;
    if (ix->used == ix->capacity) {
        uint32_t cap = ix->capacity ? ix->capacity * 2 : 8;
        auto* entries = static_cast<NameEntry*>(HeapRealloc(engine, ix->entries, size_t(cap) * sizeof(NameEntry)));
        ix = object->index;  // unchanged: the realloc cannot collect
        ix->entries = entries;
        ix->capacity = cap;
    }
    uint32_t bucket = engine.atomHashes[size_t(atom)] & 127;
    NameEntry& e = ix->entries[ix->used];
    e.atom = atom;
    e.slot = slot;
    e.next = ix->heads[bucket];
    ix->heads[bucket] = int32_t(ix->used);
    ix->counts[bucket]++;
    ix->used++;
}

void IndexRemove(CScriptEngine& engine, CScriptObject* object, int32_t atom) {
    NameIndex* ix = object->index;
    if (!ix) return;
    uint32_t bucket = engine.atomHashes[size_t(atom)] & 127;
    for (int32_t* link = &ix->heads[bucket]; *link >= 0; link = &ix->entries[*link].next) {
        if (ix->entries[*link].atom == atom) {
            *link = ix->entries[*link].next;
            ix->counts[bucket]--;
            return;
        }
    }
}

int64_t IndexFind(CScriptEngine& engine, CScriptObject* object, int32_t atom) {
    NameIndex* ix = object->index;
    uint32_t bucket = engine.atomHashes[size_t(atom)] & 127;
    for (int32_t e = ix->heads[bucket]; e >= 0; e = ix->entries[e].next)
        if (ix->entries[e].atom == atom) return ix->entries[e].slot;
    return -1;
}

void EnsureIndex(CScriptEngine& engine, CScriptObject* object) {
    if (object->index) return;
    auto* ix = static_cast<NameIndex*>(HeapAlloc(engine, sizeof(NameIndex)));
    for (int i = 0; i < 128; ++i) {
        ix->heads[i] = -1;
        ix->counts[i] = 0;
    }
    ix->used = 0;
    ix->capacity = 0;
    ix->entries = nullptr;
    object->index = ix;
    for (uint32_t i = 0; i < object->count; ++i)
        if (object->slots[i].key >= 0) IndexAdd(engine, object, object->slots[i].key, i);
}

PropSlot* AppendSlot(CScriptEngine& engine, CScriptObject* object) {
    if (object->count == object->capacity) {
        uint32_t cap = object->capacity ? object->capacity * 2 : 4;
        if (cap < object->capacity) RaiseRuntimeError(engine, "Out of memory");
        auto* slots = static_cast<PropSlot*>(HeapRealloc(engine, object->slots, size_t(cap) * sizeof(PropSlot)));
        object->slots = slots;
        object->capacity = uint32_t(CScriptHeap::BlockSize(slots) / sizeof(PropSlot));
    }
    return &object->slots[object->count++];
}

}  // namespace

void SetProperty(CScriptEngine& engine, CScriptObject* object, uint32_t atom, const CScriptValue& value) {
    PropSlot* reuse = nullptr;
    PropSlot* s = object->slots;
    for (uint32_t i = 0, n = object->count; i < n; ++i) {
        if (s[i].key == int32_t(atom)) {
            s[i].value = value;
            return;
        }
        if (s[i].key == kDeletedKey) reuse = &s[i];
    }
    CScriptValue copy = value;  // value may live in the slot array that AppendSlot moves
    PropSlot* slot = reuse ? reuse : AppendSlot(engine, object);
    slot->key = int32_t(atom);
    slot->attr = 0;
    slot->value = copy;
    if (object->index) IndexAdd(engine, object, int32_t(atom), uint32_t(slot - object->slots));
}

void DeleteProperty(CScriptEngine& engine, CScriptObject* object, uint32_t atom) {
    PropSlot* s = FindOwnSlot(object, atom);
    if (!s) return;
    IndexRemove(engine, object, int32_t(atom));
    s->key = kDeletedKey;
    s->value = MakeUndefined();
}

namespace {

// The slot number for a string key through the name index; -1 when absent.
int64_t SlotForText(CScriptEngine& engine, CScriptObject* object, const CScriptString* key) {
    EnsureIndex(engine, object);
    int32_t atom = FindAtom(engine, key->chars, key->length);
    if (atom < 0) return -1;
    return IndexFind(engine, object, atom);
}

}  // namespace

bool GetByKey(CScriptEngine& engine, CScriptObject* object, const CScriptValue& key, CScriptValue& out) {
    out = MakeUndefined();
    if (key.tag == TagInteger) {
        if (key.i < 0 || uint64_t(key.i) >= object->count) return false;
        out = object->slots[key.i].value;
        return true;
    }
    if (key.tag == TagString) {
        int64_t slot = SlotForText(engine, object, key.s);
        if (slot < 0) return false;
        out = object->slots[slot].value;
        return true;
    }
    return false;
}

void SetByKey(CScriptEngine& engine, CScriptObject* object, const CScriptValue& key, const CScriptValue& value) {
    CScriptValue copy = value;
    if (key.tag == TagInteger) {
        if (key.i < 0) return;
        if (uint64_t(key.i) >= (uint64_t(1) << 26)) RaiseRuntimeError(engine, "Out of memory");
        while (object->count <= uint64_t(key.i)) {
            PropSlot* s = AppendSlot(engine, object);
            s->key = kPositionalKey;
            s->attr = 0;
            s->value = MakeUndefined();
        }
        object->slots[key.i].value = copy;
        return;
    }
    if (key.tag == TagString) {
        int64_t slot = SlotForText(engine, object, key.s);
        if (slot >= 0) {
            object->slots[slot].value = copy;
            return;
        }
        uint32_t atom = Intern(engine, ToNarrow(key.s));
        PropSlot* s = AppendSlot(engine, object);
        s->key = int32_t(atom);
        s->attr = 0;
        s->value = copy;
        IndexAdd(engine, object, int32_t(atom), uint32_t(s - object->slots));
    }
}

void DeleteByKey(CScriptEngine& engine, CScriptObject* object, const CScriptValue& key) {
    int64_t slot = -1;
    if (key.tag == TagInteger) {
        if (key.i >= 0 && uint64_t(key.i) < object->count) slot = key.i;
    } else if (key.tag == TagString) {
        slot = SlotForText(engine, object, key.s);
    }
    if (slot < 0) return;
    PropSlot& s = object->slots[slot];
    if (s.key >= 0) IndexRemove(engine, object, s.key);
    s.key = kDeletedKey;
    s.value = MakeUndefined();
}

bool NameAt(CScriptEngine& engine, CScriptObject* object, uint64_t n, CScriptValue& out) {
    EnsureIndex(engine, object);
    NameIndex* ix = object->index;
    for (int b = 0; b < 128; ++b) {
        if (n >= ix->counts[b]) {
            n -= ix->counts[b];
            continue;
        }
        int32_t e = ix->heads[b];
        while (n-- > 0 && e >= 0) e = ix->entries[e].next;
        if (e < 0) break;
        const std::string& name = AtomName(engine, uint32_t(ix->entries[e].atom));
        out = FromNarrow(engine, name);
        return true;
    }
    out = MakeUndefined();
    return false;
}

// ---- arrays ----------------------------------------------------------------------------

namespace {

constexpr uint64_t kMaxDense = uint64_t(1) << 26;

void GrowDense(CScriptEngine& engine, CScriptArray* a, uint64_t needed) {
    uint64_t cap = a->denseCapacity ? a->denseCapacity : 4;
    while (cap < needed) cap *= 2;
    if (cap > kMaxDense) cap = kMaxDense;
    auto* dense = static_cast<CScriptValue*>(HeapRealloc(engine, a->dense, size_t(cap) * sizeof(CScriptValue)));
    for (uint64_t i = a->denseCapacity; i < cap; ++i) {
        dense[i].tag = TagAbsent;
        dense[i].aux = 0;
        dense[i].u = 0;
    }
    a->dense = dense;
    uint32_t old = a->denseCapacity;
    a->denseCapacity = uint32_t(cap);
    // Sparse elements that now fall in the dense range move over.
    uint32_t keep = 0;
    for (uint32_t i = 0; i < a->sparseCount; ++i) {
        if (a->sparse[i].index < cap)
            dense[a->sparse[i].index] = a->sparse[i].value;
        else
            a->sparse[keep++] = a->sparse[i];
    }
    a->sparseCount = keep;
    (void)old;
}

SparseElement* SparseFind(CScriptArray* a, uint64_t index) {
    SparseElement* begin = a->sparse;
    SparseElement* end = begin + a->sparseCount;
    SparseElement* it = std::lower_bound(begin, end, index, [](const SparseElement& e, uint64_t i) { return e.index < i; });
    return (it != end && it->index == index) ? it : nullptr;
}

}  // namespace

CScriptArray* NewArray(CScriptEngine& engine, uint64_t length) {
    auto* a = static_cast<CScriptArray*>(HeapAlloc(engine, sizeof(CScriptArray)));
    a->length = length;
    a->dense = nullptr;
    a->denseCapacity = 0;
    a->sparseCount = 0;
    a->sparse = nullptr;
    a->sparseCapacity = 0;
    a->props = nullptr;
    return a;
}

CScriptValue* GetElement(CScriptArray* a, uint64_t index) {
    if (index < a->denseCapacity) {
        CScriptValue* v = &a->dense[index];
        return v->tag == TagAbsent ? nullptr : v;
    }
    if (!a->sparseCount) return nullptr;
    SparseElement* e = SparseFind(a, index);
    return e ? &e->value : nullptr;
}

void PutElement(CScriptEngine& engine, CScriptArray* a, uint64_t index, const CScriptValue& value) {
    if (index < a->denseCapacity) {
        a->dense[index] = value;
        return;
    }
    CScriptValue copy = value;
    // Indexes near the dense part extend it; far ones go to the sorted sparse run.
    if (index < kMaxDense && index <= uint64_t(a->denseCapacity) * 2 + 8) {
        GrowDense(engine, a, index + 1);
        a->dense[index] = copy;
        return;
    }
    if (SparseElement* e = SparseFind(a, index)) {
        e->value = copy;
        return;
    }
    if (a->sparseCount == a->sparseCapacity) {
        uint32_t cap = a->sparseCapacity ? a->sparseCapacity * 2 : 4;
        auto* run = static_cast<SparseElement*>(HeapRealloc(engine, a->sparse, size_t(cap) * sizeof(SparseElement)));
        a->sparse = run;
        a->sparseCapacity = cap;
    }
    SparseElement* begin = a->sparse;
    SparseElement* end = begin + a->sparseCount;
    SparseElement* it = std::lower_bound(begin, end, index, [](const SparseElement& e, uint64_t i) { return e.index < i; });
    std::memmove(it + 1, it, size_t(end - it) * sizeof(SparseElement));
    it->index = index;
    it->value = copy;
    a->sparseCount++;
}

void DeleteElement(CScriptArray* a, uint64_t index) {
    if (index < a->denseCapacity) {
        a->dense[index].tag = TagAbsent;
        a->dense[index].u = 0;
        return;
    }
    if (SparseElement* e = SparseFind(a, index)) {
        std::memmove(e, e + 1, size_t(a->sparse + a->sparseCount - e - 1) * sizeof(SparseElement));
        a->sparseCount--;
    }
}

void ShiftElements(CScriptEngine& engine, CScriptArray* a, uint64_t from, int64_t amount) {
    if (amount == 0) return;
    // Collect the moving elements, clear their old places, then store them at their new ones.
    std::vector<SparseElement> moving;
    ForEachElement(a, [&](uint64_t i, CScriptValue& v) {
        if (i >= from) moving.push_back({i, v});
    });
    for (const SparseElement& e : moving) DeleteElement(a, e.index);
    for (const SparseElement& e : moving) {
        int64_t target = int64_t(e.index) + amount;
        if (target < 0) continue;
        PutElement(engine, a, uint64_t(target), e.value);
    }
}

void RemoveElement(CScriptEngine& engine, CScriptArray* a, uint64_t index) {
    if (index >= a->length) return;
    DeleteElement(a, index);
    if (index + 1 < a->denseCapacity && a->sparseCount == 0) {
        uint64_t end = a->denseCapacity;
        std::memmove(&a->dense[index], &a->dense[index + 1], size_t(end - index - 1) * sizeof(CScriptValue));
        a->dense[end - 1].tag = TagAbsent;
        a->dense[end - 1].u = 0;
    } else {
        ShiftElements(engine, a, index + 1, -1);
    }
    a->length--;
}

uint64_t StoredElementCount(const CScriptArray* a) {
    uint64_t n = a->sparseCount;
    for (uint32_t i = 0; i < a->denseCapacity; ++i) n += a->dense[i].tag != TagAbsent;
    return n;
}

// ---- functions and own tables ----------------------------------------------------------

CScriptFunction* NewFunction(CScriptEngine& engine, CCompiledFunction* code) {
    auto* f = static_cast<CScriptFunction*>(HeapAlloc(engine, sizeof(CScriptFunction)));
    f->code = code;
    f->props = nullptr;
    return f;
}

CScriptObject* OwnTable(CScriptEngine& engine, const CScriptValue& value, bool create) {
    CScriptObject** field;
    switch (value.tag) {
        case TagString: field = &value.s->props; break;
        case TagArray: field = &value.a->props; break;
        case TagFunction: field = &value.fn->props; break;
        case TagHost: field = &value.h->props; break;
        case TagObject: return value.o;
        default: return nullptr;
    }
    if (!*field && create) {
        CScriptClass* cls = value.tag == TagHost ? value.h->cls : engine.typeClasses[value.tag];
        *field = NewObjectWithProto(engine, cls ? cls->protoObject : nullptr);
    }
    return *field;
}

}  // namespace nerva
