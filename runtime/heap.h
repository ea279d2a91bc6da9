// The engine's collected heap: chunks of blocks with a small header (size, finalizer bit,
// mark bit), free lists by power-of-two size class, first fit with splitting, and a
// mark-and-sweep collector whose marking uses an explicit work list, so long chains of
// objects never deepen the native stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/value.h"

namespace nerva {

constexpr int kSizeClasses = 20;
constexpr size_t kChunkSize = 102400;
constexpr size_t kCollectThreshold = 0x200000;

struct HeapBlock;

struct HeapChunk {
    HeapChunk* next;
    size_t usable;  // bytes of blocks after this header
};

struct HeapStats {
    size_t totalBytes = 0;      // taken from the system
    size_t allocatedBytes = 0;  // since the last collection
    size_t freeBytes = 0;       // on the free lists
    size_t liveBytes = 0;       // kept by the last collection
    uint64_t collections = 0;
};

class CScriptHeap {
public:
    CScriptHeap() = default;
    CScriptHeap(const CScriptHeap&) = delete;
    CScriptHeap& operator=(const CScriptHeap&) = delete;
    ~CScriptHeap();

    // Null when the system allocator fails; the engine turns that into "Out of memory".
    void* TryAlloc(size_t n);
    void Free(void* payload);
    static size_t BlockSize(const void* payload);
    static void SetFinalizerBit(void* payload);

    // Marking: returns true when the block was not marked before.
    static bool Mark(const void* payload);
    static bool IsMarked(const void* payload);

    // Reclaims every unmarked block (running finalizers) and clears the marks.
    void Sweep(CScriptEngine& engine);
    void ReleaseAll();

    bool WantsCollection() const { return stats_.allocatedBytes >= threshold_; }
    const HeapStats& Stats() const { return stats_; }
    size_t Threshold() const { return threshold_; }
    static int SizeClass(size_t n);
    void CountCollection() { ++stats_.collections; }
    // Bytes the heap may take from the system in all (no limit by default).
    void SetLimit(size_t bytes) { limit_ = bytes; }

private:
    void* TakeFrom(size_t need);
    bool Grow(size_t need);
    void PushFree(HeapBlock* block);

    HeapChunk* chunks_ = nullptr;
    HeapBlock* free_[kSizeClasses] = {};
    HeapStats stats_;
    size_t threshold_ = kCollectThreshold;
    size_t limit_ = SIZE_MAX;
};

// Engine-level allocation: failures raise the runtime error "Out of memory".
void* HeapAlloc(CScriptEngine& engine, size_t n);
void* HeapAllocFinal(CScriptEngine& engine, size_t n, FinalizerFn finalizer);
void HeapFree(CScriptEngine& engine, void* block);
void* HeapRealloc(CScriptEngine& engine, void* block, size_t n);

// Marking from native code: onMark operations call MarkValue for every value they hold.
void MarkValue(CScriptEngine& engine, const CScriptValue& value);
void MarkObject(CScriptEngine& engine, CScriptObject* object);
void MarkBlock(CScriptEngine& engine, const void* block);

// A full collection from the engine's roots; safe only where no native code holds unrooted
// heap pointers (the interpreter's safe points and the end of a run).
void Collect(CScriptEngine& engine);

// Keeps values reachable while native code holds them across something that may collect
// (a call back into scripts). Scoped; nests.
class CValueRoot {
public:
    CValueRoot(CScriptEngine& engine, CScriptValue* values, size_t count = 1);
    ~CValueRoot();
    CValueRoot(const CValueRoot&) = delete;
    CValueRoot& operator=(const CValueRoot&) = delete;

private:
    CScriptEngine& engine_;
};

}  // namespace nerva
