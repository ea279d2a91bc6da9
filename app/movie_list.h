// The title's movies and attachments (resource ML), its clip shapes (RG), the about-box
// bitmap (BK) and the choice of the first movie.
//
// ML, unpacked: u32 flags, u32 count, then per entry
//   embedded (flag 0x2):  u32 kind, text name, u32 size, size bytes
//   external:             u32 kind, text name (relative to the executable's folder)
// RG, unpacked: u32 count, then per entry text name, u32 size, size bytes of mask file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantor {

enum MovieKind : uint32_t { KindMovie = 1, KindAttachment = 2 };
enum MovieListFlags : uint32_t { ListRandomFirst = 0x1, ListEmbedded = 0x2 };

struct CMovieEntry {
    std::string path;  // full path on disk
    uint32_t kind = KindMovie;
    bool operator==(const CMovieEntry&) const = default;
};

struct CMovieList {
    std::vector<CMovieEntry> entries;
};

// The block the application keeps beside the settings.
struct CMovieListBlock {
    CMovieList list;
    std::string iconPath;  // room for an icon file; nothing fills it
    std::string unused;
    uint32_t flags = 0;
};

// Reads an unpacked ML block. Embedded entries are written into the run folder (attachments
// under "Plug_Ins"); an entry with an unsafe name is skipped and the rest still load. A size
// or count beyond the block stops the reading; entries read so far remain.
void ReadMovieListFrom(std::span<const uint8_t> bytes, CMovieListBlock& block);
// Unpacks ML and reads it; a missing or broken resource leaves the list empty.
void ReadMovieList(CMovieListBlock& block);

// Reads an unpacked RG block: the names, and each mask into the run folder as NAME.msk.
void ReadClipShapesFrom(std::span<const uint8_t> bytes, std::optional<std::vector<std::string>>& shapes);
void ReadClipShapes(std::optional<std::vector<std::string>>& shapes);

// The script handler Application.onGetMovie, once the command bridge connects it: returns the
// first movie when the handler chose one.
using FirstMovieHook = std::function<std::optional<std::string>()>;
// The random source for flag 0x1 (the C library's, seeded with the time, by default).
using RandomSource = std::function<unsigned()>;

// The path of the movie to load first, or an empty string for an empty list.
std::string ChooseFirstMovie(const CMovieListBlock& block, const FirstMovieHook& hook = {},
                             const RandomSource& random = {});

// The about-box bitmap unpacked once into the run folder as "Vantor.BK"; returns its path, or
// an empty string when the resource cannot be unpacked. (The Windows side loads it.)
std::string ExtractBitmapFile(const std::string& name, const std::string& type);

// At exit: with the embedded flag, every extracted entry's file is deleted.
void DeleteExtractedMovies(const CMovieListBlock& block);

}  // namespace vantor
