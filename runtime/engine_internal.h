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

struct CCompiledFunction {
    FinalizerFn finalize;
    std::string* name;
    uint32_t* words;
    uint32_t wordCount;
    std::string* sourceName;   // null without a debug section
    std::vector<LineEntry>* lines;
    uint32_t stackNeed;        // slots below the frame this function can reach between checks
    uint32_t entryNeed;        // free slots above the stack memory a call needs (both limits)
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
    kOpPrologue = 0x80,  // LOADARG 1, ADD2, ARGS n at a function's start
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
