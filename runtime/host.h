// The host wrapper the projector creates engines through: an options record and the engine,
// with the global functions eval and evals defined.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/engine.h"

namespace nerva {

struct CHostOptions {
    size_t stackSize = kDefaultStackSize;
    uint32_t creationWord = 2;
    void* hostPointer = nullptr;
    // Bit 1 and bits 2, 3 go to the engine flags; bit 9 turns on the warning for undefined
    // variables; 0x20, 0x1000, 0x2000 and 0x8000-0x40000 select compile options.
    uint32_t flags = 0x58200;
    HookFn hook = nullptr;
    void* hookData = nullptr;
    int32_t reserved0 = 0;
    int32_t reserved1 = -1;
};

struct CScriptHost {
    CHostOptions options;
    CScriptEngine* engine = nullptr;
};

CScriptHost* CreateHost(const CHostOptions* options);
void DestroyHost(CScriptHost* host);
bool RunSource(CScriptHost& host, std::string_view text);
bool RunFile(CScriptHost& host, const std::string& path);
bool RunBuffer(CScriptHost& host, const uint8_t* bytes, size_t length);
// Compile flags as the host option word selects them.
uint32_t CompileFlagsFromOptions(uint32_t options);

}  // namespace nerva
