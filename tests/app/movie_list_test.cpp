// Movie list, clip shapes, first-movie choice, bitmap extraction and deletion at exit.
#include <gtest/gtest.h>

#include <set>

#include "app/movie_list.h"
#include "app/packed_block.h"
#include "app/resources.h"
#include "title_test_util.h"

using namespace vantor;
using namespace vantor::test;

namespace {

std::string RunPath(const std::string& relative) { return JoinSafe(RunFolder(), relative); }

}  // namespace

// Reference layout: flags 2, count 2, a movie and an attachment with their content.
TEST(MovieList, EmbeddedEntriesAreExtracted) {
    ScratchFolder folder;
    Bytes ml;
    ml.u32(ListEmbedded).u32(3);
    ml.u32(KindMovie).text("intro.swf").u32(3).raw("FWS");
    ml.u32(KindAttachment).text("data\\sound.mp3").u32(2).raw("ID");
    ml.u32(KindAttachment).text("pic.jpg").u32(0);
    CMovieListBlock block;
    ReadMovieListFrom(ml.v, block);
    EXPECT_EQ(block.flags, uint32_t(ListEmbedded));
    std::vector<CMovieEntry> expected = {{RunPath("intro.swf"), KindMovie},
                                         {RunPath("Plug_Ins/data/sound.mp3"), KindAttachment},
                                         {RunPath("Plug_Ins/pic.jpg"), KindAttachment}};
    EXPECT_EQ(block.list.entries, expected);
    EXPECT_EQ(ReadFile(folder.Run() / "intro.swf"), ToBytes("FWS"));
    EXPECT_EQ(ReadFile(folder.Run() / "Plug_Ins" / "data" / "sound.mp3"), ToBytes("ID"));
    EXPECT_TRUE(std::filesystem::exists(folder.Run() / "Plug_Ins" / "pic.jpg"));

    DeleteExtractedMovies(block);
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "intro.swf"));
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "Plug_Ins" / "data" / "sound.mp3"));
}

TEST(MovieList, UnsafeEntryIsSkippedAndTheRestLoads) {
    ScratchFolder folder;
    Bytes ml;
    ml.u32(ListEmbedded).u32(5);
    ml.u32(KindMovie).text("..\\..\\escape.swf").u32(3).raw("bad");
    ml.u32(KindMovie).text("C:\\Windows\\escape.swf").u32(3).raw("bad");
    ml.u32(KindAttachment).text("/etc/escape").u32(3).raw("bad");
    ml.u32(KindMovie).absent().u32(3).raw("bad");
    ml.u32(KindMovie).text("good.swf").u32(4).raw("good");
    CMovieListBlock block;
    ReadMovieListFrom(ml.v, block);
    ASSERT_EQ(block.list.entries.size(), 1u);
    EXPECT_EQ(block.list.entries[0].path, RunPath("good.swf"));
    EXPECT_FALSE(std::filesystem::exists(folder.Root() / "escape.swf"));
    EXPECT_FALSE(std::filesystem::exists(folder.Root().parent_path() / "escape.swf"));
}

TEST(MovieList, SizesAndCountsBeyondTheBlockStopTheReading) {
    ScratchFolder folder;
    Bytes ml;
    ml.u32(ListEmbedded).u32(1000000);
    ml.u32(KindMovie).text("one.swf").u32(1).raw("1");
    ml.u32(KindMovie).text("two.swf").u32(0xFFFFFFF0).raw("22");
    CMovieListBlock block;
    ReadMovieListFrom(ml.v, block);
    ASSERT_EQ(block.list.entries.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "two.swf"));

    CMovieListBlock none;
    ReadMovieListFrom(std::vector<uint8_t>{2, 0, 0}, none);
    EXPECT_TRUE(none.list.entries.empty());
}

TEST(MovieList, ExternalListsKeepOnlyMoviesBesideTheExecutable) {
    ScratchFolder folder;
    Bytes ml;
    ml.u32(0).u32(3).u32(KindAttachment).text("a.jpg").u32(KindMovie).text("movies\\b.swf").u32(KindMovie).text("c.swf");
    CMovieListBlock block;
    ReadMovieListFrom(ml.v, block);
    std::string exe = ExecutableFolder();
    std::vector<CMovieEntry> expected = {{exe + "movies" + kPathSeparator + "b.swf", KindMovie}, {exe + "c.swf", KindMovie}};
    EXPECT_EQ(block.list.entries, expected);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Run()));
    DeleteExtractedMovies(block);  // not embedded: nothing to delete, nothing thrown
}

