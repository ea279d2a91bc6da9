// The meeting point of the engine and the compiler. The engine compiles source text (for
// RunSource, RunFile, eval, evals and new Function) through whatever compiler is installed
// here; the compiler library installs itself, so the runtime never depends on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nerva {

class CScriptEngine;

// Compile option flags, as the compile entry takes them.
enum CompileFlags : uint32_t {
    kCompileDebugInfo = 0x4,
    kCompileOptimizePasses = 0x1E0,  // always added by the compile entry
    kCompileWarnMissingSemicolon = 0x100000,
    kCompileWarnLineTerminators = 0x200000,
};

struct SourceCompiler {
    // Compile source text (ending at its first NUL, if any) into an "NS1b" image. On failure
    // return false; the diagnostics are then already in the engine's messages.
    bool (*compileText)(CScriptEngine& engine, std::string_view text, uint32_t flags, std::vector<uint8_t>& image);
    // The same for a source file; a file that cannot be opened adds
    // "can't open the script file: PATH\n" to the engine's message buffer.
    bool (*compileFile)(CScriptEngine& engine, const std::string& path, uint32_t flags, std::vector<uint8_t>& image);
};

// Installs the compiler every engine uses (nullptr: none; source cannot then be run).
void InstallSourceCompiler(const SourceCompiler* compiler);
const SourceCompiler* InstalledSourceCompiler();

// The engine's diagnostics, as the compiler hands them over at the end of a compilation:
// a text shorter than 1023 characters replaces the 1024-byte message buffer, a longer one
// goes whole into the engine's long-message copy and leaves the buffer as it was.
void SetCompilerMessages(CScriptEngine& engine, std::string_view text);
// Appends to the message buffer (kept NUL-terminated within its 1024 bytes).
void AppendEngineMessage(CScriptEngine& engine, std::string_view text);
// Drops the long-message copy of an earlier compilation.
void FreeLongMessage(CScriptEngine& engine);
// The anonymous-function counter the linker uses to rename "@F_" functions.
uint32_t AnonymousFunctionCounter(const CScriptEngine& engine);

}  // namespace nerva
