// The header of a movie file: size, frame rate and count, background colour, version.
// Reads plain ("FWS") and compressed ("CWS") movies, and a projector executable that
// carries a movie at its end (last u32 = movie length L, movie at end - L - 8).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vantor {

struct CMovieHeader {
    int32_t left = 0, top = 0, right = 0, bottom = 0;  // frame rectangle in pixels
    uint32_t frameRate = 0;                            // integer part
    uint32_t frameCount = 0;
    int32_t background = -1;  // 0xRRGGBB, or -1 when the movie sets none
    uint32_t version = 0;
    uint32_t fileLength = 0;

    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
};

// The header of the movie in `bytes` (a whole movie file); nullopt when it is not one.
std::optional<CMovieHeader> ReadMovieHeaderFrom(std::span<const uint8_t> bytes);
// The header of a movie file or of a projector with an appended movie.
std::optional<CMovieHeader> ReadMovieHeader(const std::string& path);

}  // namespace vantor
