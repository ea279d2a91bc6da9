// Host entry points: linking and running images, running source through the installed
// compiler, calls by name and by value, and the thin host wrapper with eval and evals.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/compiler_hook.h"
#include "runtime/engine.h"
#include "runtime/engine_internal.h"
#include "runtime/host.h"
#include "runtime/member.h"
#include "runtime/object.h"
#include "runtime/script_class.h"

namespace nerva {

namespace {

const CScriptValue kNoArgs[1] = {MakeInt(0)};

// The end of a run, inside its protected region: the collector runs with the run's result as
// a root, and the hook hears of it as of any other collection; its nonzero answer fails the
// run ("hook break"). Nested runs leave collecting to the outermost one.
struct RunEnd {
    CScriptEngine& e;
    bool collected = false;
    void Collect() {
        if (e.nesting != 0) return;
        collected = true;
        CollectAtSafePoint(e);
    }
    // A run that failed before its end still gives back what it left behind.
    void AfterFailure() {
        if (!collected && e.nesting == 0) nerva::Collect(e);
    }
};

void RunMain(CScriptEngine& e, CCompiledScript& image, RunEnd& end) {
    if (CScriptFunction* main = LinkImage(e, image)) {
        CScriptValue result;
        RunFunction(e, main, MakeNull(), kNoArgs, result);
    }
    end.Collect();
}

bool RunImageRegion(CScriptEngine& e, CCompiledScript& image) {
    RunEnd end{e};
    bool ok = Protected(e, [&] { RunMain(e, image, end); });
    if (!ok) end.AfterFailure();
    return ok;
}

bool RunCompiled(CScriptEngine& e, const std::vector<uint8_t>& bytes) {
    std::unique_ptr<CCompiledScript, void (*)(CCompiledScript*)> image(ReadImageBuffer(bytes.data(), bytes.size()),
                                                                       &FreeImage);
    if (!image) return false;
    return RunImageRegion(e, *image);
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = s[s.size() - n + i], b = suffix[i];
        if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool RunImageFile(CScriptEngine& e, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    CCompiledScript* image = ReadImageFile(f);
    std::fclose(f);
    if (!image) return false;
    bool ok = RunImageRegion(e, *image);
    FreeImage(image);
    return ok;
}

}  // namespace

bool RunImage(CScriptEngine& e, CCompiledScript& image) { return RunImageRegion(e, image); }

bool RunBuffer(CScriptEngine& e, const uint8_t* bytes, size_t length) {
    CCompiledScript* image = ReadImageBuffer(bytes, length);
    if (!image) return false;
    bool ok = RunImageRegion(e, *image);
    FreeImage(image);
    return ok;
}

bool RunSource(CScriptEngine& e, std::string_view text, uint32_t flags) {
    const SourceCompiler* compiler = InstalledSourceCompiler();
    if (!compiler) {
        SetMessage(e, "no script compiler is installed");
        return false;
    }
    std::vector<uint8_t> image;
    if (!compiler->compileText(e, text, flags, image)) return false;
    return RunCompiled(e, image);
}

bool RunSourceFile(CScriptEngine& e, const std::string& path, uint32_t flags) {
    const SourceCompiler* compiler = InstalledSourceCompiler();
    if (!compiler) {
        SetMessage(e, "no script compiler is installed");
        return false;
    }
    std::vector<uint8_t> image;
    if (!compiler->compileFile(e, path, flags, image)) return false;
    return RunCompiled(e, image);
}

bool RunFile(CScriptEngine& e, const std::string& path, uint32_t flags) {
    if (EndsWithNoCase(path, ".nsc")) return RunImageFile(e, path);
    if (EndsWithNoCase(path, ".nvs")) return RunSourceFile(e, path, flags);
    // Any other name: the first bytes after an optional "#" line decide.
    bool image = false;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        int c = std::fgetc(f);
        if (c == '#') {
            while (c != EOF && c != '\n') c = std::fgetc(f);
        } else if (c != EOF) {
            std::ungetc(c, f);
        }
        unsigned char magic[4];
        image = c != EOF && std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "NS1b", 4) == 0;
        std::fclose(f);
    }
    return image ? RunImageFile(e, path) : RunSourceFile(e, path, flags);
}

