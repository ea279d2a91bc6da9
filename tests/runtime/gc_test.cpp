// The heap and the collector: block sizes and chunks, reclaiming cycles, marking a very long
// chain without native recursion, and allocation under pressure from a running script.
#include <gtest/gtest.h>

#include "runtime/engine.h"
#include "runtime/heap.h"
#include "runtime/object.h"
#include "runtime/script_class.h"
#include "tests/runtime/runtime_test_util.h"

namespace nerva::test {
namespace {

TEST(Heap, BlockSizesChunksAndSplitting) {
    CScriptHeap heap;
    void* small = heap.TryAlloc(1);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(CScriptHeap::BlockSize(small), 8u) << "at least one 8-byte word";
    EXPECT_EQ(heap.Stats().totalBytes, kChunkSize);

    CScriptHeap fresh;
    void* mid = fresh.TryAlloc(50000);
    EXPECT_EQ(CScriptHeap::BlockSize(mid), 65536u);
    // The rest of the 102,400-byte chunk (16-byte chunk header, two 8-byte block headers)
    // stays free.
    EXPECT_EQ(fresh.Stats().freeBytes, kChunkSize - 16 - 8 - 65536 - 8);

    void* big = fresh.TryAlloc(100000);
    EXPECT_EQ(CScriptHeap::BlockSize(big), 131072u);
    EXPECT_EQ(fresh.Stats().totalBytes, kChunkSize + 131072 + 8 + 16) << "a chunk of its own";

    fresh.Free(mid);
    void* again = fresh.TryAlloc(40000);
    EXPECT_EQ(again, mid) << "first fit reuses the freed block";
    EXPECT_EQ(fresh.TryAlloc(size_t(1) << 40), nullptr);
}

TEST(Heap, SizeClasses) {
    EXPECT_EQ(CScriptHeap::SizeClass(4), 0);
    EXPECT_EQ(CScriptHeap::SizeClass(8), 1);
    EXPECT_EQ(CScriptHeap::SizeClass(15), 1);
    EXPECT_EQ(CScriptHeap::SizeClass(16), 2);
    EXPECT_EQ(CScriptHeap::SizeClass(size_t(2) << 20), 19);
    EXPECT_EQ(CScriptHeap::SizeClass(size_t(1) << 30), 19);
}

int g_finalized = 0;

void CountRelease(CScriptClass*, void*) { ++g_finalized; }

class Collector : public EngineTest {
protected:
    CScriptClass* Tracked() {
        CScriptClass* cls = NewClass(*engine);
        cls->onRelease = &CountRelease;
        return cls;
    }
    uint32_t Atom(const char* name) { return Intern(*engine, name); }
};

TEST_F(Collector, UnreachableCyclesAreReclaimed) {
    g_finalized = 0;
    CScriptClass* cls = Tracked();
    static int token;
    for (int i = 0; i < 100; ++i) {
        CScriptObject* a = NewObject(*engine);
        CScriptObject* b = NewObject(*engine);
        SetProperty(*engine, a, Atom("next"), MakeObjectValue(b));
        SetProperty(*engine, b, Atom("next"), MakeObjectValue(a));
        CScriptValue h;
        DefineHostValue(*engine, &h, cls, &token);
        SetProperty(*engine, b, Atom("native"), h);
    }
    nerva::Collect(*engine);
    EXPECT_EQ(g_finalized, 100);
    size_t live = engine->heap.Stats().liveBytes;
    nerva::Collect(*engine);
    EXPECT_EQ(engine->heap.Stats().liveBytes, live) << "nothing more to reclaim";
}

TEST_F(Collector, MillionElementChainIsMarkedWithoutRecursion) {
    g_finalized = 0;
    CScriptClass* cls = Tracked();
    static int token;
    uint32_t next = Atom("next");
    CScriptValue tail;
    DefineHostValue(*engine, &tail, cls, &token);
    CScriptObject* head = NewObject(*engine);
    SetProperty(*engine, head, Atom("native"), tail);
    GlobalSlot(*engine, Atom("list")) = MakeObjectValue(head);
    // Built from the tail so each new node is rooted through the global at once.
    for (int i = 0; i < 1000000; ++i) {
        CScriptObject* node = NewObject(*engine);
        SetProperty(*engine, node, next, GlobalSlot(*engine, Atom("list")));
        GlobalSlot(*engine, Atom("list")) = MakeObjectValue(node);
    }
    nerva::Collect(*engine);
    EXPECT_EQ(g_finalized, 0) << "the end of the chain is still reachable";
    GlobalSlot(*engine, Atom("list")) = MakeUndefined();
    nerva::Collect(*engine);
    EXPECT_EQ(g_finalized, 1);
}

TEST_F(Collector, ScriptAllocationUnderPressureKeepsLiveData) {
    // keep = ""; for (i = 0; i < 60000; i++) { t = "xxxxxxxxxx" + i; if (i % 1000 == 0) keep = keep + t; }
    Assembler a;
    a.Function(".main");
    auto top = a.NewLabel(), skip = a.NewLabel(), done = a.NewLabel();
    a.ConstS("").Global(OP_STOREGLOBAL, "keep");
    a.Op(OP_PUSHINT0).Global(OP_STOREGLOBAL, "i");
    a.Bind(top);
    a.Global(OP_LOADGLOBAL, "i").Const(60000).Op(OP_LT).Jump(OP_JUMPIFFALSE, done);
    a.ConstS("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx").Global(OP_LOADGLOBAL, "i").Op(OP_ADD).Global(OP_STOREGLOBAL, "t");
    a.Global(OP_LOADGLOBAL, "i").Const(1000).Op(OP_MOD).Op(OP_PUSHINT0).Op(OP_EQ).Jump(OP_JUMPIFFALSE, skip);
    a.Global(OP_LOADGLOBAL, "keep").Global(OP_LOADGLOBAL, "i").Op(OP_ADD).ConstS(",").Op(OP_ADD);
    a.Global(OP_STOREGLOBAL, "keep");
    a.Bind(skip);
    a.Global(OP_LOADGLOBAL, "i").Op(OP_PUSHINT1).Op(OP_ADD).Global(OP_STOREGLOBAL, "i").Jump(OP_JUMP, top);
    a.Bind(done);
    a.Global(OP_LOADGLOBAL, "keep").Op(OP_RETURN);
    int hookCalls = 0;
    SetHook(*engine, [](int code, void* data) {
        if (code == 2) ++*static_cast<int*>(data);
        return 0;
    }, &hookCalls);
    ASSERT_TRUE(Run(a)) << Message();
    std::string expected;
    for (int i = 0; i < 60000; i += 1000) expected += std::to_string(i) + ",";
    EXPECT_EQ(ResultText(), expected);
    EXPECT_GT(engine->heap.Stats().collections, 0u);
    EXPECT_GT(hookCalls, 0) << "the hook runs after collections at safe points";
}

TEST_F(Collector, HookBreakEndsTheRun) {
    Assembler a;
    a.Function(".main");
    auto top = a.NewLabel();
    a.Bind(top);
    a.ConstS("abcdefghijklmnopqrstuvwxyz").ConstS("0123456789").Op(OP_ADD).Op(OP_POP).Jump(OP_JUMP, top);
    SetHook(*engine, [](int, void*) { return 7; }, nullptr);
    EXPECT_FALSE(Run(a));
    EXPECT_EQ(Message(), "Runtime error: hook break 7");
}

// The collection that ends every run is reported to the hook too, even when the run never
// reached the collection threshold, and a nonzero answer there fails the run.
TEST_F(Collector, HookHearsOfTheCollectionAtTheEndOfARun) {
    struct Seen {
        int calls = 0;
        int code = 0;
        int answer = 0;
    } seen;
    SetHook(*engine, [](int code, void* data) {
        auto* s = static_cast<Seen*>(data);
        ++s->calls;
        s->code = code;
        return s->answer;
    }, &seen);
    Assembler a;
    a.Function(".main");
    a.ConstS("done").Op(OP_RETURN);
    uint64_t before = engine->heap.Stats().collections;
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(engine->heap.Stats().collections, before + 1);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.code, 2);
    EXPECT_EQ(ResultText(), "done");

