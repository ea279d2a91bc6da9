// Helpers shared by the compiler tests.
#pragma once

#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/disasm.h"

namespace nerva::test {

inline CompileOptions Seeded() {
    CompileOptions o;
    o.fixedTagSeed = true;
    o.tagSeed = 1;
    return o;
}

// The compact listing of a source's code, or its diagnostics when it does not compile.
inline std::string Code(const std::string& source, uint32_t flags = 0) {
    CompileResult r = CompileText(source, flags, Seeded());
    if (!r.ok) return r.messages;
    return DescribeCode(r.image);
}

inline std::string Messages(const std::string& source, uint32_t flags = 0) {
    return CompileText(source, flags, Seeded()).messages;
}

}  // namespace nerva::test
