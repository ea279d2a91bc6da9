// `nervac run`: runs a source file or an image in a fresh engine. Trace output (warnings and
// the print and trace functions) goes to standard output; compile and runtime errors go to
// standard error with exit status 1.
#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/compiler.h"
#include "runtime/compiler_hook.h"
#include "runtime/engine.h"
#include "runtime/host.h"
#include "runtime/object.h"
#include "runtime/script_class.h"
#include "tools/nervac/nervac.h"

namespace {

void TraceToStdout(void*, std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// print(a, b, ...) and trace(...): the arguments as text, separated by spaces, then a line
// feed.
void PrintCall(nerva::CScriptEngine& engine, nerva::CScriptClass*, void*, nerva::CScriptValue* result,
               const nerva::CArgBlock& args) {
    std::string line;
    for (int i = 0; i < args.Count(); ++i) {
        if (i) line += ' ';
        line += nerva::ToNarrow(nerva::ToString(engine, args[i]));
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    *result = nerva::MakeUndefined();
}

void DefineFunction(nerva::CScriptEngine& engine, const char* name, nerva::OnCallFn call) {
    nerva::CScriptClass* cls = nerva::NewClass(engine);
    cls->onCall = call;
    nerva::DefineGlobalClass(engine, name, cls);
}

// Compiler diagnostics come back as "error: line N: TEXT" with lines from 0; show them the
// way `nervac check` does.
void ReportError(const std::string& file, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        for (const char* kind : {"error", "warning"}) {
            std::string prefix = std::string(kind) + ": line ";
            if (line.rfind(prefix, 0) != 0) continue;
            char* rest = nullptr;
            long n = std::strtol(line.c_str() + prefix.size(), &rest, 10);
            if (rest[0] == ':' && rest[1] == ' ') {
                line = file + ":" + std::to_string(n + 1) + ": " + kind + ": " + (rest + 2);
                break;
            }
        }
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

}  // namespace

int RunCommand(int argc, char** argv) {
    nerva::CHostOptions options;
    int i = 2;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != 0; ++i) {
        std::string a = argv[i];
        if (a == "-g") options.flags |= 0x20;
        else if (a == "--warn-semicolon") options.flags |= 0x1000;
        else if (a == "--warn-newline") options.flags |= 0x2000;
        else {
            std::fprintf(stderr, "nervac: unknown option %s\nTry 'nervac --help'.\n", a.c_str());
            return 2;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "nervac: run needs a script file\nTry 'nervac --help'.\n");
        return 2;
    }
    std::string file = argv[i++];
    if (std::FILE* probe = std::fopen(file.c_str(), "rb")) {
        std::fclose(probe);
    } else {
        std::fprintf(stderr, "nervac: cannot open %s\n", file.c_str());
        return 1;
    }
    nerva::InstallCompiler();
    nerva::CScriptHost* host = nerva::CreateHost(&options);
    if (!host) {
        std::fprintf(stderr, "nervac: cannot create a script engine\n");
        return 1;
    }
    nerva::CScriptEngine& engine = *host->engine;
    nerva::SetEngineTrace(engine, &TraceToStdout, nullptr);
    DefineFunction(engine, "print", &PrintCall);
    DefineFunction(engine, "trace", &PrintCall);
    // The words after the file name, as the global array `args`.
    nerva::CScriptArray* list = nerva::NewArray(engine, static_cast<uint64_t>(argc - i));
    nerva::CScriptValue& slot = nerva::GlobalSlot(engine, nerva::Intern(engine, "args"));
    slot = nerva::MakeArrayValue(list);
    for (int k = 0; i < argc; ++i, ++k)
        nerva::PutElement(engine, list, static_cast<uint64_t>(k), nerva::FromNarrow(engine, argv[i]));
    bool ok = nerva::RunFile(*host, file);
    std::fflush(stdout);
    int status = 0;
    if (!ok) {
        std::string text = nerva::ErrorText(engine);
        if (text.empty()) text = engine.longMessage;
        ReportError(file, text.empty() ? "nervac: the script failed" : text);
        status = 1;
    }
    nerva::DestroyHost(host);
    return status;
}
