// A read-only walker over "NS1b" images for the nervac disassembler, the tests and the fuzzer:
// every read is bounds-checked, so any bytes give a listing or a clear error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nerva {

struct DisasmOptions {
    bool header = true;     // section table, constants, function table, line table
    bool offsets = true;    // byte offsets before each instruction
};

// Appends a readable listing of the image to `out`. Returns false (with the reason in `error`)
// when the bytes are not a well-formed image; what could be read is listed anyway.
bool DisassembleImage(const uint8_t* bytes, size_t size, const DisasmOptions& options, std::string& out,
                      std::string& error);

// One line per instruction ("PUSHCONST 5", "LOADGLOBAL Application", "JUMP L1"), functions
// introduced by "function NAME"; the compact form the tests compare against.
std::string DescribeCode(const std::vector<uint8_t>& image);

}  // namespace nerva
