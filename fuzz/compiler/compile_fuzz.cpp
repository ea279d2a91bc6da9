// Source text to image: the compiler must never crash or hang, and every image it writes must
// read back as a well-formed image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "compiler/compiler.h"
#include "compiler/disasm.h"
#include "runtime/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    uint32_t flags = size > 0 ? (data[0] & 1 ? 0x4 : 0) | (data[0] & 2 ? 0x100000 : 0) | (data[0] & 4 ? 0x200000 : 0) : 0;
    nerva::CompileOptions options;
    options.fixedTagSeed = true;
    nerva::CompileResult r =
        nerva::CompileText(std::string_view(reinterpret_cast<const char*>(data), size), flags, options);
    if (!r.ok) return 0;
    std::string out, error;
    if (!nerva::DisassembleImage(r.image.data(), r.image.size(), {}, out, error)) std::abort();
    nerva::CCompiledScript* image = nerva::ReadImageBuffer(r.image.data(), r.image.size());
    if (!image) std::abort();
    nerva::FreeImage(image);
    return 0;
}
