// The engine driven by script source through the installed compiler: eval, conversions that
// call script methods, errors and their texts, nested runs from native code, host calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "compiler/compiler.h"
#include "runtime/compiler_hook.h"
#include "runtime/engine.h"
#include "runtime/host.h"
#include "runtime/object.h"
#include "runtime/script_class.h"

namespace nerva::test {
namespace {

// A class with no operations at all, and one whose method "fire" calls a stored callback.
void RegisterTestClasses(CScriptEngine& e) {
    DefineGlobalClass(e, "Bare", NewClass(e));
    CScriptClass* emitter = NewClass(e);
    emitter->onMethod = [](CScriptEngine& eng, CScriptClass*, void*, uint32_t atom, CScriptValue* result,
                           const CArgBlock& args) -> int {
        if (AtomName(eng, atom) != "fire" || args.Count() < 1) return 0;
        // The callback runs as a nested run; its failure is this method's result.
        CScriptValue callArgs[2] = {MakeInt(1), MakeInt(41)};
        CScriptValue out;
        bool ok = CallFromNative(eng, MakeNull(), args[0], callArgs, out);
        *result = ok ? out : FromNarrow(eng, std::string("failed: ") + ErrorText(eng));
        return 1;
    };
    DefineGlobalClass(e, "Emitter", emitter);
}

class Script : public ::testing::Test {
protected:
    void SetUp() override {
        InstallCompiler();
        AddClassRegistrar(&RegisterTestClasses);
        host = CreateHost(nullptr);
        ASSERT_NE(host, nullptr);
        SetEngineTrace(*host->engine, [](void* ctx, std::string_view line) {
            static_cast<std::vector<std::string>*>(ctx)->emplace_back(line);
        }, &traced);
    }
    void TearDown() override {
        DestroyHost(host);
        RemoveClassRegistrar(&RegisterTestClasses);
    }
    bool Run(const std::string& source) { return RunSource(*host, source); }
    std::string Text(const CScriptValue& v) { return ToNarrow(ToString(*host->engine, v)); }
    std::string Result() { return Text(LastResult(*host->engine)); }
    std::string Message() { return ErrorText(*host->engine); }
    std::string Global(const char* name) { return Text(GlobalSlot(*host->engine, Intern(*host->engine, name))); }

