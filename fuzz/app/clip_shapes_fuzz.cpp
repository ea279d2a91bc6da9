// Any bytes as an unpacked clip-shape list.
#include <cstddef>
#include <cstdint>

#include "app/movie_list.h"
#include "fuzz_run_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vantor::fuzz::FuzzRunFolder();
    std::optional<std::vector<std::string>> shapes;
    vantor::ReadClipShapesFrom({data, size}, shapes);
    vantor::fuzz::CleanRunFolder();
    return 0;
}
