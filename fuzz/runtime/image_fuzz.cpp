// Arbitrary bytes as a compiled image: read, link and run in a fresh engine. Fuzz builds give
// every run a budget of loop turns and calls and a time limit, so images that loop forever end
// and so do loops whose every turn hands a native call a lot of work.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "runtime/engine.h"
#include "runtime/host.h"

namespace {

void Discard(void*, std::string_view) {}

void RunWithinBudget(nerva::CScriptHost& host, const uint8_t* data, size_t size) {
    host.engine->budget = 20000;
    host.engine->budgetDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    nerva::RunBuffer(host, data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nerva::CScriptHost* host = nerva::CreateHost(nullptr);
    if (!host) return 0;
    nerva::SetEngineTrace(*host->engine, &Discard, nullptr);
    // Scripts that double a string on every turn reach "Out of memory" long before the
    // fuzzer's own memory limit.
    host->engine->heap.SetLimit(size_t(192) << 20);
    RunWithinBudget(*host, data, size);
    // A second run of the same bytes links them again on top of the first.
    RunWithinBudget(*host, data, size);
    nerva::DestroyHost(host);
    return 0;
}