void InvokeValue(CScriptEngine& e, const CScriptValue& self, const CScriptValue& function, const CScriptValue* values,
                 CScriptValue& result) {
    const CScriptValue* args = values ? values : kNoArgs;
    if (function.tag == TagFunction) {
        RunFunction(e, function.fn, self, args, result);
        return;
    }
    if (function.tag == TagHost && function.h->cls && function.h->cls->onCall) {
        CScriptValue rooted[2] = {function, MakeUndefined()};
        CValueRoot root(e, rooted, 2);
        function.h->cls->onCall(e, function.h->cls, function.h->data, &rooted[1], CArgBlock(args));
        result = rooted[1];
        e.lastResult = result;
        return;
    }
    Warn(e, "Warning: call a undefined function");
    result = MakeUndefined();
}

bool CallValue(CScriptEngine& e, const CScriptValue& self, const CScriptValue& function, const CScriptValue* values) {
    bool callable = function.tag == TagFunction ||
                    (function.tag == TagHost && function.h->cls && function.h->cls->onCall);
    if (!callable) {
        // Nothing runs: the host learns why from the message, as for an unknown method.
        SetMessageText(e, "Warning: call a undefined function");
        e.lastResult = MakeUndefined();
        return false;
    }
    CScriptValue held[2] = {self, function};
    CValueRoot root(e, held, 2);
    RunEnd end{e};
    bool ok = Protected(e, [&] {
        CScriptValue result;
        InvokeValue(e, held[0], held[1], values, result);
        e.lastResult = result;
        end.Collect();
    });
    if (!ok) end.AfterFailure();
    return ok;
}

bool CallByName(CScriptEngine& e, std::string_view name, const CScriptValue* values) {
    int32_t atom = FindAtom(e, name);
    CScriptValue fn = atom >= 0 ? e.globals[atom] : MakeUndefined();
    return CallValue(e, MakeNull(), fn, values);
}

bool CallMethodByName(CScriptEngine& e, const CScriptValue& receiver, std::string_view method,
                      const CScriptValue* values) {
    CScriptValue held[2] = {receiver, MakeUndefined()};
    CValueRoot root(e, held, 2);
    bool known = true;
    RunEnd end{e};
    bool ok = Protected(e, [&] {
        const CScriptValue* args = values ? values : kNoArgs;
        uint32_t atom = Intern(e, method);
        CScriptFunction* fn = nullptr;
        MethodResult r = ResolveMethod(e, &held[0], atom, args, &held[1], &fn);
        if (r == MethodResult::Native) {
            e.lastResult = held[1];
        } else if (r == MethodResult::Script) {
            CScriptValue result;
            RunFunction(e, fn, held[0], args, result);
        } else {
            known = false;
        }
        end.Collect();
    });
    if (!ok) end.AfterFailure();
    if (!known) {
        char text[kMessageSize];
        std::snprintf(text, sizeof text, "Warning: unknown method \"%.*s\"", int(method.size()), method.data());
        SetMessageText(e, text);
        return false;
    }
    return ok;
}

bool CallFromNative(CScriptEngine& e, const CScriptValue& self, const CScriptValue& function,
                    const CScriptValue* values, CScriptValue& result) {
    CScriptValue held[3] = {self, function, MakeUndefined()};
    CValueRoot root(e, held, 3);
    bool ok = Protected(e, [&] { InvokeValue(e, held[0], held[1], values, held[2]); });
    result = ok ? held[2] : MakeUndefined();
    return ok;
}

const char* FunctionNameAt(const CScriptEngine& e, const uint32_t* pc) {
    for (uint32_t i = e.frameCount; i-- > 0;) {
        const CCompiledFunction* f = e.frames[i].fn;
        if (f && f->words && pc >= f->words && pc < f->words + f->wordCount) return f->name->c_str();
    }
    return ".main";
}

uint32_t SourceLineAt(const CScriptEngine& e, const uint32_t* pc, std::string* sourceName) {
    for (uint32_t i = e.frameCount; i-- > 0;) {
        const CCompiledFunction* f = e.frames[i].fn;
        if (!f || !f->words || pc < f->words || pc >= f->words + f->wordCount) continue;
        if (sourceName) *sourceName = f->sourceName ? *f->sourceName : std::string();
        if (!f->lines) return 0;
        uint32_t offset = uint32_t(pc - f->words), line = 0;
        for (const LineEntry& entry : *f->lines) {
            if (entry.word > offset) break;
            line = entry.line;
        }
        return line;
    }
    if (sourceName) sourceName->clear();
    return 0;
}

