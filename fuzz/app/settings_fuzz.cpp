// Any bytes as a serialized settings record: never a read outside the input, never a file
// outside the run folder, and what was read writes back and reads again the same.
#include <cstddef>
#include <cstdint>

#include "app/settings.h"
#include "fuzz_run_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vantor;
    fuzz::FuzzRunFolder();
    CProjectSettings settings;
    CByteReader in({data, size});
    if (ReadSettings(in, settings, RunFolder())) {
        CByteWriter out;
        WriteSettings(out, settings);
        CProjectSettings again;
        CByteReader back(out.Data());
        if (!ReadSettings(back, again, RunFolder())) __builtin_trap();
        again.helpFile = settings.helpFile, again.pictureFile = settings.pictureFile;
        if (!(again == settings)) __builtin_trap();
    }
    fuzz::CleanRunFolder();
    return 0;
}
