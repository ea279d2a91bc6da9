// The engine record: creation and destruction, atoms and globals, messages, trace output,
// runtime errors and the protected regions that wrap every host entry point.
#include "runtime/engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "port/trace_sink.h"
#include "runtime/compiler_hook.h"
#include "runtime/engine_internal.h"
#include "runtime/object.h"

namespace nerva {

namespace {

// Guard areas around the nominal stack: a function's statically bounded excursions above
// its frame and between overflow checks below it land in them, never outside the array.
constexpr size_t kGuardAbove = 1536;
constexpr size_t kGuardBelow = 4096;

std::vector<ClassRegistrar>& Registrars() {
    static std::vector<ClassRegistrar> list;
    return list;
}

const SourceCompiler* g_compiler = nullptr;

}  // namespace

// ---- atoms -----------------------------------------------------------------------------

uint32_t NameHash(std::string_view name) {
    uint32_t h = 0;
    for (unsigned char c : name) h = (h >> 7) ^ (h >> 16) ^ c ^ (h << 5);
    return h;
}

namespace {

uint32_t Mix(uint32_t h) { return h * 0x9E3779B1u; }

void RehashAtoms(CScriptEngine& e, size_t size) {
    e.atomTable.assign(size, -1);
    for (size_t i = 0; i < e.atomNames.size(); ++i) {
        size_t mask = size - 1, pos = Mix(e.atomHashes[i]) & mask;
        while (e.atomTable[pos] >= 0) pos = (pos + 1) & mask;
        e.atomTable[pos] = int32_t(i);
    }
}

template <typename Eq>
int32_t Probe(const CScriptEngine& e, uint32_t hash, Eq eq) {
    if (e.atomTable.empty()) return -1;
    size_t mask = e.atomTable.size() - 1, pos = Mix(hash) & mask;
    for (;;) {
        int32_t a = e.atomTable[pos];
        if (a < 0) return -1;
        if (e.atomHashes[size_t(a)] == hash && eq(e.atomNames[size_t(a)])) return a;
        pos = (pos + 1) & mask;
    }
}

void GrowGlobals(CScriptEngine& e, uint32_t needed) {
    if (needed <= e.globalCapacity) return;
    uint32_t cap = e.globalCapacity;
    while (cap < needed) cap += 1024;
    auto* g = static_cast<CScriptValue*>(std::realloc(e.globals, size_t(cap) * sizeof(CScriptValue)));
    if (!g) throw std::bad_alloc();
    for (uint32_t i = e.globalCapacity; i < cap; ++i) g[i] = MakeUndefined();
    e.globals = g;
    e.globalCapacity = cap;
}

}  // namespace

int32_t FindAtom(const CScriptEngine& e, std::string_view name) {
    return Probe(e, NameHash(name), [&](const std::string& s) { return s == name; });
}

int32_t FindAtom(const CScriptEngine& e, const char16_t* chars, uint32_t length) {
    bool ascii = true;
    uint32_t h = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (chars[i] >= 0x80) {
            ascii = false;
            break;
        }
        h = (h >> 7) ^ (h >> 16) ^ uint32_t(chars[i]) ^ (h << 5);
    }
    if (!ascii) {
        CScriptString tmp{0, length, const_cast<char16_t*>(chars), nullptr};
        return FindAtom(e, ToNarrow(&tmp));
    }
    return Probe(e, h, [&](const std::string& s) {
        if (s.size() != length) return false;
        for (uint32_t i = 0; i < length; ++i)
            if (static_cast<unsigned char>(s[i]) != chars[i]) return false;
        return true;
    });
}

uint32_t Intern(CScriptEngine& e, std::string_view name) {
    uint32_t h = NameHash(name);
    int32_t found = Probe(e, h, [&](const std::string& s) { return s == name; });
    if (found >= 0) return uint32_t(found);
    uint32_t index = uint32_t(e.atomNames.size());
    GrowGlobals(e, index + 1);
    e.atomNames.emplace_back(name);
    e.atomHashes.push_back(h);
    e.globalCount = index + 1;
    if ((e.atomNames.size() + 1) * 2 > e.atomTable.size()) {
        RehashAtoms(e, e.atomTable.empty() ? 1024 : e.atomTable.size() * 2);
    } else {
        size_t mask = e.atomTable.size() - 1, pos = Mix(h) & mask;
        while (e.atomTable[pos] >= 0) pos = (pos + 1) & mask;
        e.atomTable[pos] = int32_t(index);
    }
    return index;
}