TEST(MovieList, MissingOrBrokenResourceLeavesTheListEmpty) {
    ScratchFolder folder;
    auto previous = SetCurrentResources(std::make_unique<InMemoryResources>());
    CMovieListBlock block;
    ReadMovieList(block);
    EXPECT_TRUE(block.list.entries.empty());
    auto table = std::make_unique<InMemoryResources>();
    table->Add("ML", "VANTOR", {'S', 'M', 1, 0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9});
    SetCurrentResources(std::move(table));
    ReadMovieList(block);
    EXPECT_TRUE(block.list.entries.empty());

    Bytes ml;
    ml.u32(ListEmbedded).u32(1).u32(KindMovie).text("m.swf").u32(1).raw("M");
    auto good = std::make_unique<InMemoryResources>();
    good->Add("ML", "VANTOR", PackBlock(ml.v));
    SetCurrentResources(std::move(good));
    ReadMovieList(block);
    EXPECT_EQ(block.list.entries.size(), 1u);
    SetCurrentResources(std::move(previous));
}

TEST(MovieList, ChooseFirstMovie) {
    CMovieListBlock block;
    EXPECT_EQ(ChooseFirstMovie(block), "");
    block.list.entries = {{"att.jpg", KindAttachment}, {"b.swf", KindMovie}, {"c.swf", KindMovie}};
    // The first entry even when it is an attachment.
    EXPECT_EQ(ChooseFirstMovie(block), "att.jpg");
    // The script handler wins when it chose a movie, and is passed over when it did not.
    EXPECT_EQ(ChooseFirstMovie(block, [] { return std::optional<std::string>("hook.swf"); }), "hook.swf");
    EXPECT_EQ(ChooseFirstMovie(block, [] { return std::optional<std::string>(); }), "att.jpg");
    // Random choice counts every entry.
    block.flags = ListRandomFirst;
    std::set<std::string> seen;
    for (unsigned n = 0; n < 6; ++n) seen.insert(ChooseFirstMovie(block, {}, [n] { return n; }));
    EXPECT_EQ(seen.size(), 3u);
    seen.clear();
    for (int i = 0; i < 200; ++i) seen.insert(ChooseFirstMovie(block));
    EXPECT_EQ(seen.size(), 3u);
}

TEST(ClipShapes, NamesAndMaskFiles) {
    ScratchFolder folder;
    Bytes rg;
    rg.u32(4).text("round").u32(5).raw("MASK1");
    rg.text("..\\outside").u32(3).raw("bad");
    rg.text("empty").u32(0);
    rg.text("star").u32(2).raw("S2");
    std::optional<std::vector<std::string>> shapes;
    ReadClipShapesFrom(rg.v, shapes);
    ASSERT_TRUE(shapes);
    EXPECT_EQ(*shapes, (std::vector<std::string>{"round", "empty", "star"}));
    EXPECT_EQ(ReadFile(folder.Run() / "round.msk"), ToBytes("MASK1"));
    EXPECT_EQ(ReadFile(folder.Run() / "star.msk"), ToBytes("S2"));
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "empty.msk"));
    EXPECT_FALSE(std::filesystem::exists(folder.Root() / "outside.msk"));

    std::optional<std::vector<std::string>> none;
    ReadClipShapesFrom(Bytes().u32(0).v, none);
    EXPECT_FALSE(none);
    std::optional<std::vector<std::string>> cut;
    ReadClipShapesFrom(Bytes().u32(2).text("a").u32(100).raw("short").v, cut);
    ASSERT_TRUE(cut);
    EXPECT_TRUE(cut->empty());
}

TEST(TitleBitmap, ExtractedOnceIntoTheRunFolder) {
    ScratchFolder folder;
    auto table = std::make_unique<InMemoryResources>();
    table->Add("BK", "VANTOR", PackBlock(ToBytes("BMpicture")));
    auto previous = SetCurrentResources(std::move(table));
    std::string path = ExtractBitmapFile("BK", "VANTOR");
    EXPECT_EQ(path, RunFolder() + "Vantor.BK");
    EXPECT_EQ(ReadFile(folder.Run() / "Vantor.BK"), ToBytes("BMpicture"));
    WriteFile(folder.Run() / "Vantor.BK", ToBytes("changed"));
    EXPECT_EQ(ExtractBitmapFile("BK", "VANTOR"), path);
    EXPECT_EQ(ReadFile(folder.Run() / "Vantor.BK"), ToBytes("changed"));
    std::filesystem::remove(folder.Run() / "Vantor.BK");
    EXPECT_EQ(ExtractBitmapFile("NOPE", "VANTOR"), "");
    SetCurrentResources(std::move(previous));
}
