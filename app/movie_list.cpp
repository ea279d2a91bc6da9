// Movie list, clip shapes, first-movie choice and the about-box bitmap.
#include "app/movie_list.h"

#include <cstdlib>
#include <ctime>

#include "app/app_exception.h"
#include "app/byte_stream.h"
#include "app/resources.h"
#include "app/title_files.h"

namespace vantor {

namespace {

std::string ExternalPath(const std::string& name) {
    std::string path = ExecutableFolder();
    for (char c : name) path += (c == '\\' || c == '/') ? kPathSeparator : c;
    return path;
}

bool UnpackIfPresent(const char* name, UnpackedBytes& bytes) {
    try {
        return UnpackResource(name, "VANTOR", bytes);
    } catch (const CAppException&) {
        return false;
    }
}

}  // namespace

void ReadMovieListFrom(std::span<const uint8_t> bytes, CMovieListBlock& block) {
    CByteReader in(bytes);
    uint32_t flags, count;
    if (!in.U32(flags) || !in.U32(count)) return;
    block.flags = flags;
    const std::string& folder = RunFolder();
    std::string plugIns = folder + "Plug_Ins" + kPathSeparator;
    bool plugInsMade = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind;
        std::optional<std::string> name;
        if (!in.U32(kind) || !in.Text(name)) return;
        if (!(flags & ListEmbedded)) {
            if (kind == KindMovie && name && !name->empty()) block.list.entries.push_back({ExternalPath(*name), kind});
            continue;
        }
        uint32_t size;
        std::span<const uint8_t> content;
        if (!in.U32(size) || !in.Bytes(size, content)) return;
        if (!SafeRelativePath(name.value_or(""))) continue;  // would land outside the run folder
        if (kind == KindAttachment && !plugInsMade) plugInsMade = MakeDirectories(plugIns);
        std::string path = PlaceFile(kind == KindAttachment ? plugIns : folder, *name, content);
        if (path.empty()) return;  // a file that cannot be created stops the list
        block.list.entries.push_back({path, kind});
    }
}

void ReadMovieList(CMovieListBlock& block) {
    UnpackedBytes bytes;
    if (UnpackIfPresent("ML", bytes)) ReadMovieListFrom(bytes, block);
}

void ReadClipShapesFrom(std::span<const uint8_t> bytes, std::optional<std::vector<std::string>>& shapes) {
    CByteReader in(bytes);
    uint32_t count;
    if (!in.U32(count) || count == 0) return;
    shapes.emplace();
    for (uint32_t i = 0; i < count; ++i) {
        std::optional<std::string> name;
        uint32_t size;
        std::span<const uint8_t> mask;
        if (!in.Text(name) || !in.U32(size) || !in.Bytes(size, mask)) return;
        std::string file = name.value_or("") + ".msk";
        if (!name || name->empty() || !SafeRelativePath(file)) continue;
        shapes->push_back(*name);
        if (size > 0) PlaceFile(RunFolder(), file, mask);
    }
}

void ReadClipShapes(std::optional<std::vector<std::string>>& shapes) {
    UnpackedBytes bytes;
    if (UnpackIfPresent("RG", bytes)) ReadClipShapesFrom(bytes, shapes);
}

std::string ChooseFirstMovie(const CMovieListBlock& block, const FirstMovieHook& hook, const RandomSource& random) {
    if (hook) {
        if (std::optional<std::string> chosen = hook()) return *chosen;
    }
    const auto& entries = block.list.entries;
    if (entries.empty()) return {};
    if (block.flags & ListRandomFirst) {
        unsigned n;
        if (random) {
            n = random();
        } else {
            static bool seeded = false;
            if (!seeded) std::srand(unsigned(std::time(nullptr))), seeded = true;
            n = unsigned(std::rand());
        }
        return entries[n % entries.size()].path;
    }
    return entries.front().path;
}

std::string ExtractBitmapFile(const std::string& name, const std::string& type) {
    std::string path = RunFolder() + "Vantor.BK";
    if (FileExists(path)) return path;
    UnpackedBytes bytes;
    try {
        if (!UnpackResource(name, type, bytes)) return {};
    } catch (const CAppException&) {
        return {};
    }
    if (!WriteWholeFile(path, bytes)) {
        RemoveFile(path);
        return {};
    }
    return path;
}

void DeleteExtractedMovies(const CMovieListBlock& block) {
    if (!(block.flags & ListEmbedded)) return;
    for (const CMovieEntry& entry : block.list.entries) RemoveFile(entry.path);
}

}  // namespace vantor
