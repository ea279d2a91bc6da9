// Any bytes as a title given to `vantor-pack inspect` or used as a stub: the PE headers and the
// resource tree are read without reading outside the input, and what was read is written back
// as a resource section that reads again the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "json.h"
#include "pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vantor::pack;
    try {
        PeImage image(std::vector<uint8_t>(data, data + size), "fuzz");
        ResourceTree tree = image.ReadResources();
        if (tree.empty() || size > (1 << 20)) return 0;
        FILE* out = std::tmpfile();
        if (!out) return 0;
        try {
            image.WriteWithResources(tree, out);
        } catch (const InputError&) {
            std::fclose(out);
            return 0;
        }
        std::fflush(out);
        long length = std::ftell(out);
        std::vector<uint8_t> written(size_t(length > 0 ? length : 0));
        std::rewind(out);
        size_t got = std::fread(written.data(), 1, written.size(), out);
        std::fclose(out);
        written.resize(got);
        ResourceTree again = PeImage(written, "again").ReadResources();
        if (again.size() != tree.size()) __builtin_trap();
    } catch (const InputError&) {
    }
    return 0;
}
