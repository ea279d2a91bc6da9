// nervac: the script author's tool. Compiles Nerva Script source to "NS1b" images, checks
// sources for editors and CI, disassembles images and runs scripts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/disasm.h"
#include "runtime/compiler_hook.h"
#include "tools/nervac/nervac.h"

namespace {

const char kUsage[] =
    "usage: nervac COMMAND [OPTIONS] FILE...\n"
    "\n"
    "commands:\n"
    "  compile FILE.nvs [-o FILE.nsc] [-g] [--warn-semicolon] [--warn-newline] [--seed N]\n"
    "                   compile a source file into an image (default output: FILE.nsc)\n"
    "  check FILE...    report diagnostics as FILE:LINE: error: MESSAGE (lines from 1);\n"
    "                   exits with 1 if any file has an error\n"
    "  run FILE [ARGS...]\n"
    "                   run a source file or an image; trace output goes to standard output,\n"
    "                   runtime errors to standard error (exit 1)\n"
    "  disasm FILE.nsc  list the sections, constants, functions, code and line table\n"
    "\n"
    "options:\n"
    "  -g                 write the line table (debug information)\n"
    "  --warn-semicolon   warn at every inserted semicolon\n"
    "  --warn-newline     warn at line feeds inside string literals\n"
    "  --seed N           fix the section tag noise (also: SOURCE_DATE_EPOCH)\n"
    "  -h, --help         show this text\n";

int Usage(const char* problem) {
    std::fprintf(stderr, "nervac: %s\n", problem);
    std::fprintf(stderr, "Try 'nervac --help'.\n");
    return 2;
}

bool ParseSeed(const char* text, uint32_t& seed) {
    if (!text || !*text) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (*end != 0 || text[0] == '-') return false;
    seed = static_cast<uint32_t>(v);
    return true;
}

// Turns "warning: line N: TEXT" lines (lines from 0) into "FILE:N+1: warning: TEXT".
int ReportMessages(const std::string& file, const std::string& messages, bool& sawError) {
    size_t at = 0;
    int count = 0;
    while (at < messages.size()) {
        size_t end = messages.find('\n', at);
        if (end == std::string::npos) end = messages.size();
        std::string line = messages.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = end + 1;
        if (line.empty()) continue;
        ++count;
        const char* kind = nullptr;
        if (line.rfind("warning: line ", 0) == 0) kind = "warning";
        else if (line.rfind("error: line ", 0) == 0) kind = "error";
        if (!kind) {
            sawError = true;
            std::fprintf(stderr, "%s: error: %s\n", file.c_str(), line.c_str());
            continue;
        }
        if (std::strcmp(kind, "error") == 0) sawError = true;
        const char* p = line.c_str() + std::strlen(kind) + 7;
        char* rest = nullptr;
        long n = std::strtol(p, &rest, 10);
        if (rest[0] == ':' && rest[1] == ' ') rest += 2;
        std::fprintf(stderr, "%s:%ld: %s: %s\n", file.c_str(), n + 1, kind, rest);
    }
    return count;
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string DefaultOutput(const std::string& source) {
    size_t slash = source.find_last_of("/\\");
    size_t dot = source.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return source + ".nsc";
    return source.substr(0, dot) + ".nsc";
}

struct Common {
    uint32_t flags = 0;
    nerva::CompileOptions options;
    std::string output;
    std::vector<std::string> files;
};

// Parses the options shared by compile and check; returns an exit code on a bad option, or -1.
int ParseCommon(int argc, char** argv, int first, bool allowOutput, Common& c) {
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        if (!ParseSeed(epoch, c.options.tagSeed)) return Usage("SOURCE_DATE_EPOCH is not a number");
        c.options.fixedTagSeed = true;
    }
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-g") {
            c.flags |= nerva::kCompileDebugInfo;
        } else if (a == "--warn-semicolon") {
            c.flags |= nerva::kCompileWarnMissingSemicolon;
        } else if (a == "--warn-newline") {
            c.flags |= nerva::kCompileWarnLineTerminators;
        } else if (a == "--seed") {
            if (i + 1 >= argc || !ParseSeed(argv[i + 1], c.options.tagSeed)) return Usage("--seed needs a number");
            c.options.fixedTagSeed = true;
            ++i;
        } else if (a == "-o" && allowOutput) {
            if (i + 1 >= argc) return Usage("-o needs a file name");
            c.output = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage(("unknown option " + a).c_str());
        } else {
            c.files.push_back(a);
        }
    }
    return -1;
}

int Compile(int argc, char** argv) {
    Common c;
    if (int rc = ParseCommon(argc, argv, 2, true, c); rc >= 0) return rc;
    if (c.files.size() != 1) return Usage("compile takes one source file");
    const std::string& source = c.files[0];
    nerva::CompileResult r = nerva::CompileFile(source, c.flags, c.options);
    bool sawError = false;
    ReportMessages(source, r.messages, sawError);
    if (!r.ok) return 1;
    std::string out = c.output.empty() ? DefaultOutput(source) : c.output;
    std::FILE* f = std::fopen(out.c_str(), "wb");
    if (!f || std::fwrite(r.image.data(), 1, r.image.size(), f) != r.image.size()) {
        if (f) std::fclose(f);
        std::fprintf(stderr, "nervac: cannot write %s\n", out.c_str());
        return 1;
    }
    std::fclose(f);
    return 0;
}

int Check(int argc, char** argv) {
    Common c;
    if (int rc = ParseCommon(argc, argv, 2, false, c); rc >= 0) return rc;
    if (c.files.empty()) return Usage("check needs at least one file");
    bool sawError = false;
    for (const std::string& file : c.files) {
        nerva::CompileResult r = nerva::CompileFile(file, c.flags, c.options);
        ReportMessages(file, r.messages, sawError);
        if (!r.ok) sawError = true;
    }
    return sawError ? 1 : 0;
}

int Disasm(int argc, char** argv) {
    if (argc != 3 || argv[2][0] == '-') return Usage("disasm takes one image file");
    std::vector<uint8_t> bytes;
    if (!ReadWhole(argv[2], bytes)) {
        std::fprintf(stderr, "nervac: cannot open %s\n", argv[2]);
        return 1;
    }
    std::string out, error;
    bool ok = nerva::DisassembleImage(bytes.data(), bytes.size(), {}, out, error);
    std::fputs(out.c_str(), stdout);
    if (!ok) {
        std::fprintf(stderr, "nervac: %s: %s\n", argv[2], error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command given");
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "compile") return Compile(argc, argv);
    if (command == "check") return Check(argc, argv);
    if (command == "disasm") return Disasm(argc, argv);
    if (command == "run") return RunCommand(argc, argv);
    return Usage(("unknown command " + command).c_str());
}
