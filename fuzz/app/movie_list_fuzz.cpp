// Any bytes as an unpacked movie list: entries only ever land inside the run folder.
#include <cstddef>
#include <cstdint>

#include "app/movie_list.h"
#include "fuzz_run_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vantor;
    fuzz::FuzzRunFolder();
    CMovieListBlock block;
    ReadMovieListFrom({data, size}, block);
    for (const CMovieEntry& entry : block.list.entries)
        if ((block.flags & ListEmbedded) && entry.path.compare(0, RunFolder().size(), RunFolder()) != 0) __builtin_trap();
    ChooseFirstMovie(block, {}, [] { return 7u; });
    DeleteExtractedMovies(block);
    fuzz::CleanRunFolder();
    return 0;
}
