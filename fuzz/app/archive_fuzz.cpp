// Any bytes as an executable with an appended archive: the walker visits every directory
// and inflates every file without reading outside the input or looping.
#include <cstddef>
#include <cstdint>

#include "app/app_exception.h"
#include "app/archive.h"

namespace {

void Walk(vantor::CRandomAccess& file, const vantor::CArchiveDirectory& dir, int depth) {
    if (depth > 64) return;  // folders nest only as deep as their bytes allow; this bounds time
    std::vector<vantor::CArchiveEntry> entries;
    vantor::ReadArchiveDirectory(file, dir, entries);
    for (const auto& entry : entries) {
        if (entry.offset + entry.size > file.Size()) __builtin_trap();
        if (entry.folder) {
            Walk(file, vantor::FolderContents(entry), depth + 1);
        } else {
            std::vector<uint8_t> content;
            try {
                vantor::InflateArchiveFile(file, entry, content);
            } catch (const vantor::CZipException&) {
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vantor::CMemoryAccess file({data, size});
    if (auto root = vantor::LocateArchive(file)) Walk(file, *root, 0);
    return 0;
}
