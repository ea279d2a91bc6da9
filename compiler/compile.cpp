// The compile entry: runs lexer and parser, code generator, optimizer and writer in turn over
// one source stream, and collects the diagnostics. An error ends the compilation at once by
// unwinding to here.
#include <cstdarg>
#include <cstdio>

#include "compiler/compiler_internal.h"

namespace nerva {

namespace {

constexpr uint32_t kAllPasses = 0x1E0;
constexpr uint32_t kDebugInfo = 0x4;
constexpr uint32_t kWarnMissingSemicolon = 0x100000;
constexpr uint32_t kWarnLineTerminators = 0x200000;

void Diagnostic(CScriptStream& out, const char* kind, int line, const char* format, va_list ap) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, ap);
    out.Write("sasss", kind, line, ": ", text, "\r\n");
}

std::string MessagesOf(CScriptCompiler& c) {
    const std::vector<uint8_t>& b = c.messages->buffer();
    return std::string(b.begin(), b.end());
}

CompileResult Compile(std::unique_ptr<CScriptStream> source, uint32_t flags, const CompileOptions& options,
                      size_t sourceSize) {
    CScriptCompiler c;
    c.sourceSize = sourceSize;
    flags |= kAllPasses;
    c.debugInfo = flags & kDebugInfo;
    c.warnMissingSemicolon = flags & kWarnMissingSemicolon;
    c.warnLineTerminators = flags & kWarnLineTerminators;
    c.passes = flags & kAllPasses;
    c.sourceName = source->name();
    c.source = std::move(source);
    c.messages = CScriptStream::Open({}, kStreamWriteMemory);
    CompileResult result;
    try {
        GenerateBegin(c);
        ParseProgram(c);
        if (c.generationFailed) {
            c.messages->WriteBytes(c.deferredError.data(), c.deferredError.size());
            throw CCompileAbort{};
        }
        GenerateMain(c);
        Optimize(c);
        WriteFunctions(c);
        if (!options.listingPath.empty()) {
            if (auto listing = CScriptStream::Open(options.listingPath, kStreamWriteFile)) listing->Write("s", "; -*- asm -*-\r\n");
        }
        CTagNoise noise(options);
        result.image = FinishImage(c, noise);
        result.ok = true;
    } catch (const CCompileAbort&) {
        result.ok = false;
    }
    result.messages = MessagesOf(c);
    if (result.ok && !options.outputPath.empty()) {
        if (auto out = CScriptStream::Open(options.outputPath, kStreamWriteFile)) out->WriteBytes(result.image.data(), result.image.size());
    }
    c.source->Close();
    return result;
}

}  // namespace

void CArena::Grow(size_t need) {
    size_t size = need > 60000 ? need : 64 * 1024;
    blocks_.emplace_back(new char[size]);
    if (blocks_.size() == 1) firstSize_ = size;
    cursor_ = blocks_.back().get();
    left_ = size;
}

void CompleteFunction(CScriptCompiler& c, Node* function) {
    if (c.generationFailed) return;
    c.deferErrors = true;
    try {
        GenerateFunction(c, function);
        c.deferErrors = false;
    } catch (const CCompileAbort&) {
        c.deferErrors = false;
        c.generationFailed = true;
        c.first = c.last = nullptr;
        c.code.Reset();
        return;
    }
    Optimize(c);
    WriteFunctions(c);
    c.code.Reset();
}

void CScriptCompiler::Warning(int line, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Diagnostic(*messages, "warning: line ", line, format, ap);
    va_end(ap);
}

void CScriptCompiler::Error(int line, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    if (deferErrors) {
        // Generating a function inside the parse: hold the text until parsing ends.
        auto held = CScriptStream::Open({}, kStreamWriteMemory);
        Diagnostic(*held, "error: line ", line, format, ap);
        deferredError.assign(held->buffer().begin(), held->buffer().end());
    } else {
        Diagnostic(*messages, "error: line ", line, format, ap);
    }
    va_end(ap);
    throw CCompileAbort{};
}

CompileResult CompileText(std::string_view text, uint32_t flags, const CompileOptions& options) {
    return Compile(CScriptStream::Open(text, kStreamReadText), flags, options, text.size());
}

CompileResult CompileFile(const std::string& path, uint32_t flags, const CompileOptions& options) {
    auto source = CScriptStream::Open(path, kStreamReadFile);
    if (!source) {
        CompileResult r;
        r.opened = false;
        r.messages = "can't open the script file: " + path + "\n";
        return r;
    }
    size_t size = 0;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        if (std::fseek(f, 0, SEEK_END) == 0) {
            long end = std::ftell(f);
            if (end > 0) size = static_cast<size_t>(end);
        }
        std::fclose(f);
    }
    return Compile(std::move(source), flags, options, size);
}

}  // namespace nerva
