// Any bytes as a movie file.
#include <cstddef>
#include <cstdint>

#include "app/movie_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (auto header = vantor::ReadMovieHeaderFrom({data, size})) {
        if (header->background < -1 || header->background > 0xFFFFFF) __builtin_trap();
    }
    return 0;
}
