// CScriptEngine: one self-contained Nerva Script runtime (heap, atoms and globals, constant
// pool, value stack, class registrations, error state) and the host entry points that link
// and run compiled images, call script functions and read results and messages.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/heap.h"
#include "runtime/image.h"
#include "runtime/value.h"

namespace nerva {

constexpr size_t kDefaultStackSize = 4096;
constexpr size_t kMessageSize = 1024;
constexpr int kStackMargin = 10;

// Well-known atoms, interned first by every engine in this order.
enum WellKnownAtom : uint32_t {
    AtomProto = 0,      // "__proto__"
    AtomPrototype = 1,  // "prototype"
    AtomToSource = 2,   // "toSource"
    AtomToString = 3,   // "toString"
    AtomValueOf = 4,    // "valueOf"
};

enum EngineFlags : uint32_t {
    kEngineFlagOption = 0x1,
    kEngineWarnUndefinedVariables = 0x4,
};

// Hook called after every collection the interpreter starts (code 2); nonzero ends the run.
using HookFn = int (*)(int code, void* hookData);
using EngineTraceFn = void (*)(void* context, std::string_view line);

// With-scopes of one frame: a heap block of count, capacity and the values in entry order.
struct WithList {
    uint32_t count;
    uint32_t capacity;
    CScriptValue values[1];
};

// Native bookkeeping of one active call; the value stack keeps only values, so nothing a
// script does to its stack can reach a return address.
struct CallRecord {
    CScriptValue* fp;          // the frame marker slot; frame slot k is fp[1 + k]
    uint32_t* returnPc;  // null for the outermost frame of a run
    CCompiledFunction* fn;
    WithList* with;
    uint32_t frameSlots;  // this, count and argument slots the frame owns (count + 2, or ARGS's n)
    uint32_t added;       // argument slots the prologue added
    bool runBase;         // outermost frame of a run
    bool construct;       // called by NEW: the caller keeps `this`
};

struct CErrorHandler {
    bool script;            // a script `try` (else a host entry)
    CScriptValue* sp;       // stack pointer at the try
    uint32_t frame;         // index of the frame record
    uint32_t* catchPc;
};

struct CScriptHost;

struct EngineCompilerData {
    void* data = nullptr;
    void (*release)(void*) = nullptr;
};

using RegExpFactory = bool (*)(CScriptEngine& engine, uint32_t flags, const char16_t* pattern, uint32_t length,
                               CScriptValue& out);

class CScriptEngine {
public:
    CScriptEngine() = default;
    CScriptEngine(const CScriptEngine&) = delete;
    CScriptEngine& operator=(const CScriptEngine&) = delete;

    void* hostPointer = nullptr;
    CScriptHost* host = nullptr;  // the wrapper, when made by CreateHost
    uint32_t flags = 0;
    uint32_t compilerFlags = 0;

    // Constant pool of every linked unit, and the characters of its static strings.
    std::vector<CScriptValue> constants;
    std::vector<std::unique_ptr<char16_t[]>> constantText;
    std::unordered_map<std::string, CScriptValue> staticTexts;

    // Atoms: names by index, an open hash of indexes, and the global table (slot i = atom i).
    std::vector<std::string> atomNames;
    std::vector<uint32_t> atomHashes;
    std::vector<int32_t> atomTable;  // open addressing, -1 empty
    CScriptValue* globals = nullptr;
    uint32_t globalCount = 0;
    uint32_t globalCapacity = 0;

    uint32_t anonymousCounter = 0;

    // Value stack, growing toward lower addresses; sp designates the first free slot. Guard
    // areas below and above the nominal stack absorb a function's bounded excursions.
    CScriptValue* stackMemory = nullptr;
    CScriptValue* stackLow = nullptr;  // nominal bottom: overflow leaves 10 slots above it
    CScriptValue* stackHigh = nullptr; // one past the nominal top
    size_t stackSize = 0;
    size_t stackTotal = 0;
    CScriptValue* sp = nullptr;
    uint32_t* pc = nullptr;  // code address when control last left the interpreter loop

    CallRecord* frames = nullptr;
    uint32_t frameCount = 0;
    uint32_t frameCapacity = 0;
    int nesting = 0;  // interpreter invocations on the native stack

    CScriptClass* typeClasses[kTagCount] = {};

    CScriptHeap heap;
    std::vector<std::pair<uint32_t, void*>> markStack;
    std::vector<std::pair<CScriptValue*, size_t>> tempRoots;
    std::vector<CScriptClass*> classes;  // descriptors made by NewClass, kept for the engine's life

    std::vector<CErrorHandler> handlers;
    CScriptValue thrown{};
    bool thrownIsError = false;

    char message[kMessageSize] = {};
    std::string longMessage;
    CScriptValue lastResult{};

    HookFn hook = nullptr;
    void* hookData = nullptr;
    EngineTraceFn trace = nullptr;
    void* traceContext = nullptr;

