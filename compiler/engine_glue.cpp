// Installs the compiler into the engine (runtime/compiler_hook.h): the engine compiles source
// for RunSource, RunFile, eval, evals and new Function through these two entries, and reads
// the diagnostics from its message buffer afterwards.
#include "compiler/compiler.h"
#include "runtime/compiler_hook.h"

namespace nerva {

namespace {

bool CompileTextForEngine(CScriptEngine& engine, std::string_view text, uint32_t flags, std::vector<uint8_t>& image) {
    FreeLongMessage(engine);
    CompileResult r = CompileText(text, flags);
    SetCompilerMessages(engine, r.messages);
    if (r.ok) image = std::move(r.image);
    return r.ok;
}

bool CompileFileForEngine(CScriptEngine& engine, const std::string& path, uint32_t flags, std::vector<uint8_t>& image) {
    CompileResult r = CompileFile(path, flags);
    if (!r.opened) {
        // An unopenable file adds its line to what the buffer already holds.
        AppendEngineMessage(engine, r.messages);
        return false;
    }
    FreeLongMessage(engine);
    SetCompilerMessages(engine, r.messages);
    if (r.ok) image = std::move(r.image);
    return r.ok;
}

const SourceCompiler kCompiler = {CompileTextForEngine, CompileFileForEngine};

}  // namespace

void InstallCompiler() { InstallSourceCompiler(&kCompiler); }

}  // namespace nerva