// ---- host wrapper ----------------------------------------------------------------------

uint32_t CompileFlagsFromOptions(uint32_t options) {
    uint32_t flags = 0;
    if (options & 0x20) flags |= kCompileDebugInfo;
    if (options & 0x1000) flags |= kCompileWarnMissingSemicolon;
    if (options & 0x2000) flags |= kCompileWarnLineTerminators;
    if (options & 0x8000) flags |= 0x20;
    if (options & 0x10000) flags |= 0x40;
    if (options & 0x20000) flags |= 0x80;
    if (options & 0x40000) flags |= 0x100;
    return flags;
}

namespace {

CScriptHost* HostOf(CScriptEngine& e) { return e.host; }

uint32_t HostCompileFlags(CScriptEngine& e) {
    CScriptHost* host = HostOf(e);
    return host ? CompileFlagsFromOptions(host->options.flags) : 0;
}

// eval and evals: a nested run in this engine; the result is that run's last result.
void EvalCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = MakeUndefined();
    if (args.Count() < 1) return;
    const CScriptValue& x = args[0];
    if (x.tag != TagString) {
        *result = x;
        return;
    }
    std::string text = ToNarrow(x.s);
    if (RunSource(e, text, HostCompileFlags(e))) *result = e.lastResult;
}

void EvalsCall(CScriptEngine& e, CScriptClass*, void*, CScriptValue* result, const CArgBlock& args) {
    *result = MakeUndefined();
    if (args.Count() < 1 || args[0].tag != TagString) return;
    std::string path = ToNarrow(args[0].s);
    if (RunSourceFile(e, path, HostCompileFlags(e))) *result = e.lastResult;
}

int FunctionText(CScriptEngine& e, CScriptClass*, void*, uint32_t atom, CScriptValue* result, const CArgBlock&) {
    if (atom != AtomToString) return 0;
    *result = StaticText(e, "[type Function]");
    return 1;
}

void DefineGlobalFunction(CScriptEngine& e, const char* name, OnCallFn call) {
    CScriptClass* cls = NewClass(e);
    cls->onCall = call;
    cls->onMethod = &FunctionText;
    DefineGlobalClass(e, name, cls);
}

}  // namespace

CScriptHost* CreateHost(const CHostOptions* options) {
    CHostOptions opts = options ? *options : CHostOptions{};
    auto* host = new (std::nothrow) CScriptHost;
    if (!host) return nullptr;
    host->options = opts;
    CScriptEngine* e = CreateEngine(opts.stackSize, opts.hostPointer, opts.flags & 0x2);
    if (!e) {
        delete host;
        return nullptr;
    }
    e->flags |= (opts.flags >> 1) & 0x6;
    if (opts.flags & 0x200)
        e->flags |= kEngineWarnUndefinedVariables;
    else
        e->flags &= ~uint32_t(kEngineWarnUndefinedVariables);
    e->compilerFlags = opts.flags & 0x3;
    e->hook = opts.hook;
    e->hookData = opts.hookData;
    host->engine = e;
    e->host = host;
    bool ok = Protected(*e, [&] {
        DefineGlobalFunction(*e, "eval", &EvalCall);
        DefineGlobalFunction(*e, "evals", &EvalsCall);
    });
    if (!ok) {
        DestroyEngine(e);
        delete host;
        return nullptr;
    }
    return host;
}

void DestroyHost(CScriptHost* host) {
    if (!host) return;
    DestroyEngine(host->engine);
    delete host;
}

bool RunSource(CScriptHost& host, std::string_view text) {
    return RunSource(*host.engine, text, CompileFlagsFromOptions(host.options.flags));
}

bool RunFile(CScriptHost& host, const std::string& path) {
    return RunFile(*host.engine, path, CompileFlagsFromOptions(host.options.flags));
}

bool RunBuffer(CScriptHost& host, const uint8_t* bytes, size_t length) { return RunBuffer(*host.engine, bytes, length); }

}  // namespace nerva