    RegExpFactory regexpFactory = nullptr;
    EngineCompilerData compilerData;

#ifdef NERVA_INSTRUCTION_BUDGET
    // Fuzz builds only: loop iterations and calls left before "hook break", and a time limit,
    // since a turn may hand a native call work of any size (joining a huge array, say).
    uint64_t budget = 0;
    std::chrono::steady_clock::time_point budgetDeadline = std::chrono::steady_clock::time_point::max();
#endif
};

// Creation and destruction. CreateEngine returns null on failure.
CScriptEngine* CreateEngine(size_t stackSize, void* hostPointer, uint32_t flag);
void DestroyEngine(CScriptEngine* engine);

// Class registration: functions run at every engine creation, after the core classes.
using ClassRegistrar = void (*)(CScriptEngine& engine);
void AddClassRegistrar(ClassRegistrar registrar);
void RemoveClassRegistrar(ClassRegistrar registrar);
// The core classes (Object, Function, Array, String, Date, RegExp, Number, Boolean, Math and
// the global functions) register through this one function, which runtime/classes defines in
// runtime/classes/register_classes.cpp. When that file exists, runtime/CMakeLists.txt builds
// the folder, links it and CreateEngine calls this first, before the registrars above. It
// makes the classes with NewClass, binds them with DefineGlobalClass and makes the type
// classes with SetTypeClass (script_class.h); a RegExp class sets engine.regexpFactory so
// that regular-expression constants of linked images become RegExp values.
void RegisterCoreClasses(CScriptEngine& engine);

// Host entry points. Each returns true on success; a failed run leaves its text in the
// message buffer. None throws.
bool RunImage(CScriptEngine& engine, CCompiledScript& image);
bool RunBuffer(CScriptEngine& engine, const uint8_t* bytes, size_t length);
bool RunSource(CScriptEngine& engine, std::string_view text, uint32_t compileFlags);
bool RunFile(CScriptEngine& engine, const std::string& path, uint32_t compileFlags);
// Compiles a source file without looking at its extension or magic (evals).
bool RunSourceFile(CScriptEngine& engine, const std::string& path, uint32_t compileFlags);
// values[0] is the argument count as an integer value, values[1..] the arguments.
bool CallByName(CScriptEngine& engine, std::string_view name, const CScriptValue* values);
bool CallValue(CScriptEngine& engine, const CScriptValue& self, const CScriptValue& function,
               const CScriptValue* values);
bool CallMethodByName(CScriptEngine& engine, const CScriptValue& receiver, std::string_view method,
                      const CScriptValue* values);
const CScriptValue& LastResult(const CScriptEngine& engine);
const char* ErrorText(const CScriptEngine& engine);

// Runtime errors and throws from native code inside a run: never return.
[[noreturn]] void RaiseRuntimeError(CScriptEngine& engine);
[[noreturn]] void RaiseRuntimeError(CScriptEngine& engine, const char* format, ...);
[[noreturn]] void ThrowValue(CScriptEngine& engine, const CScriptValue& value);

// Trace output: a line through the engine's sink, else the process-wide one (port/trace_sink.h).
// Sinks receive the text without a line end; a trace file or window adds CR LF.
void Trace(CScriptEngine& engine, std::string_view text);
void Warn(CScriptEngine& engine, const char* format, ...);
void SetEngineTrace(CScriptEngine& engine, EngineTraceFn trace, void* context);
void SetHook(CScriptEngine& engine, HookFn hook, void* hookData);
void SetMessage(CScriptEngine& engine, std::string_view text);

// Atoms.
uint32_t Intern(CScriptEngine& engine, std::string_view name);
// -1 when the name was never interned.
int32_t FindAtom(const CScriptEngine& engine, std::string_view name);
int32_t FindAtom(const CScriptEngine& engine, const char16_t* chars, uint32_t length);
const std::string& AtomName(const CScriptEngine& engine, uint32_t atom);
uint32_t NameHash(std::string_view name);

CScriptValue& GlobalSlot(CScriptEngine& engine, uint32_t atom);

// Calls a function value from native code inside a run (events, conversions), or from any
// native entry such as a window procedure or timer: it is a protected call, so a script error
// never unwinds through the caller's frames; it becomes a false result. The result is
// written to result; false when the call failed (the error text is in the message buffer).
bool CallFromNative(CScriptEngine& engine, const CScriptValue& self, const CScriptValue& function,
                    const CScriptValue* values, CScriptValue& result);

// The function name at a linked code address (".main" when the address is in no active
// function), and the source name and line there (0 and "" when the function has no line table).
const char* FunctionNameAt(const CScriptEngine& engine, const uint32_t* pc);
uint32_t SourceLineAt(const CScriptEngine& engine, const uint32_t* pc, std::string* sourceName);

}  // namespace nerva