    CScriptHost* host = nullptr;
    std::vector<std::string> traced;
};

TEST_F(Script, EvalCompilesStringsAndPassesOtherValues) {
    ASSERT_TRUE(Run("a = eval(\"1+2\"); b = eval(5); c = eval(); a * 100 + b;")) << Message();
    EXPECT_EQ(Result(), "305");
    EXPECT_EQ(Global("c"), "undefined");
}

TEST_F(Script, ScriptToStringIsUsedByConversions) {
    ASSERT_TRUE(Run("function T() { this.v = 5; }\n"
                    "var o = new T();\n"
                    "o.toString = function() { return \"T\" + this.v; };\n"
                    "\"x\" + o;"))
        << Message();
    EXPECT_EQ(Result(), "xT5");
}

TEST_F(Script, FailingToStringFallsBackToObject) {
    ASSERT_TRUE(Run("function T() { }\n"
                    "var o = new T();\n"
                    "o.toString = function() { throw \"no\"; };\n"
                    "\"x\" + o;"))
        << Message();
    EXPECT_EQ(Result(), "xobject");
}

TEST_F(Script, ConversionErrorsCanBeCaught) {
    ASSERT_TRUE(Run("var r; try { r = 1 - Bare; } catch (e) { r = e; } r;")) << Message();
    EXPECT_EQ(Result(), "Runtime error: Can't convert to primitive type");
}

TEST_F(Script, UncaughtErrorsAndThrows) {
    EXPECT_FALSE(Run("throw \"abc\";"));
    EXPECT_EQ(Message(), "abc");
    EXPECT_FALSE(Run("x = 1 - Bare;"));
    EXPECT_EQ(Message(), "Runtime error: Can't convert to primitive type");
    EXPECT_FALSE(Run("try { throw 1; } catch (e if e == 2) { }"));
    EXPECT_EQ(Message(), "1");
    EXPECT_TRUE(Run("try { throw 1; } catch (e) { } 7;")) << Message();
    EXPECT_EQ(Result(), "7");
}

TEST_F(Script, FinallyRunsAndRethrows) {
    ASSERT_TRUE(Run("var log = \"\";\n"
                    "function f() { try { throw \"e\"; } finally { log = log + \"f\"; } }\n"
                    "try { f(); } catch (x) { log = log + x; }\n"
                    "log;"))
        << Message();
    EXPECT_EQ(Result(), "fe");
}

TEST_F(Script, RecursionOverflowsCleanly) {
    EXPECT_FALSE(Run("function f(n) { return f(n + 1) + 1; } f(0);"));
    EXPECT_EQ(Message(), "Runtime error: stack overflow");
    EXPECT_TRUE(Run("function g(n) { if (n == 0) return 0; return g(n - 1) + 1; } g(300);")) << Message();
    EXPECT_EQ(Result(), "300");
}

TEST_F(Script, WithScopesAndForIn) {
    ASSERT_TRUE(Run("function T() { this.a = 1; this.b = 2; }\n"
                    "var o = new T(), s = 0, names = \"\";\n"
                    "with (o) { a = 10; s = a + b; }\n"
                    "for (var k in o) names = names + k;\n"
                    "var chars = 0; for (var c in \"hey\") chars = chars + c;\n"
                    "s + \":\" + names.length + \":\" + chars;"))
        << Message();
    // a and b are both in the table (enumeration order follows the name index); "hey" yields
    // its character codes 104 + 101 + 121.
    EXPECT_EQ(Result().substr(0, 3), "12:");
    EXPECT_EQ(Result().substr(Result().rfind(':') + 1), "326");
}

TEST_F(Script, MethodAndMemberCachesFollowTheReceiver) {
    // One call site and one read site see objects whose members sit in different slots, a
    // member that is not a function, and a member deleted between two calls.
    ASSERT_TRUE(Run("function ra() { return this.w * 10; }\n"
                    "function sa() { return this.s + 1; }\n"
                    "function R() { this.kind = 1; this.w = 2; this.area = ra; }\n"
                    "function S() { this.s = 4; this.area = sa; }\n"
                    "function N() { this.area = 5; }\n"
                    "function use(o) { return o.area(); }\n"
                    "function get(o) { return o.kind; }\n"
                    "var r = new R(), q = new S(), n = new N();\n"
                    "var out = \"\" + use(r) + \",\" + use(q) + \",\" + use(r) + \",\" + use(n);\n"
                    "out = out + \",\" + get(r) + \",\" + get(q);\n"
                    "delete r.kind; out = out + \",\" + get(r);\n"
                    "r.kind = 9; out + \",\" + get(r);"))
        << Message();
    EXPECT_EQ(Result(), "20,5,20,undefined,1,undefined,undefined,9");
    std::vector<std::string> expected = {"Warning: unknown method \"area\"", "Warning: using undefined property \"kind\"",
                                         "Warning: using undefined property \"kind\""};
    EXPECT_EQ(traced, expected);
}

TEST_F(Script, NestedRunFailureEndsOnlyTheNestedRun) {
    ASSERT_TRUE(Run("function good(x) { return x + 1; }\n"
                    "function bad(x) { throw \"bad\" + x; }\n"
                    "a = Emitter.fire(good);\n"
                    "b = Emitter.fire(bad);\n"
                    "a + \"/\" + b;"))
        << Message();
    EXPECT_EQ(Result(), "42/failed: bad41");
}

TEST_F(Script, HostCallsByNameValueAndMethod) {
    ASSERT_TRUE(Run("function twice(x) { return x * 2; }\n"
                    "function T() { this.k = 3; }\n"
                    "T.prototype = 0;\n"
                    "var t = new T();\n"
                    "t.add = function(x) { return this.k + x; };"))
        << Message();
    CScriptEngine& e = *host->engine;
    CScriptValue args[2] = {MakeInt(1), MakeInt(21)};
    ASSERT_TRUE(CallByName(e, "twice", args)) << Message();
    EXPECT_EQ(LastResult(e).i, 42);
    CScriptValue t = GlobalSlot(e, Intern(e, "t"));
    ASSERT_TRUE(CallMethodByName(e, t, "add", args)) << Message();
    EXPECT_EQ(LastResult(e).i, 24);
    EXPECT_FALSE(CallMethodByName(e, t, "nothing", args));
    EXPECT_EQ(Message(), "Warning: unknown method \"nothing\"");
    CScriptValue fn = GlobalSlot(e, Intern(e, "twice"));
    ASSERT_TRUE(CallValue(e, MakeNull(), fn, args)) << Message();
    EXPECT_EQ(LastResult(e).i, 42);
    EXPECT_FALSE(CallByName(e, "missing", args));
    EXPECT_EQ(Message(), "Warning: call a undefined function");
}

TEST_F(Script, RunningTheSameImageTwiceRenumbersAnonymousFunctions) {
    CompileResult r = CompileText("f = function() { return 1; }; f();", 0);
    ASSERT_TRUE(r.ok) << r.messages;
    ASSERT_TRUE(RunBuffer(*host, r.image.data(), r.image.size())) << Message();
    uint32_t first = AnonymousFunctionCounter(*host->engine);
    ASSERT_TRUE(RunBuffer(*host, r.image.data(), r.image.size())) << Message();
    EXPECT_EQ(AnonymousFunctionCounter(*host->engine), first + 1);
    EXPECT_EQ(Result(), "1");
}

// Binding functions whose names are new atoms grows the global table while the linker
// stores into it; the stores must land in the grown table.
TEST_F(Script, LinkingManyNewFunctionsGrowsTheGlobalTable) {
    std::string source;
    for (int i = 0; i < 3000; ++i)
        source += "function g" + std::to_string(i) + "() { return " + std::to_string(i) + "; }\n";
    source += "g0() + g1234() + g2999();";
    ASSERT_TRUE(Run(source)) << Message();
    EXPECT_EQ(Result(), "4233");
    ASSERT_TRUE(Run("typeof g2000 + g2000();")) << Message();
    EXPECT_EQ(Result(), "function2000");
}

// A function whose own evaluation stack is larger than the room kept below the nominal stack:
// with a stack big enough it runs at any depth that leaves it room; deeper, the call is a
// clean "stack overflow" the script can catch, and the engine stays usable.
TEST_F(Script, CallsNeedingMoreThanTheGuardRunOrOverflowCleanly) {
    for (size_t stack : {size_t(4096), size_t(60000)}) {
        CHostOptions options;
        options.stackSize = stack;
        CScriptHost* big = CreateHost(&options);
        ASSERT_NE(big, nullptr);
        std::string args;
        for (int i = 0; i < 9000; ++i) args += (i ? "," : "") + std::to_string(i);
        std::string source =
            "function last() { return arguments.length ? 0 : 0; }\n"
            "function wide() { return Math.max(" + args + "); }\n"
            "function rec(d) { if (d > 0) return rec(d - 1); return wide(); }\n"
            "var seen = '';\n"
            "for (var d = 0; d < 20000; d += 500) {\n"
            "  try { seen = rec(d); } catch (e) { seen = d + ': ' + e; break; }\n"
            "}\n"
            "seen;";
        ASSERT_TRUE(RunSource(*big, source)) << ErrorText(*big->engine);
        std::string text = ToNarrow(ToString(*big->engine, LastResult(*big->engine)));
        if (stack == 4096) {
            EXPECT_EQ(text, "0: Runtime error: stack overflow");
        } else {
            EXPECT_NE(text.find(": Runtime error: stack overflow"), std::string::npos) << text;
            EXPECT_NE(text.substr(0, 2), "0:") << text;
        }
        bool ran = RunSource(*big, "wide() + 1;");
        if (stack == 4096) {
            EXPECT_FALSE(ran);
            EXPECT_STREQ(ErrorText(*big->engine), "Runtime error: stack overflow");
        } else {
            ASSERT_TRUE(ran) << ErrorText(*big->engine);
            EXPECT_EQ(ToNarrow(ToString(*big->engine, LastResult(*big->engine))), "9000");
        }
        DestroyHost(big);
    }
}

TEST_F(Script, RunFileChoosesImageOrSourceByExtensionAndMagic) {
    CompileResult r = CompileText("40 + 2;", 0);
    ASSERT_TRUE(r.ok);
    std::string dir = ::testing::TempDir();
    auto write = [&](const std::string& name, const std::string& prefix, const std::vector<uint8_t>& body) {
        std::ofstream out(dir + name, std::ios::binary);
        out << prefix;
        out.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
        return dir + name;
    };
    std::string source = "6 * 7;";
    std::vector<uint8_t> sourceBytes(source.begin(), source.end());
    ASSERT_TRUE(RunFile(*host, write("a.nsc", "", r.image))) << Message();
    EXPECT_EQ(Result(), "42");
    ASSERT_TRUE(RunFile(*host, write("b.txt", "#!/bin/nervac\n", r.image))) << Message();
    EXPECT_EQ(Result(), "42");
    ASSERT_TRUE(RunFile(*host, write("c.NVS", "", sourceBytes))) << Message();
    EXPECT_EQ(Result(), "42");
    ASSERT_TRUE(RunFile(*host, write("d.js", "", sourceBytes))) << Message();
    EXPECT_EQ(Result(), "42");
    EXPECT_FALSE(RunFile(*host, dir + "missing.nvs"));
    EXPECT_NE(Message().find("can't open the script file: "), std::string::npos) << Message();
}

TEST_F(Script, CompileErrorsStayInTheMessageBuffer) {
    EXPECT_FALSE(Run("x = ;"));
    EXPECT_EQ(Message(), "error: line 0: syntax error: invalid expression\r\n");
}

}  // namespace
}  // namespace nerva::test
