// Image bytes to disassembly: any bytes give a listing or a clear error.
#include <cstddef>
#include <cstdint>
#include <string>

#include "compiler/disasm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string out, error;
    nerva::DisassembleImage(data, size, {}, out, error);
    return 0;
}
