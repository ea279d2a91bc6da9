// Random calls of String and Array methods: the input bytes drive a small grammar of
// receivers, method names and arguments; the generated script runs in a fresh engine. Any
// result is fine; a crash, a sanitizer report or a hang is not.
#include <cstddef>
#include <cstdint>
#include <string>

#include "compiler/compiler.h"
#include "runtime/engine.h"

namespace {

class Picker {
public:
    Picker(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool More() const { return at_ < size_; }
    unsigned Next(unsigned n) { return at_ < size_ ? data_[at_++] % n : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

const char* const kStrings[] = {"''", "'abc'", "'a,b,,c'", "'aXbXc'", "'  -42x'", "'\\u00e9%41'", "'0x1F'",
                                "'%E9%u20AC'", "'$1$&$$'", "'a\\0b'", "'(['", "'zzzz'"};
const char* const kIntegers[] = {"0", "1", "-1", "2", "3", "-7", "100", "2147483647", "-2147483648",
                                 "4294967295", "9223372036854775807", "-9223372036854775807"};
const char* const kOthers[] = {"1.5", "-0.5", "1e300", "NaN", "Infinity", "undefined", "null", "true", "cmp",
                               "new Object()"};
const char* const kPatterns[] = {"'a'", "'X'", "''", "'x*'", "'(a)(b)?'", "'[.]'", "'('", "'^'", "'$'", "'b+'"};
const char* const kFlags[] = {"''", "'g'", "'i'", "'gim'"};

const char* const kMethods[] = {
    // String
    "charAt", "charCodeAt", "concat", "fromCharCode", "indexOf", "lastIndexOf", "match", "replace", "search",
    "slice", "split", "substr", "substring", "toLowerCase", "toUpperCase", "anchor", "bold", "fontColor", "link",
    // Array
    "join", "pop", "push", "reverse", "shift", "sort", "splice", "unshift",
    // both, and not a member at all
    "toString", "valueOf", "nothing"};

template <size_t N>
std::string Pick(Picker& p, const char* const (&list)[N]) {
    return list[p.Next(N)];
}

std::string Value(Picker& p, int depth);

std::string Array(Picker& p, int depth) {
    std::string s = "new Array(";
    unsigned n = p.Next(5);
    for (unsigned i = 0; i < n; ++i) s += (i ? ", " : "") + Value(p, depth + 1);
    return s + ")";
}

std::string Value(Picker& p, int depth) {
    switch (p.Next(depth > 2 ? 4 : 6)) {
        case 0: return Pick(p, kStrings);
        case 1: return Pick(p, kIntegers);
        case 2: return Pick(p, kOthers);
        case 3: return "v" + std::to_string(p.Next(3));
        case 4: return "new RegExp(" + Pick(p, kPatterns) + ", " + Pick(p, kFlags) + ")";
        default: return Array(p, depth);
    }
}

std::string Statement(Picker& p) {
    std::string target = "v" + std::to_string(p.Next(3));
    switch (p.Next(4)) {
        case 0: return target + " = " + Value(p, 0) + ";\n";
        case 1: return target + ".length = " + Pick(p, kIntegers) + ";\n";
        default: break;
    }
    std::string call = target + " = v" + std::to_string(p.Next(3)) + "." + Pick(p, kMethods) + "(";
    unsigned n = p.Next(4);
    for (unsigned i = 0; i < n; ++i) call += (i ? ", " : "") + Value(p, 1);
    return call + ");\n";
}

void Discard(void*, std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool installed = (nerva::InstallCompiler(), true);
    (void)installed;
    Picker p(data, size);
    std::string script =
        "function cmp(a, b) { return a < b ? 1 : -1; }\n"
        "var v0 = 'abcab'; var v1 = new Array(3, 1, 2); var v2 = new RegExp('b', 'g');\n";
    for (int i = 0; i < 24 && p.More(); ++i) script += Statement(p);
    script += "trace(v0, v1, v2);\n";
    nerva::CScriptEngine* engine = nerva::CreateEngine(nerva::kDefaultStackSize, nullptr, 0);
    if (!engine) return 0;
    nerva::SetEngineTrace(*engine, &Discard, nullptr);
    nerva::RunSource(*engine, script, 0);
    nerva::DestroyEngine(engine);
    return 0;
}
