// Movie headers of plain and compressed movies and of projectors with an appended movie.
#include <gtest/gtest.h>

#include "app/movie_header.h"
#include "title_test_util.h"

using namespace vantor;
using namespace vantor::test;

namespace {

struct BitWriter {
    std::vector<uint8_t> bytes;
    int used = 8;
    void Put(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            if (used == 8) bytes.push_back(0), used = 0;
            bytes.back() |= uint8_t(((value >> i) & 1) << (7 - used));
            ++used;
        }
    }
};

// A movie of width x height pixels at 24.5 fps, 42 frames, with the given tags after it.
std::vector<uint8_t> Movie(bool compressed, uint32_t width, uint32_t height, const std::vector<uint8_t>& tags,
                           uint8_t version = 7) {
    BitWriter rect;
    rect.Put(16, 5);
    rect.Put(0, 16), rect.Put(width * 20, 16), rect.Put(40, 16), rect.Put(height * 20, 16);
    Bytes body;
    body.raw(rect.bytes).u16(0x1880).u16(42).raw(tags);
    Bytes movie;
    movie.raw(compressed ? "CWS" : "FWS").u8(version).u32(uint32_t(body.v.size() + 8));
    movie.raw(compressed ? Deflate(body.v) : body.v);
    return movie.v;
}

std::vector<uint8_t> Tags(bool withBackground) {
    Bytes t;
    t.u16(uint16_t((24 << 6) | 2)).u16(0);                 // a short tag to skip
    t.u16(uint16_t((39 << 6) | 0x3F)).u32(3).raw("abc");  // a long tag to skip
    if (withBackground) t.u16(uint16_t((9 << 6) | 3)).u8(0x12).u8(0x34).u8(0x56);
    t.u16(0);
    return t.v;
}

}  // namespace

TEST(MovieHeader, PlainAndCompressedMoviesGiveTheSameHeader) {
    for (bool compressed : {false, true}) {
        SCOPED_TRACE(compressed);
        std::vector<uint8_t> movie = Movie(compressed, 550, 400, Tags(true), 8);
        std::optional<CMovieHeader> h = ReadMovieHeaderFrom(movie);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->left, 0);
        EXPECT_EQ(h->right, 550);
        EXPECT_EQ(h->top, 2);
        EXPECT_EQ(h->bottom, 400);
        EXPECT_EQ(h->frameRate, 24u);
        EXPECT_EQ(h->frameCount, 42u);
        EXPECT_EQ(h->background, 0x123456);
        EXPECT_EQ(h->version, 8u);
        EXPECT_EQ(h->fileLength, uint32_t(Movie(false, 550, 400, Tags(true)).size()));
    }
    EXPECT_EQ(ReadMovieHeaderFrom(Movie(false, 10, 10, Tags(false)))->background, -1);
}

TEST(MovieHeader, FilesAndProjectorsWithAnAppendedMovie) {
    ScratchFolder folder;
    std::vector<uint8_t> movie = Movie(true, 320, 240, Tags(true));
    WriteFile(folder.Root() / "m.swf", movie);
    auto plain = ReadMovieHeader((folder.Root() / "m.swf").string());
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->Width(), 320);

    Bytes projector;
    projector.raw("MZ a projector executable of some length").raw(movie).u32(0xFA123456).u32(uint32_t(movie.size()));
    WriteFile(folder.Root() / "p.exe", projector.v);
    auto appended = ReadMovieHeader((folder.Root() / "p.exe").string());
    ASSERT_TRUE(appended);
    EXPECT_EQ(appended->Height(), 238);
    EXPECT_EQ(appended->background, 0x123456);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Run()));  // no temporary file left behind

    Bytes lying;
    lying.raw("MZ").u32(0).u32(0x7FFFFFFF);
    WriteFile(folder.Root() / "l.exe", lying.v);
    EXPECT_FALSE(ReadMovieHeader((folder.Root() / "l.exe").string()));
    EXPECT_FALSE(ReadMovieHeader((folder.Root() / "none.swf").string()));
}

TEST(MovieHeader, DamagedMoviesGiveNoHeaderOrStopAtTheDamage) {
    EXPECT_FALSE(ReadMovieHeaderFrom(ToBytes("GWS\x07\x10\0\0\0abcdefgh")));
    EXPECT_FALSE(ReadMovieHeaderFrom(ToBytes("FWS\x07")));
    // The rectangle claims 31-bit fields but the file ends.
    EXPECT_FALSE(ReadMovieHeaderFrom(Bytes().raw("FWS").u8(6).u32(12).u8(0xF8).v));
    // A compressed movie that lies about its length is read from what it holds.
    std::vector<uint8_t> liar = Movie(true, 100, 50, Tags(true));
    liar[4] = 0xFF, liar[5] = 0xFF, liar[6] = 0xFF, liar[7] = 0xFF;
    auto h = ReadMovieHeaderFrom(liar);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->background, 0x123456);
    // A tag longer than the file ends the scan without a colour.
    Bytes cut;
    cut.u16(uint16_t((2 << 6) | 0x3F)).u32(0xFFFFFF00).u16(uint16_t((9 << 6) | 3)).u8(1).u8(2).u8(3);
    EXPECT_EQ(ReadMovieHeaderFrom(Movie(false, 10, 10, cut.v))->background, -1);
}
