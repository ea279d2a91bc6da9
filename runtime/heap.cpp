// Block allocation for the script heap. A block is an 8-byte header (bits 3-31 of the first
// word: payload size; bit 1: finalizer; bit 0: mark) followed by its payload, so payloads stay
// 8-byte aligned. Requests are rounded up to a power of two; free blocks sit on 20 lists by
// size class and are taken first fit, the rest of a larger block being split off.
#include "runtime/heap.h"

#include <cstdlib>
#include <cstring>

#include "runtime/engine.h"

namespace nerva {

struct HeapBlock {
    uint32_t word;
    uint32_t spare;
    HeapBlock* next;  // payload's first word while the block is free
};

namespace {

constexpr uint32_t kMarkBit = 1;
constexpr uint32_t kFinalBit = 2;
constexpr uint32_t kFlagMask = 7;
constexpr size_t kHeader = 8;
constexpr size_t kMaxRequest = size_t(1) << 31;

inline HeapBlock* BlockOf(const void* payload) {
    return reinterpret_cast<HeapBlock*>(const_cast<uint8_t*>(static_cast<const uint8_t*>(payload) - kHeader));
}
inline void* PayloadOf(HeapBlock* b) { return reinterpret_cast<uint8_t*>(b) + kHeader; }
inline size_t SizeOf(const HeapBlock* b) { return b->word & ~kFlagMask; }

size_t RoundUp(size_t n) {
    size_t r = 8;
    while (r < n) r <<= 1;
    return r;
}

}  // namespace

int CScriptHeap::SizeClass(size_t n) {
    if (n < 8) return 0;
    int c = 1;
    n >>= 3;
    while (n > 1 && c < kSizeClasses - 1) {
        n >>= 1;
        ++c;
    }
    return c;
}

CScriptHeap::~CScriptHeap() { ReleaseAll(); }

void CScriptHeap::ReleaseAll() {
    while (chunks_) {
        HeapChunk* next = chunks_->next;
        std::free(chunks_);
        chunks_ = next;
    }
    for (auto& f : free_) f = nullptr;
    stats_ = HeapStats{};
}

void CScriptHeap::PushFree(HeapBlock* block) {
    size_t size = SizeOf(block);
    block->word = uint32_t(size);
    int c = SizeClass(size);
    block->next = free_[c];
    free_[c] = block;
    stats_.freeBytes += size;
}

void* CScriptHeap::TakeFrom(size_t need) {
    for (int c = SizeClass(need); c < kSizeClasses; ++c) {
        HeapBlock** link = &free_[c];
        for (HeapBlock* b = *link; b; link = &b->next, b = b->next) {
            size_t size = SizeOf(b);
            if (size < need) continue;
            *link = b->next;
            stats_.freeBytes -= size;
            if (size - need >= kHeader + 8) {
                HeapBlock* rest = reinterpret_cast<HeapBlock*>(reinterpret_cast<uint8_t*>(PayloadOf(b)) + need);
                rest->word = uint32_t(size - need - kHeader);
                PushFree(rest);
                size = need;
            }
            b->word = uint32_t(size);
            stats_.allocatedBytes += size;
            return PayloadOf(b);
        }
    }
    return nullptr;
}

bool CScriptHeap::Grow(size_t need) {
    size_t bytes = kChunkSize;
    if (need + kHeader + sizeof(HeapChunk) > bytes) bytes = need + kHeader + sizeof(HeapChunk);
    if (bytes > limit_ || stats_.totalBytes > limit_ - bytes) return false;
    auto* chunk = static_cast<HeapChunk*>(std::malloc(bytes));
    if (!chunk) return false;
    chunk->next = chunks_;
    chunk->usable = bytes - sizeof(HeapChunk);
    chunks_ = chunk;
    stats_.totalBytes += bytes;
    auto* block = reinterpret_cast<HeapBlock*>(chunk + 1);
    block->word = uint32_t(chunk->usable - kHeader);
    PushFree(block);
    return true;
}

void* CScriptHeap::TryAlloc(size_t n) {
    if (n > kMaxRequest) return nullptr;
    size_t need = RoundUp(n);
    if (void* p = TakeFrom(need)) return p;
    if (!Grow(need)) return nullptr;
    return TakeFrom(need);
}

void CScriptHeap::Free(void* payload) {
    if (!payload) return;
    HeapBlock* b = BlockOf(payload);
    b->word = uint32_t(SizeOf(b));
    PushFree(b);
}

size_t CScriptHeap::BlockSize(const void* payload) { return SizeOf(BlockOf(payload)); }
void CScriptHeap::SetFinalizerBit(void* payload) { BlockOf(payload)->word |= kFinalBit; }

bool CScriptHeap::Mark(const void* payload) {
    if (!payload) return false;
    HeapBlock* b = BlockOf(payload);
    if (b->word & kMarkBit) return false;
    b->word |= kMarkBit;
    return true;
}

bool CScriptHeap::IsMarked(const void* payload) { return payload && (BlockOf(payload)->word & kMarkBit); }

void CScriptHeap::Sweep(CScriptEngine& engine) {
    for (auto& f : free_) f = nullptr;
    stats_.allocatedBytes = 0;
    stats_.freeBytes = 0;
    size_t live = 0;
    for (HeapChunk* chunk = chunks_; chunk; chunk = chunk->next) {
        uint8_t* p = reinterpret_cast<uint8_t*>(chunk + 1);
        uint8_t* end = p + chunk->usable;
        while (p < end) {
            auto* b = reinterpret_cast<HeapBlock*>(p);
            size_t size = SizeOf(b);
            if (b->word & kMarkBit) {
                b->word &= ~kMarkBit;
                live += size;
                p += kHeader + size;
                continue;
            }
            // A run of unmarked blocks becomes one free block.
            size_t merged = 0;
            uint8_t* q = p;
            while (q < end) {
                auto* d = reinterpret_cast<HeapBlock*>(q);
                if (d->word & kMarkBit) break;
                size_t dsize = SizeOf(d);
                if (d->word & kFinalBit) {
                    d->word &= ~kFinalBit;
                    void* payload = PayloadOf(d);
                    FinalizerFn fin;
                    std::memcpy(&fin, payload, sizeof fin);
                    if (fin) fin(engine, payload);
                }
                merged += (q == p ? 0 : kHeader) + dsize;
                q += kHeader + dsize;
            }
            b->word = uint32_t(merged);
            PushFree(b);
            p = q;
        }
    }
    stats_.liveBytes = live;
    // The next collection waits for at least as much new allocation as survived this one, so
    // a large live heap is not re-marked after every 2 MiB.
    threshold_ = live > kCollectThreshold ? live : kCollectThreshold;
}

void* HeapAlloc(CScriptEngine& engine, size_t n) {
    void* p = engine.heap.TryAlloc(n);
    if (!p) RaiseRuntimeError(engine, "Out of memory");
    return p;
}

void* HeapAllocFinal(CScriptEngine& engine, size_t n, FinalizerFn finalizer) {
    void* p = HeapAlloc(engine, n < sizeof(FinalizerFn) ? sizeof(FinalizerFn) : n);
    std::memset(p, 0, n);
    std::memcpy(p, &finalizer, sizeof finalizer);
    CScriptHeap::SetFinalizerBit(p);
    return p;
}

void HeapFree(CScriptEngine& engine, void* block) { engine.heap.Free(block); }

void* HeapRealloc(CScriptEngine& engine, void* block, size_t n) {
    if (!block) return HeapAlloc(engine, n);
    size_t old = CScriptHeap::BlockSize(block);
    if (old >= n) return block;
    void* fresh = HeapAlloc(engine, n);
    std::memcpy(fresh, block, old);
    engine.heap.Free(block);
    return fresh;
}

}  // namespace nerva
