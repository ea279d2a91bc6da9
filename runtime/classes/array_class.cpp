// Array: the type class of array values. Elements are kept densely where they can be (see
// object.h), so everything that walks "the stored elements" walks them in index order.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "runtime/classes/class_util.h"
#include "runtime/heap.h"

namespace nerva {

namespace {

enum ArrayMember { kConcat, kJoin, kPop, kPush, kReverse, kShift, kSlice, kSplice, kSort, kUnshift, kLength };

constexpr uint64_t kMaxPushLength = 4294967295u;
// Lengths beyond this are treated as this when a method computes positions from them.
constexpr int64_t kMaxLength = int64_t(1) << 62;
constexpr size_t kMaxText = 0x3FFFFFFF;

int64_t LengthOf(const CScriptArray* a) { return a->length > uint64_t(kMaxLength) ? kMaxLength : int64_t(a->length); }

struct Stored {
    uint64_t index;
    CScriptValue value;
};

// The stored elements in index order, values gathered into a flat array the caller roots.
void Snapshot(CScriptArray* a, std::vector<uint64_t>& indexes, std::vector<CScriptValue>& values) {
    size_t n = size_t(StoredElementCount(a));
    indexes.reserve(n);
    values.reserve(n);
    ForEachElement(a, [&](uint64_t i, CScriptValue& v) {
        indexes.push_back(i);
        values.push_back(v);
    });
}

void RemoveFrom(CScriptArray* a, uint64_t from) {
    std::vector<uint64_t> doomed;
    ForEachElement(a, [&](uint64_t i, CScriptValue&) {
        if (i >= from) doomed.push_back(i);
    });
    for (uint64_t i : doomed) DeleteElement(a, i);
}

// Arrays whose join is under way on the native stack: an array met again inside its own
// join (it holds itself, directly or not) gives the empty text instead of recursing
// without end, and so does nesting deeper than the native stack can take.
constexpr size_t kMaxJoinDepth = 200;
std::vector<const CScriptArray*> g_joining;

struct JoinGuard {
    explicit JoinGuard(const CScriptArray* a) { g_joining.push_back(a); }
    ~JoinGuard() { g_joining.pop_back(); }
    JoinGuard(const JoinGuard&) = delete;
    JoinGuard& operator=(const JoinGuard&) = delete;
};

CScriptValue Join(CScriptEngine& e, CScriptValue self, std::u16string_view separator) {
    CScriptArray* a = self.a;
    int64_t length = LengthOf(a);
    if (length == 0) return StaticText(e, "");
    if (g_joining.size() >= kMaxJoinDepth || std::find(g_joining.begin(), g_joining.end(), a) != g_joining.end())
        return StaticText(e, "");
    JoinGuard guard(a);
    if (!separator.empty() && uint64_t(length - 1) > kMaxText / separator.size())
        RaiseRuntimeError(e, "Out of memory");
    std::vector<uint64_t> indexes;
    std::vector<CScriptValue> values;
    Snapshot(a, indexes, values);
    CValueRoot root(e, values.data(), values.size());
    std::u16string out;
    auto append = [&](std::u16string_view piece) {
        if (out.size() + piece.size() > kMaxText) RaiseRuntimeError(e, "Out of memory");
        out.append(piece);
    };
    if (separator.empty()) {
        for (size_t k = 0; k < values.size(); ++k)
            if (indexes[k] < uint64_t(length)) append(View(ToString(e, values[k])));
    } else {
        size_t k = 0;
        for (int64_t i = 0; i < length; ++i) {
            while (k < indexes.size() && indexes[k] < uint64_t(i)) ++k;
            if (k < indexes.size() && indexes[k] == uint64_t(i)) append(View(ToString(e, values[k])));
            if (i + 1 < length) append(separator);
        }
    }
    return NewString(e, out);
}

CScriptValue Concat(CScriptEngine& e, CScriptArray* self, const CArgBlock& args) {
    CScriptValue result = NewArrayValue(e, 0);
    CScriptValue rooted = result;
    CValueRoot root(e, &rooted);
    CScriptArray* out = result.a;
    ForEachElement(self, [&](uint64_t i, CScriptValue& v) { PutElement(e, out, i, v); });
    uint64_t running = self->length;
    for (int k = 0; k < args.Count(); ++k) {
        const CScriptValue& v = args[k];
        if (v.tag == TagArray) {
            ForEachElement(v.a, [&](uint64_t i, CScriptValue& x) { PutElement(e, out, running + i, x); });
            running += v.a->length;
        } else {
            PutElement(e, out, running, v);
            ++running;
        }
    }
    out->length = running;
    return result;
}

void Reverse(CScriptArray* a, CScriptEngine& e) {
    uint64_t length = a->length;
    std::vector<uint64_t> indexes;
    std::vector<CScriptValue> values;
    Snapshot(a, indexes, values);
    for (uint64_t i : indexes)
        if (i < length) DeleteElement(a, i);
    for (size_t k = 0; k < indexes.size(); ++k)
        if (indexes[k] < length) PutElement(e, a, length - 1 - indexes[k], values[k]);
}

CScriptValue Slice(CScriptEngine& e, CScriptArray* a, const CArgBlock& args) {
    int64_t length = LengthOf(a);
    int64_t start = args[0].tag == TagInteger ? args[0].i : 0;
    int64_t end = args.Count() >= 2 && args[1].tag == TagInteger ? args[1].i : length;
    start = std::clamp<int64_t>(start, -kMaxLength, kMaxLength);
    end = std::clamp<int64_t>(end, -kMaxLength, kMaxLength);
    if (start < 0) start = std::max<int64_t>(start + length, 0);
    if (end < 0) {
        end += length;
        if (end < 0) end = start;
    }
    int64_t lo = std::min(start, end), hi = std::max(start, end);
    CScriptValue result = NewArrayValue(e, uint64_t(hi - lo));
    ForEachElement(a, [&](uint64_t i, CScriptValue& v) {
        if (i >= uint64_t(lo) && i < uint64_t(hi)) PutElement(e, result.a, i - uint64_t(lo), v);
    });
    return result;
}

CScriptValue Splice(CScriptEngine& e, CScriptArray* a, const CArgBlock& args) {
    int64_t length = LengthOf(a);
    // A start that is not an integer counts as 0.
    int64_t start = args[0].tag == TagInteger ? std::clamp<int64_t>(args[0].i, -kMaxLength, kMaxLength) : 0;
    if (start < 0) start = std::max<int64_t>(start + length, 0);
    int64_t deleteCount = args.Count() >= 2 && args[1].tag == TagInteger ? std::max<int64_t>(args[1].i, 0)
                                                                          : std::max<int64_t>(length - start, 0);
    if (start < length)
        deleteCount = std::min(deleteCount, length - start);
    else
        deleteCount = 0;
    int64_t items = std::max(args.Count() - 2, 0);
    CScriptValue result = NewArrayValue(e, uint64_t(deleteCount));
    CScriptValue rooted = result;
    CValueRoot root(e, &rooted);
    if (deleteCount > 0) {
        std::vector<uint64_t> moved;
        ForEachElement(a, [&](uint64_t i, CScriptValue& v) {
            if (i >= uint64_t(start) && i < uint64_t(start + deleteCount)) {
                PutElement(e, result.a, i - uint64_t(start), v);
                moved.push_back(i);
            }
        });
        for (uint64_t i : moved) DeleteElement(a, i);
    }
    if (items != deleteCount) ShiftElements(e, a, uint64_t(start + deleteCount), items - deleteCount);
    for (int64_t k = 0; k < items; ++k) PutElement(e, a, uint64_t(start + k), args[int(k + 2)]);
    a->length = uint64_t(start < length ? length - deleteCount + items : start + items);
    return result;
}

// One comparison of the sort: > 0 when b belongs before a.
struct Sorter {
    CScriptEngine& e;
    CScriptValue compare;        // function or host value; undefined for text order
    std::vector<CScriptValue>* texts;  // ToString of each value, for text order

