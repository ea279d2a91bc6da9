// A fixture that runs script source in a fresh engine with the compiler installed and
// collects the trace lines.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "runtime/engine.h"
#include "runtime/object.h"

namespace nerva::test {

class ScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallCompiler();
        engine = CreateEngine(kDefaultStackSize, nullptr, 0);
        ASSERT_NE(engine, nullptr);
        SetEngineTrace(*engine, &Collect, &traced);
    }
    void TearDown() override { DestroyEngine(engine); }

    static void Collect(void* ctx, std::string_view line) {
        static_cast<std::vector<std::string>*>(ctx)->emplace_back(line);
    }

    // Runs the source; the trace lines joined with "|", or "FAILED: message".
    std::string Run(const std::string& source) {
        traced.clear();
        if (!RunSource(*engine, source, 0)) return std::string("FAILED: ") + ErrorText(*engine);
        std::string out;
        for (size_t i = 0; i < traced.size(); ++i) out += (i ? "|" : "") + traced[i];
        return out;
    }

    CScriptEngine* engine = nullptr;
    std::vector<std::string> traced;
};

struct ScriptCase {
    const char* source;
    const char* expected;
};

inline void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.source; }

}  // namespace nerva::test
