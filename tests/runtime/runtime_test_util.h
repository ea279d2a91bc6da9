// Shared fixture: an engine whose trace lines are collected, and helpers to run assembled
// images and look at results.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/engine.h"
#include "runtime/object.h"
#include "tests/runtime/assembler.h"

namespace nerva::test {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine = CreateEngine(kDefaultStackSize, nullptr, 0);
        ASSERT_NE(engine, nullptr);
        SetEngineTrace(*engine, &Collect, &traced);
    }
    void TearDown() override { DestroyEngine(engine); }

    static void Collect(void* ctx, std::string_view line) {
        static_cast<std::vector<std::string>*>(ctx)->emplace_back(line);
    }

    bool Run(Assembler& a) {
        std::vector<uint8_t> image = a.Build();
        return RunBuffer(*engine, image.data(), image.size());
    }
    const CScriptValue& Result() const { return LastResult(*engine); }
    std::string ResultText() { return ToNarrow(ToString(*engine, Result())); }
    std::string Message() const { return ErrorText(*engine); }

    CScriptEngine* engine = nullptr;
    std::vector<std::string> traced;
};

}  // namespace nerva::test
