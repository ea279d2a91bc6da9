// What the engine's own files share: the unwinding exception, protected regions, the
// compiled-function record and the interpreter entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/engine.h"
#include "runtime/script_class.h"

namespace nerva {

// The one non-local exit of the runtime: thrown by ThrowValue and RaiseRuntimeError, caught
// by the interpreter (script try) and by protected regions (host entries). It carries
// nothing; the thrown value and message live in the engine.
struct CScriptUnwind {};

struct LineEntry {
    uint32_t word;  // code word offset
    uint32_t line;
};

// One operand of a fused sequence: a frame slot (fp + offset: a local or an argument) or an
// integer constant held here.
struct FusedSource {
    int32_t offset;
    bool constant;
    CScriptValue value;
};

// A sequence of instructions the linker recognised and the interpreter runs as one step. The
// first instruction's opcode word holds the fused opcode and, in its upper 24 bits, the index
// of this record; every other word stays as it was, so a jump into the middle of the sequence
// runs the plain instructions. When an operand is not what the fast path handles, the first
// instruction runs on its own (firstOp) and the rest follow one by one.
struct FusedOp {
    FusedSource a, b, c;
    uint8_t op;        // the arithmetic opcode of the sequence
    uint8_t firstOp;   // opcode of the first instruction
    int32_t store;     // arithmetic with store: fp offset of the variable
    uint32_t skip;     // words from the first operand word to the instruction after the sequence
    int32_t rel;       // compare-and-branch: branch distance from there; loop step: distance
                       // from the first operand word to the loop body
    int32_t exit;      // loop step: distance from the first operand word to the loop's exit
};

struct CCompiledFunction {
    FinalizerFn finalize;
    std::string* name;
    uint32_t* words;
    uint32_t wordCount;
    std::string* sourceName;   // null without a debug section
    std::vector<LineEntry>* lines;
    uint32_t stackNeed;        // slots below the frame this function can reach between checks
    uint32_t entryNeed;        // free slots above the stack memory a call needs (both limits)
    FusedOp* fused;            // records of the fused sequences in words (null when none)
};

// How far a function's code may pop above its frame (checked by the linker), and the room
// above a new frame that a call therefore needs: code that already popped above its own
// frame cannot stack another frame's excursion on top of that.
constexpr int kMaxFrameRise = 1024;
constexpr int kFrameRiseRoom = kMaxFrameRise + 160;

// Linked-code opcodes of the interpreter's own, never read from an image: fused sequences
// the linker recognises. Image bytes that are not instructions link as kOpInvalid.
enum InternalOpcode : uint8_t {
    kOpInvalid = 0x00,
    kOpPrologue = 0x80,       // LOADARG 1, ADD2, ARGS n at a function's start
    kOpArith = 0x81,          // a, b, ADD..BITXOR: pushes the result
    kOpArithStore = 0x82,     // a, b, ADD..BITXOR, STOREVAR/STOREARG
    kOpArithTop = 0x83,       // b, ADD..BITXOR with the left operand on the stack
    kOpGetIndex = 0x84,       // a, b, GETINDEX
    kOpGetIndexTop = 0x85,    // b, GETINDEX with the container on the stack
    kOpSetIndex = 0x86,       // a, b, SETINDEX with the value on the stack
    kOpSetIndexValue = 0x87,  // c, a, b, SETINDEX: value, container and index all operands
    kOpGetMember = 0x88,      // a, GETMEMBER
    kOpAddStore = 0x89,       // kOpArithStore of ADD with two slots
    kOpAddStoreConst = 0x8A,  // kOpArithStore of ADD with a slot and a constant
    kOpAddTop = 0x8B,         // kOpArithTop of ADD with a slot
    kOpAddTopConst = 0x8C,    // kOpArithTop of ADD with a constant
    // a, b, comparison, conditional jump, as "branch unless a OP b" (a jump on true is linked
    // as the opposite comparison): LT, LE, GT, GE, EQ, NE of two slots, then the same six of
    // a slot and a constant.
    kOpCompareJump = 0x90,
    // A JUMP whose target is one of those twelve: the jump and the comparison in one step,
    // in the same order.
    kOpJumpCompare = 0xA0,
    // The step at the end of a counted loop: an ADD stored into the variable that the loop's
    // test then compares (kOpAddStore or kOpAddStoreConst, the JUMP back, the test), in the
    // order of the twelve tests, first with a slot, then with a constant increment.
    kOpLoopStep = 0xB0,
    // b, comparison, conditional jump with the left operand on the stack: the twelve tests
    // again, first with a slot, then with a constant on the right.
    kOpTopCompareJump = 0xC8,
};

CCompiledFunction* NewCompiledFunction(CScriptEngine& engine);

// Runs body inside a protected region: handler chained, message and last result cleared,
// failure reported as false with the text in the message buffer; the stack and handler chain
// are restored in every case.
template <typename Body>
bool Protected(CScriptEngine& engine, Body&& body);
bool ProtectedRegion(CScriptEngine& engine, void (*body)(CScriptEngine&, void*), void* context, bool clear);

// Pushes a call of a script function and interprets it until it returns; result receives
// the value. Inside a protected region only.
void RunFunction(CScriptEngine& engine, CScriptFunction* function, const CScriptValue& self,
                 const CScriptValue* values, CScriptValue& result);

// Links an image into the engine and returns its main function (null when it has none).
CScriptFunction* LinkImage(CScriptEngine& engine, CCompiledScript& image);

// Calls a callable value (script function or host value with onCall) from native code
// inside a run, without a protected region of its own: errors propagate.
void InvokeValue(CScriptEngine& engine, const CScriptValue& self, const CScriptValue& function,
                 const CScriptValue* values, CScriptValue& result);

// Mark roots and collect; called by the interpreter with the engine's sp current.
void CollectAtSafePoint(CScriptEngine& engine);

void SetMessageText(CScriptEngine& engine, const char* text);
// (Re)allocates the value stack with a guard of that many slots below it; only when idle.
bool AllocateStack(CScriptEngine& engine, size_t guardBelow);

template <typename Body>
bool Protected(CScriptEngine& engine, Body&& body) {
    return ProtectedRegion(
        engine, [](CScriptEngine&, void* ctx) { (*static_cast<Body*>(ctx))(); }, &body, true);
}

}  // namespace nerva
