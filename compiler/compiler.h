// The Nerva Script compiler's public entry points: source text or a source file in, an "NS1b"
// image and the diagnostics text out. The core needs no engine; engine_glue.cpp wraps it into
// the SourceCompiler the engine calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nerva {

// What a caller may add to the compile flags of runtime/compiler_hook.h.
struct CompileOptions {
    // The upper 24 bits of each section tag are noise. By default they come from rand() seeded
    // with the current time; a fixed seed makes the image reproducible.
    bool fixedTagSeed = false;
    uint32_t tagSeed = 0;
    std::string listingPath;  // when set, the listing file is written there
    std::string outputPath;   // when set, the image is also written into that file
};

struct CompileResult {
    bool ok = false;
    bool opened = true;  // false when the source file could not be opened
    std::vector<uint8_t> image;
    // "warning: line N: ..." and "error: line N: ..." lines, CR LF ended, lines from 0; or the
    // "can't open the script file: PATH" line.
    std::string messages;
};

// Compiles source text up to its first NUL.
CompileResult CompileText(std::string_view text, uint32_t flags, const CompileOptions& options = {});
// Compiles a source file; the debug section names it by its path.
CompileResult CompileFile(const std::string& path, uint32_t flags, const CompileOptions& options = {});

// The section tag noise generator: rand() seeded from the time, or, with a seed, a fixed
// portable sequence, so reproducible builds agree between Linux and Windows.
class CTagNoise {
public:
    explicit CTagNoise(const CompileOptions& options);
    uint32_t Next();

private:
    bool fixed_;
    uint32_t state_;
};

// Installs this compiler as the one every engine uses (runtime/compiler_hook.h).
void InstallCompiler();

}  // namespace nerva