const std::string& AtomName(const CScriptEngine& e, uint32_t atom) {
    static const std::string unknown = "???";
    return atom < e.atomNames.size() ? e.atomNames[atom] : unknown;
}

CScriptValue& GlobalSlot(CScriptEngine& e, uint32_t atom) { return e.globals[atom]; }

// ---- messages, trace -------------------------------------------------------------------

void SetMessageText(CScriptEngine& e, const char* text) {
    size_t n = std::min(std::strlen(text), kMessageSize - 1);
    std::memmove(e.message, text, n);
    e.message[n] = 0;
}

void SetMessage(CScriptEngine& e, std::string_view text) {
    size_t n = std::min(text.size(), kMessageSize - 1);
    std::memmove(e.message, text.data(), n);
    e.message[n] = 0;
}

void SetCompilerMessages(CScriptEngine& e, std::string_view text) {
    if (text.size() < kMessageSize - 1)
        SetMessage(e, text);
    else
        e.longMessage.assign(text);
}

void AppendEngineMessage(CScriptEngine& e, std::string_view text) {
    size_t used = std::strlen(e.message);
    size_t n = std::min(text.size(), kMessageSize - 1 - used);
    std::memcpy(e.message + used, text.data(), n);
    e.message[used + n] = 0;
}

void FreeLongMessage(CScriptEngine& e) { std::string().swap(e.longMessage); }

uint32_t AnonymousFunctionCounter(const CScriptEngine& e) { return e.anonymousCounter; }

void InstallSourceCompiler(const SourceCompiler* compiler) { g_compiler = compiler; }
const SourceCompiler* InstalledSourceCompiler() { return g_compiler; }

void Trace(CScriptEngine& e, std::string_view text) {
    if (e.trace)
        e.trace(e.traceContext, text);
    else
        vantor::TraceLine(text);
}

void Warn(CScriptEngine& e, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    Trace(e, buffer);
}

void SetEngineTrace(CScriptEngine& e, EngineTraceFn trace, void* context) {
    e.trace = trace;
    e.traceContext = context;
}

void SetHook(CScriptEngine& e, HookFn hook, void* hookData) {
    e.hook = hook;
    e.hookData = hookData;
}

// ---- errors ----------------------------------------------------------------------------

void RaiseRuntimeError(CScriptEngine& e) {
    char text[kMessageSize];
    std::snprintf(text, sizeof text, "Runtime error: %.1008s", e.message);
    SetMessageText(e, text);
    e.thrownIsError = true;
    e.thrown = MakeUndefined();
    if (!e.handlers.empty() && e.handlers.back().script) {
        // The text becomes the value a script catch receives; without memory for it the
        // catch receives undefined rather than failing a second time.
        size_t n = std::strlen(e.message);
        if (void* block = e.heap.TryAlloc(sizeof(CScriptString) + n * 2)) {
            auto* s = static_cast<CScriptString*>(block);
            s->flags = 0;
            s->length = uint32_t(n);
            s->chars = reinterpret_cast<char16_t*>(s + 1);
            s->props = nullptr;
            for (size_t i = 0; i < n; ++i) s->chars[i] = char16_t(static_cast<unsigned char>(e.message[i]));
            e.thrown = MakeStringValue(s);
        }
    }
    throw CScriptUnwind{};
}

void RaiseRuntimeError(CScriptEngine& e, const char* format, ...) {
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    SetMessageText(e, text);
    RaiseRuntimeError(e);
}

void ThrowValue(CScriptEngine& e, const CScriptValue& value) {
    e.thrown = value;
    e.thrownIsError = false;
    throw CScriptUnwind{};
}

// ---- protected regions -----------------------------------------------------------------

