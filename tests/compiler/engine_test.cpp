// The compiler as the engine uses it: diagnostics in the engine's message buffer, compiled
// images that link and run.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "compiler/compiler.h"
#include "runtime/compiler_hook.h"
#include "runtime/engine.h"
#include "runtime/host.h"
#include "test_util.h"

namespace nerva {
namespace {

class EngineCompile : public testing::Test {
protected:
    void SetUp() override {
        InstallCompiler();
        host_ = CreateHost(nullptr);
        ASSERT_NE(host_, nullptr);
    }
    void TearDown() override { DestroyHost(host_); }
    CScriptEngine& engine() { return *host_->engine; }
    int64_t Result() {
        const CScriptValue& v = LastResult(engine());
        EXPECT_EQ(v.tag, TagInteger);
        return v.i;
    }
    CScriptHost* host_ = nullptr;
};

TEST_F(EngineCompile, CompileErrorsLandInTheMessageBuffer) {
    EXPECT_FALSE(RunSource(*host_, "x = ;"));
    EXPECT_STREQ(ErrorText(engine()), "error: line 0: syntax error: invalid expression\r\n");
    EXPECT_FALSE(RunSource(*host_, "a = '\\q'\nb = ;"));
    EXPECT_STREQ(ErrorText(engine()),
                 "warning: line 0: unknown escape sequence '\\q'\r\nerror: line 1: syntax error: invalid expression\r\n");
}

TEST_F(EngineCompile, UnopenableFileAppendsItsLine) {
    EXPECT_FALSE(RunSource(*host_, "x = ;"));
    EXPECT_FALSE(RunFile(*host_, "/nonexistent/x.nvs"));
    EXPECT_STREQ(ErrorText(engine()),
                 "error: line 0: syntax error: invalid expression\r\ncan't open the script file: /nonexistent/x.nvs\n");
}

TEST_F(EngineCompile, LongDiagnosticsGoToTheLongCopy) {
    EXPECT_FALSE(RunSource(*host_, "x = ;"));
    std::string many;
    for (int i = 0; i < 100; ++i) many += "x = '\\q';\n";
    many += "y = ;";
    EXPECT_FALSE(RunSource(*host_, many));
    EXPECT_GT(engine().longMessage.size(), 1023u);
    EXPECT_NE(engine().longMessage.find("error: line 100: syntax error: invalid expression\r\n"), std::string::npos);
    // The next compilation drops the long copy.
    EXPECT_FALSE(RunSource(*host_, "z = ;"));
    EXPECT_TRUE(engine().longMessage.empty());
    EXPECT_STREQ(ErrorText(engine()), "error: line 0: syntax error: invalid expression\r\n");
}

TEST_F(EngineCompile, CompiledCodeRuns) {
    struct Case {
        const char* source;
        int64_t result;
    } cases[] = {
        {"1 + 2;", 3},
        {"eval(\"1 + 2\");", 3},
        {"eval(5);", 5},
        {"function f(a, b) { var s = a * b; return s; } f(6, 7);", 42},
        {"s = 0; for (var i = 0; i < 10; i++) { if (i == 5) continue; s += i; } s;", 40},
        {"function g(n) { try { if (n) throw n; return 0; } catch (e if e == 2) { return 20; } catch (e) { return e; } } "
         "g(0) + g(2) + g(3);",
         23},
        {"function h(x) { switch (x) { case 1: return 10; default: return 30; case 2: return 20; } } h(1) + h(2) + h(3);",
         60},
        {"t = 0; L: for (a = 0; a < 5; a++) { for (b = 0; b < 5; b++) { if (b == 2) continue L; if (a == 3) break L; t++; } } t;",
         6},
        {"n = 0; for (c in \"abc\") n += c; n;", 97 + 98 + 99},
        {"function k() { var r = 0; for (var c in \"ab\") { try { if (c == 98) break; r += c; } catch (e) {} } return r; } k();",
         97},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(RunSource(*host_, c.source)) << c.source << ": " << ErrorText(engine());
        EXPECT_EQ(Result(), c.result) << c.source;
    }
}

TEST_F(EngineCompile, ImagesWrittenByTheCompilerRunFromMemoryAndFiles) {
    CompileResult r = CompileText("function sq(x) { return x * x; } sq(9);", kCompileDebugInfo);
    ASSERT_TRUE(r.ok);
    ASSERT_TRUE(RunBuffer(*host_, r.image.data(), r.image.size())) << ErrorText(engine());
    EXPECT_EQ(Result(), 81);
    std::string path = testing::TempDir() + "nerva_engine_image.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << "#!/usr/bin/nervac run\n";
        out.write(reinterpret_cast<const char*>(r.image.data()), static_cast<std::streamsize>(r.image.size()));
    }
    ASSERT_TRUE(RunFile(*host_, path)) << ErrorText(engine());
    EXPECT_EQ(Result(), 81);
    std::remove(path.c_str());
}

TEST_F(EngineCompile, EvalsCompilesAFileWhateverItsName) {
    std::string path = testing::TempDir() + "nerva_evals.txt";
    {
        std::ofstream out(path, std::ios::binary);
        out << "function twice(x) { return 2 * x; }\ntwice(21);";
    }
    std::string literal;  // the path as a script string (Windows paths have backslashes)
    for (char ch : path) {
        if (ch == '\\') literal += '\\';
        literal += ch;
    }
    ASSERT_TRUE(RunSource(*host_, "evals(\"" + literal + "\");")) << ErrorText(engine());
    EXPECT_EQ(Result(), 42);
    // The function the file defined stays for later runs.
    ASSERT_TRUE(RunSource(*host_, "twice(5);"));
    EXPECT_EQ(Result(), 10);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace nerva
