// Any bytes as a packed block: never a read outside the input, never a crash.
#include <cstddef>
#include <cstdint>

#include "app/packed_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vantor::UnpackedBytes out;
    if (vantor::UnpackBlock({data, size}, out) && size >= vantor::CPackedBlock::kHeaderSize) {
        vantor::CPackedBlock header;
        vantor::CPackedBlock::ParseHeader({data, size}, header);
        if (out.size() > header.unpackedSize) __builtin_trap();
    }
    return 0;
}