bool ProtectedRegion(CScriptEngine& e, void (*body)(CScriptEngine&, void*), void* context, bool clear) {
    size_t handlerBase = e.handlers.size();
    CScriptValue* savedSp = e.sp;
    uint32_t savedFrames = e.frameCount;
    try {
        e.handlers.push_back({false, nullptr, 0, nullptr});
    } catch (const std::bad_alloc&) {
        SetMessageText(e, "Out of memory");
        return false;
    }
    if (clear) {
        e.message[0] = 0;
        e.lastResult = MakeUndefined();
    }
    bool ok = false;
    bool convertThrown = false;
    try {
        body(e, context);
        ok = true;
    } catch (const CScriptUnwind&) {
        convertThrown = !e.thrownIsError;
    } catch (const std::bad_alloc&) {
        SetMessageText(e, "Runtime error: Out of memory");
    }
    e.handlers.resize(handlerBase);
    e.sp = savedSp;
    e.frameCount = savedFrames;
    if (convertThrown) {
        // A value thrown out of the script: its text becomes the message. The conversion may
        // call the value's toString, which runs in a region of its own.
        CScriptValue thrown = e.thrown;
        CValueRoot root(e, &thrown);
        std::string text;
        struct Ctx {
            CScriptValue* value;
            std::string* text;
        } ctx{&thrown, &text};
        bool converted = ProtectedRegion(
            e,
            [](CScriptEngine& eng, void* c) {
                auto* x = static_cast<Ctx*>(c);
                *x->text = ToNarrow(ToString(eng, *x->value));
            },
            &ctx, false);
        if (!converted) text = "object";
        SetMessage(e, text);
    }
    e.thrown = MakeUndefined();
    e.thrownIsError = false;
    return ok;
}

// ---- creation and destruction ----------------------------------------------------------

void AddClassRegistrar(ClassRegistrar registrar) {
    auto& list = Registrars();
    if (std::find(list.begin(), list.end(), registrar) == list.end()) list.push_back(registrar);
}

void RemoveClassRegistrar(ClassRegistrar registrar) {
    auto& list = Registrars();
    list.erase(std::remove(list.begin(), list.end(), registrar), list.end());
}

namespace {

void FreeEngine(CScriptEngine* e) {
    // Every finalizer runs with nothing marked: host data is released, compiled functions
    // free their code.
    e->heap.Sweep(*e);
    for (CScriptClass* cls : e->classes) {
        if (cls->freeClassData) cls->freeClassData(cls->classData);
        delete cls;
    }
    if (e->compilerData.release) e->compilerData.release(e->compilerData.data);
    std::free(e->globals);
    delete[] e->stackMemory;
    delete[] e->frames;
    delete e;
}

}  // namespace

bool AllocateStack(CScriptEngine& e, size_t guardBelow) {
    size_t total = guardBelow + e.stackSize + kGuardAbove;
    auto* memory = new (std::nothrow) CScriptValue[total];
    if (!memory) return false;
    for (size_t i = 0; i < total; ++i) memory[i] = MakeUndefined();
    size_t frames = total / 4 + 16;
    auto* records = new (std::nothrow) CallRecord[frames];
    if (!records) {
        delete[] memory;
        return false;
    }
    delete[] e.stackMemory;
    delete[] e.frames;
    e.stackMemory = memory;
    e.stackTotal = total;
    e.stackLow = memory + guardBelow;
    e.stackHigh = e.stackLow + e.stackSize;
    e.sp = e.stackHigh - 1;
    e.frames = records;
    e.frameCapacity = uint32_t(frames);
    e.frameCount = 0;
    return true;
}

CScriptEngine* CreateEngine(size_t stackSize, void* hostPointer, uint32_t flag) {
    auto* e = new (std::nothrow) CScriptEngine;
    if (!e) return nullptr;
    e->hostPointer = hostPointer;
    e->flags = (flag & kEngineFlagOption) | kEngineWarnUndefinedVariables;
    e->stackSize = stackSize < 64 ? 64 : stackSize;
    if (!AllocateStack(*e, kGuardBelow)) {
        delete e;
        return nullptr;
    }
    bool ok = Protected(*e, [&] {
        static const char* const kWellKnown[] = {"__proto__", "prototype", "toSource", "toString", "valueOf"};
        for (const char* name : kWellKnown) Intern(*e, name);
#ifdef NERVA_HAVE_CORE_CLASSES
        RegisterCoreClasses(*e);
#endif
        for (ClassRegistrar r : Registrars()) r(*e);
    });
    if (!ok) {
        FreeEngine(e);
        return nullptr;
    }
    return e;
}

void DestroyEngine(CScriptEngine* e) {
    if (e) FreeEngine(e);
}

const CScriptValue& LastResult(const CScriptEngine& e) { return e.lastResult; }
const char* ErrorText(const CScriptEngine& e) { return e.message; }

}  // namespace nerva