    seen.answer = 3;
    EXPECT_FALSE(Run(a));
    EXPECT_EQ(Message(), "Runtime error: hook break 3");
    EXPECT_EQ(seen.calls, 2);

    // A failed run is still collected, without asking the hook.
    Assembler b;
    b.Function(".main");
    b.ConstS("oops").Op(OP_THROW);
    seen.answer = 0;
    before = engine->heap.Stats().collections;
    EXPECT_FALSE(Run(b));
    EXPECT_EQ(Message(), "oops");
    EXPECT_EQ(engine->heap.Stats().collections, before + 1);
    EXPECT_EQ(seen.calls, 2);
}

// A value popped off the stack is no root; code that reads its slot again without writing it
// (a local it never reserved) finds undefined after a collection, never the swept block.
TEST_F(Collector, SlotsBelowTheStackPointerAreClearedByACollection) {
    Assembler first;
    first.Function(".main");
    first.ConstS("abc").ConstS("def").Op(OP_ADD).Op(OP_POP).Op(OP_PUSHTRUE).Op(OP_RETURN);
    ASSERT_TRUE(Run(first)) << Message();
    Assembler second;
    second.Function(".main");
    second.Op(OP_LOADVAR, 0).Op(OP_RETURN);
    ASSERT_TRUE(Run(second)) << Message();
    EXPECT_EQ(Result().tag, uint32_t(TagUndefined));
}

TEST_F(Collector, ExhaustedHeapIsARuntimeErrorAndTheEngineRecovers) {
    // s = "xxxxxxxx"; for (;;) s = s + s;
    engine->heap.SetLimit(size_t(16) << 20);
    Assembler a;
    a.Function(".main");
    auto top = a.NewLabel();
    a.ConstS("xxxxxxxx").Global(OP_STOREGLOBAL, "s");
    a.Bind(top);
    a.Global(OP_LOADGLOBAL, "s").Op(OP_DUP).Op(OP_ADD).Global(OP_STOREGLOBAL, "s").Jump(OP_JUMP, top);
    EXPECT_FALSE(Run(a));
    EXPECT_EQ(Message(), "Runtime error: Out of memory");
    GlobalSlot(*engine, Intern(*engine, "s")) = MakeUndefined();
    Assembler b;
    b.Function(".main");
    b.ConstS("ok").ConstS("!").Op(OP_ADD).Op(OP_RETURN);
    ASSERT_TRUE(Run(b)) << Message();
    EXPECT_EQ(ResultText(), "ok!");
}

}  // namespace
}  // namespace nerva::test