    bool After(const CScriptValue& a, const CScriptValue& b, size_t ia, size_t ib) {
        if (compare.tag == TagUndefined) {
            if (a.tag == TagUndefined) return b.tag != TagUndefined;
            if (b.tag == TagUndefined) return false;
            return CompareStrings((*texts)[ia].s, (*texts)[ib].s) > 0;
        }
        CScriptValue call[3] = {MakeInt(2), a, b};
        if (!CallValue(e, MakeNull(), compare, call)) return false;
        const CScriptValue& r = LastResult(e);
        if (r.tag == TagFloat) return r.f > 0;
        return r.i > 0;
    }
};

// Stable top-down merge sort of positions into `order`, comparing the values they name.
void MergeSort(Sorter& s, const std::vector<CScriptValue>& values, std::vector<size_t>& order,
               std::vector<size_t>& scratch, size_t lo, size_t hi) {
    if (hi - lo < 2) return;
    size_t mid = lo + (hi - lo) / 2;
    MergeSort(s, values, order, scratch, lo, mid);
    MergeSort(s, values, order, scratch, mid, hi);
    size_t i = lo, j = mid, k = lo;
    while (i < mid && j < hi) {
        if (s.After(values[order[i]], values[order[j]], order[i], order[j]))
            scratch[k++] = order[j++];
        else
            scratch[k++] = order[i++];
    }
    while (i < mid) scratch[k++] = order[i++];
    while (j < hi) scratch[k++] = order[j++];
    std::copy(scratch.begin() + std::ptrdiff_t(lo), scratch.begin() + std::ptrdiff_t(hi),
              order.begin() + std::ptrdiff_t(lo));
}

void Sort(CScriptEngine& e, CScriptValue self, const CArgBlock& args) {
    CScriptArray* a = self.a;
    std::vector<uint64_t> indexes;
    std::vector<CScriptValue> values;
    Snapshot(a, indexes, values);
    size_t n = values.size();
    // Values, their texts and the comparator stay rooted while comparisons call scripts.
    std::vector<CScriptValue> held(values);
    held.push_back(args.Count() >= 1 && (args[0].tag == TagFunction || args[0].tag == TagHost) ? args[0]
                                                                                               : MakeUndefined());
    std::vector<CScriptValue> texts;
    if (held[n].tag == TagUndefined) {
        texts.resize(n, MakeUndefined());
        held.resize(n + 1 + n, MakeUndefined());
        for (size_t k = 0; k < n; ++k)
            if (values[k].tag != TagUndefined) held[n + 1 + k] = texts[k] = ToString(e, values[k]);
    }
    CValueRoot root(e, held.data(), held.size());
    Sorter sorter{e, held[n], &texts};
    std::vector<size_t> order(n), scratch(n);
    for (size_t k = 0; k < n; ++k) order[k] = k;
    MergeSort(sorter, held, order, scratch, 0, n);
    // The comparator may have changed the array meanwhile; the sorted values replace whatever
    // it holds now.
    RemoveFrom(a, 0);
    for (size_t k = 0; k < n; ++k) PutElement(e, a, k, held[order[k]]);
    if (a->length < n) a->length = n;
}

int ArrayMethod(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, CScriptValue* result,
                const CArgBlock& args) {
    *result = MakeUndefined();
    if (!self) {
        if (atom != AtomToString) return 0;
        *result = StaticText(e, "[object Array]");
        return 1;
    }
    CScriptValue value = *static_cast<CScriptValue*>(self);
    if (value.tag != TagArray) return 0;
    CScriptArray* a = value.a;
    if (atom == AtomToString) {
        *result = Join(e, value, u",");
        return 1;
    }
    switch (MemberIndex(cls->classData, atom)) {
        case kConcat:
            *result = Concat(e, a, args);
            return 1;
        case kJoin: {
            if (args.Count() >= 1) {
                CScriptValue sep = ToString(e, args[0]);
                CValueRoot root(e, &sep);
                *result = Join(e, value, View(sep));
            } else {
                *result = Join(e, value, u",");
            }
            return 1;
        }
        case kPop: {
            if (a->length == 0) return 1;
            uint64_t last = a->length - 1;
            if (CScriptValue* cell = GetElement(a, last)) {
                *result = *cell;
                DeleteElement(a, last);
            }
            a->length = last;
            return 1;
        }
        case kPush:
            for (int k = 0; k < args.Count() && a->length < kMaxPushLength; ++k) {
                PutElement(e, a, a->length, args[k]);
                a->length++;
            }
            *result = MakeInt(int64_t(a->length));
            return 1;
        case kReverse:
            Reverse(a, e);
            return 1;
        case kShift: {
            if (a->length == 0) return 1;
            if (CScriptValue* cell = GetElement(a, 0)) {
                *result = *cell;
                DeleteElement(a, 0);
            }
            ShiftElements(e, a, 1, -1);
            a->length--;
            return 1;
        }
        case kSlice:
            *result = Slice(e, a, args);
            return 1;
        case kSplice:
            *result = Splice(e, a, args);
            return 1;
        case kSort:
            Sort(e, value, args);
            return 1;
        case kUnshift: {
            int n = args.Count();
            if (n > 0) {
                ShiftElements(e, a, 0, n);
                for (int k = 0; k < n; ++k) PutElement(e, a, uint64_t(k), args[n - 1 - k]);
                a->length += uint64_t(n);
            }
            *result = MakeInt(int64_t(a->length));
            return 1;
        }
        default:
            return 0;
    }
}

int ArrayProperty(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, int set, CScriptValue* value) {
    if (MemberIndex(cls->classData, atom) != kLength) return 0;
    if (!self) {
        if (set) return 0;
        *value = MakeInt(1);
        return 1;
    }
    CScriptValue* v = static_cast<CScriptValue*>(self);
    if (v->tag != TagArray) return 0;
    CScriptArray* a = v->a;
    if (!set) {
        *value = MakeInt(int64_t(a->length));
        return 1;
    }
    uint64_t length;
    if (value->tag == TagInteger && value->i >= 0)
        length = uint64_t(value->i);
    else if (value->tag == TagFloat && value->f >= 0 && value->f < 18446744073709551616.0)
        length = uint64_t(value->f);
    else
        return 1;
    if (length < a->length) RemoveFrom(a, length);
    a->length = length;
    (void)e;
    return 1;
}

// Array(...) and new Array(...): a negative count comes from an array literal.
void ArrayConstruct(CScriptEngine& e, CScriptClass*, const CArgBlock& args, CScriptValue* result) {
    const CScriptValue* raw = args.Data();
    int64_t count = raw[0].i;
    bool literal = count < 0;
    if (literal) count = -count;
    if (!literal && count == 1 && raw[1].tag == TagInteger) {
        *result = NewArrayValue(e, uint64_t(raw[1].i));
        return;
    }
    *result = NewArrayValue(e, uint64_t(count));
    for (int64_t k = 0; k < count; ++k) PutElement(e, result->a, uint64_t(k), raw[k + 1]);
}

void ArrayCall(CScriptEngine& e, CScriptClass* cls, void*, CScriptValue* result, const CArgBlock& args) {
    ArrayConstruct(e, cls, args, result);
}

}  // namespace

CScriptValue NewArrayValue(CScriptEngine& e, uint64_t length) {
    CScriptValue v = MakeArrayValue(NewArray(e, length));
    OwnTable(e, v, true);
    return v;
}

void RegisterArray(CScriptEngine& e) {
    CScriptClass* cls = NewClass(e);
    cls->classData = InternMembers(e, {"concat", "join", "pop", "push", "reverse", "shift", "slice", "splice",
                                       "sort", "unshift", "length"});
    cls->freeClassData = &FreeMemberList;
    cls->onMethod = &ArrayMethod;
    cls->onProperty = &ArrayProperty;
    cls->onConstruct = &ArrayConstruct;
    cls->onCall = &ArrayCall;
    SetTypeClass(e, TagArray, cls);
    DefineGlobalClass(e, "Array", cls);
}

}  // namespace nerva
